// Fault injection, the platform's side.
//
// Every operation of the platform layer asks PLATFORM_FAULT at its entry whether a test has
// armed a failure for it. Disarmed (the normal case) this costs one relaxed atomic load.
// Tests arm faults through <platform_testing.h>.
#pragma once

#include <atomic>

#include "base/wintypes.h"

namespace platform::fault {

// True while at least one fault or call counter is armed.
PLATFORM_API extern std::atomic<bool> g_armed;

// Counts the call of `operation` and reports whether this call is to fail; on a failure *code
// receives the armed result (operations that return a pointer return null instead, and may
// store the code as the thread's last error).
PLATFORM_API bool Hit(const char* operation, HRESULT* code) noexcept;

}  // namespace platform::fault

// PLATFORM_FAULT("Name", hr): true when this call of "Name" must fail; hr then holds the code.
#define PLATFORM_FAULT(operation, code)                                          \
    (::platform::fault::g_armed.load(std::memory_order_relaxed) &&               \
     ::platform::fault::Hit((operation), &(code)))
