// Test-only controls of the registry service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
