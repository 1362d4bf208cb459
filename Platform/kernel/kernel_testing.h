// Test-only controls of the kernel service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
