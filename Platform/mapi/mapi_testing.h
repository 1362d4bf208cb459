// Test-only controls of the mapi service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
