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

namespace platform::fault {

// The start of an operation that hands out a pointer through `out`: true when the call ends
// there, with *result. A null `out` ends it with `nullResult`; otherwise `out` is emptied, and a
// fault a test armed for `operation` ends it with its code (a success code too: the call then
// succeeds without handing anything out).
template <class T>
bool EndsAtOutStart(const char* operation, T** out, HRESULT nullResult, HRESULT* result) noexcept {
    if (!out) {
        *result = nullResult;
        return true;
    }
    *out = nullptr;
    return PLATFORM_FAULT(operation, *result);
}

}  // namespace platform::fault
