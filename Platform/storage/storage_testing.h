// Test-only controls of the storage service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
