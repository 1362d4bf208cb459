// Test-only controls of the installer service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
