// Test-only controls of the com service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
