// Test-only controls of the shell service (included by <platform_testing.h>).
#pragma once

#include <string>

#include "base/wintypes.h"

namespace platform::testing {

// Every MessageBoxW call is recorded: how many there were and what the last one showed.
PLATFORM_API unsigned MessageBoxCount();
PLATFORM_API std::u16string LastMessageBoxText();
PLATFORM_API std::u16string LastMessageBoxCaption();
PLATFORM_API UINT LastMessageBoxStyle();
// When silent, message boxes are only recorded, not written to standard error.
PLATFORM_API void SetMessageBoxesSilent(bool silent);

}  // namespace platform::testing
