// Test-only controls of the platform layer: fault injection, the clock and Sleep.
//
// Faults: make the Nth call of a named operation fail with a given result code (operations
// that return a pointer return null). Operation names are the Windows names
// ("StgOpenStorage", "SysAllocString") and, for interface methods, "Interface::Method"
// ("IStream::Read", "IMessage::SaveChanges"). The test main resets everything between tests.
#pragma once

#include <cstdint>

#include "base/wintypes.h"

namespace platform::testing {

// The nth call (counting from 1, from now on) of `operation` and the `times - 1` calls after it
// fail with `code`. times == 0 means every call from the nth on.
PLATFORM_API void FailNthCall(const char* operation, unsigned nth, HRESULT code, unsigned times = 1);

// As FailNthCall, for operations that return a pointer: they return null.
PLATFORM_API void ReturnNullOnNthCall(const char* operation, unsigned nth, unsigned times = 1);

// Runs action(context) on the calling thread just before the nth call (counting from 1, from now
// on) of `operation` does its work; the call then goes on as usual. It arms the operation afresh,
// as FailNthCall does (counting its calls, failing none). For what happens "meanwhile": another
// writer, a change of the file under the caller.
PLATFORM_API void RunBeforeNthCall(const char* operation, unsigned nth, void (*action)(void*), void* context);
// Starts counting the calls of `operation` without failing any (FailNthCall counts too).
PLATFORM_API void CountCalls(const char* operation);

// Calls of `operation` since it was armed or counted; 0 when it is neither.
PLATFORM_API unsigned CallCount(const char* operation);

// Disarms every fault and counter.
PLATFORM_API void ResetFaults();

// Sets the platform's "now" (behind GetSystemTime, GetLocalTime, GetSystemTimeAsFileTime and
// the local offset that FileTimeToLocalFileTime applies). Frozen until changed or cleared.
PLATFORM_API void SetNow(const FILETIME& utc);
PLATFORM_API void SetNow(const SYSTEMTIME& utc);
PLATFORM_API void ClearNow();

// Makes Sleep return at once; the milliseconds asked for are added up.
PLATFORM_API void SetSleepImmediate(bool immediate);
PLATFORM_API uint64_t SleptMilliseconds();

// Restores everything above, and every service's own controls, to their defaults (the test main
// does this before and after each test).
PLATFORM_API void ResetAll();

// A service registers the function that restores its own test controls (call it from a static
// initialiser in the service's source); ResetAll calls every registered function.
PLATFORM_API void RegisterResetHook(void (*reset)());

}  // namespace platform::testing

// Each service's own test controls.
#include "com/com_testing.h"
#include "oleaut/oleaut_testing.h"
#include "kernel/kernel_testing.h"
#include "storage/storage_testing.h"
#include "mapi/mapi_testing.h"
#include "registry/registry_testing.h"
#include "shell/shell_testing.h"
#include "installer/installer_testing.h"
#include "rpc/rpc_testing.h"
