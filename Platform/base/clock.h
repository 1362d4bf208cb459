// The platform's clock and sleep, which tests may take over (see <platform_testing.h>).
#pragma once

#include "base/wintypes.h"

namespace platform::clock {

// Now, in 100-nanosecond intervals since 1 January 1601 UTC (a FILETIME as a number):
// the real time, or the time a test has set.
PLATFORM_API ULONGLONG NowFileTime() noexcept;

// Sleeps for the given milliseconds, or, when a test has asked for it, returns at once and
// only adds the time to the total asked for.
PLATFORM_API void SleepMilliseconds(DWORD milliseconds) noexcept;

}  // namespace platform::clock
