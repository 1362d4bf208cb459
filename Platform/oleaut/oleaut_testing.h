// Test-only controls of the oleaut service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
