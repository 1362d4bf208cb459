// Test-only controls of the shell service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"
