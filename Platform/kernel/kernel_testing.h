// Test-only controls of the kernel service (included by <platform_testing.h>).
#pragma once

#include "base/wintypes.h"

namespace platform::testing {

// Sets the ANSI code page for the current test (back to 1252 when the test ends). Returns
// false for a code page the platform cannot convert.
PLATFORM_API bool SetAnsiCodePage(UINT codePage);

// Forgets the ANSI code page, so its next use reads it from its source (the registry).
PLATFORM_API void ReadAnsiCodePageAtNextUse();

}  // namespace platform::testing
