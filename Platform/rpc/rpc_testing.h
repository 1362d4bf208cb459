// Test-only controls of the rpc service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
