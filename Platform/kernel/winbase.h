// Kernel services of the platform layer: last error, critical sections, interlocked
// operations, Sleep, system and file times, module names, and (through the headers included
// at the end) code-page conversion, the wide-string C runtime helpers and strsafe.
#pragma once

#include "base/wintypes.h"

// ---- Last error ----------------------------------------------------------------------------
// Kept per thread, as on Windows.
WINBASEAPI DWORD WINAPI GetLastError();
WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);

// ---- Critical sections ---------------------------------------------------------------------
// The layout of the x64 SDK's structure (40 bytes). The lock lives in the structure itself, so
// initialisation allocates nothing: LockCount is the lock word (0 free, 1 held, 2 held with
// waiters), OwningThread the owner's thread id, RecursionCount how often the owner entered.
struct RTL_CRITICAL_SECTION_DEBUG;
struct RTL_CRITICAL_SECTION {
    RTL_CRITICAL_SECTION_DEBUG* DebugInfo;
    LONG LockCount;
    LONG RecursionCount;
    HANDLE OwningThread;
    HANDLE LockSemaphore;
    ULONG_PTR SpinCount;
};
typedef RTL_CRITICAL_SECTION CRITICAL_SECTION;
typedef RTL_CRITICAL_SECTION* PCRITICAL_SECTION;
typedef RTL_CRITICAL_SECTION* LPCRITICAL_SECTION;
static_assert(sizeof(CRITICAL_SECTION) == 40);

WINBASEAPI void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
// Fails (FALSE, with the last error set) only when a test makes it fail.
WINBASEAPI BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                             DWORD dwSpinCount);
WINBASEAPI DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION lpCriticalSection,
                                                    DWORD dwSpinCount);
// Recursive: the owning thread may enter again and must leave as often as it entered.
WINBASEAPI void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
// Leaving a section that the calling thread does not own is ignored.
WINBASEAPI void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
WINBASEAPI void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

// ---- Interlocked operations (full barriers, as on Windows) ---------------------------------
inline LONG InterlockedIncrement(LONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(LONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(LONG volatile* Target, LONG Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(LONG volatile* Addend, LONG Value) {
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
// Stores Exchange when *Destination equals Comperand; returns the value found.
inline LONG InterlockedCompareExchange(LONG volatile* Destination, LONG Exchange, LONG Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}
inline LONGLONG InterlockedIncrement64(LONGLONG volatile* Addend) {
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONGLONG InterlockedDecrement64(LONGLONG volatile* Addend) {
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedExchangePointer(PVOID volatile* Target, PVOID Value) {
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* Destination, PVOID Exchange,
                                               PVOID Comperand) {
    __atomic_compare_exchange_n(Destination, &Comperand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comperand;
}

// ---- Sleep and times -----------------------------------------------------------------------
#define INFINITE 0xFFFFFFFF

// Goes through the platform's clock, so tests can make it return at once.
WINBASEAPI void WINAPI Sleep(DWORD dwMilliseconds);

WINBASEAPI void WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
WINBASEAPI void WINAPI GetLocalTime(LPSYSTEMTIME lpSystemTime);
WINBASEAPI void WINAPI GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);

// FALSE with ERROR_INVALID_PARAMETER when the value is 0x8000000000000000 or more.
WINBASEAPI BOOL WINAPI FileTimeToSystemTime(const FILETIME* lpFileTime, LPSYSTEMTIME lpSystemTime);
// FALSE with ERROR_INVALID_PARAMETER for a field out of range or a year outside 1601..30827;
// wDayOfWeek is ignored.
WINBASEAPI BOOL WINAPI SystemTimeToFileTime(const SYSTEMTIME* lpSystemTime, LPFILETIME lpFileTime);

// Both apply the local zone's offset in force at the platform's now (daylight saving
// included), the zone being TZ or the system's; the two are exact inverses of each other.
// After changing TZ, call tzset() for the change to take effect.
WINBASEAPI BOOL WINAPI FileTimeToLocalFileTime(const FILETIME* lpFileTime, LPFILETIME lpLocalFileTime);
WINBASEAPI BOOL WINAPI LocalFileTimeToFileTime(const FILETIME* lpLocalFileTime, LPFILETIME lpFileTime);

WINBASEAPI LONG WINAPI CompareFileTime(const FILETIME* lpFileTime1, const FILETIME* lpFileTime2);

// ---- Modules -------------------------------------------------------------------------------
// A module handle is what dlopen returned for a shared library (its link map), or its load
// address (dladdr's dli_fbase). A null handle stands for the process's executable.
// A buffer too short receives nSize - 1 characters and a terminator; the result is then nSize
// with ERROR_INSUFFICIENT_BUFFER. Failure returns 0 with the last error set.
WINBASEAPI DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
// Null name: the executable's handle. Otherwise the loaded library whose full path or file
// name matches (letter case ignored); null with ERROR_MOD_NOT_FOUND when none does.
WINBASEAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);

WINBASEAPI DWORD WINAPI GetCurrentThreadId();
WINBASEAPI DWORD WINAPI GetCurrentProcessId();

// ---- The platform's own helpers --------------------------------------------------------------
namespace platform::kernel {

// The last error a failing operation sets for a result code: the Win32 code of a 0x8007xxxx
// result, otherwise the value itself (so a test can make an operation fail with 0).
PLATFORM_API DWORD Win32ErrorFromResult(HRESULT code) noexcept;

}  // namespace platform::kernel

#include "kernel/winnls.h"
#include "kernel/wcrt.h"
#include "kernel/strsafe.h"
