// Last error, thread and process ids, and critical sections.
#include <linux/futex.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

#include "base/fault.h"
#include "kernel/winbase.h"

namespace {

thread_local DWORD t_lastError = ERROR_SUCCESS;
thread_local DWORD t_threadId = 0;

DWORD CurrentThreadId() noexcept {
    if (t_threadId == 0) t_threadId = static_cast<DWORD>(gettid());
    return t_threadId;
}

// The thread that forks lives on in the child under a new id.
void ForgetThreadIdInChild() { t_threadId = 0; }
const int g_atforkRegistered = pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);

// Windows thread ids are never 0, nor are Linux ones, so 0 marks "no owner".
HANDLE OwnerValue(DWORD threadId) noexcept {
    return reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(threadId));
}

std::atomic_ref<LONG> LockWord(CRITICAL_SECTION* section) noexcept {
    return std::atomic_ref<LONG>(section->LockCount);
}
std::atomic_ref<HANDLE> Owner(CRITICAL_SECTION* section) noexcept {
    return std::atomic_ref<HANDLE>(section->OwningThread);
}

void FutexWait(LONG* word, LONG expected) noexcept {
    syscall(SYS_futex, word, FUTEX_WAIT_PRIVATE, expected, nullptr, nullptr, 0);
}
void FutexWakeOne(LONG* word) noexcept {
    syscall(SYS_futex, word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void Initialize(CRITICAL_SECTION* section, DWORD spinCount) noexcept {
    section->DebugInfo = nullptr;
    section->LockCount = 0;
    section->RecursionCount = 0;
    section->OwningThread = nullptr;
    section->LockSemaphore = nullptr;
    section->SpinCount = spinCount & 0x00FFFFFF;  // the upper bits are flags on Windows
}

// The lock word: 0 free, 1 held, 2 held and perhaps waited for.
bool TryAcquire(CRITICAL_SECTION* section) noexcept {
    LONG expected = 0;
    return LockWord(section).compare_exchange_strong(expected, 1, std::memory_order_acquire,
                                                     std::memory_order_relaxed);
}

void Acquire(CRITICAL_SECTION* section) noexcept {
    auto word = LockWord(section);
    for (ULONG_PTR spin = section->SpinCount; spin > 0; --spin) {
        if (word.load(std::memory_order_relaxed) == 0 && TryAcquire(section)) return;
        __builtin_ia32_pause();
    }
    LONG found = 0;
    if (word.compare_exchange_strong(found, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
    if (found != 2) found = word.exchange(2, std::memory_order_acquire);
    while (found != 0) {
        FutexWait(&section->LockCount, 2);
        found = word.exchange(2, std::memory_order_acquire);
    }
}

void Release(CRITICAL_SECTION* section) noexcept {
    auto word = LockWord(section);
    if (word.fetch_sub(1, std::memory_order_release) != 1) {
        word.store(0, std::memory_order_release);
        FutexWakeOne(&section->LockCount);
    }
}

}  // namespace

DWORD WINAPI GetLastError() { return t_lastError; }

void WINAPI SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD WINAPI GetCurrentThreadId() {
    (void)g_atforkRegistered;
    return CurrentThreadId();
}

DWORD WINAPI GetCurrentProcessId() { return static_cast<DWORD>(getpid()); }

namespace platform::kernel {

DWORD Win32ErrorFromResult(HRESULT code) noexcept {
    uint32_t value = static_cast<uint32_t>(code);
    if ((value & 0xFFFF0000u) == 0x80070000u) return value & 0xFFFFu;
    return value;
}

}  // namespace platform::kernel

void WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    Initialize(lpCriticalSection, 0);
}

BOOL WINAPI InitializeCriticalSectionAndSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("InitializeCriticalSectionAndSpinCount", hr)) {
        SetLastError(platform::kernel::Win32ErrorFromResult(hr));
        return FALSE;
    }
    if (lpCriticalSection == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Initialize(lpCriticalSection, dwSpinCount);
    return TRUE;
}

DWORD WINAPI SetCriticalSectionSpinCount(LPCRITICAL_SECTION lpCriticalSection, DWORD dwSpinCount) {
    if (lpCriticalSection == nullptr) return 0;
    DWORD previous = static_cast<DWORD>(lpCriticalSection->SpinCount);
    lpCriticalSection->SpinCount = dwSpinCount & 0x00FFFFFF;
    return previous;
}

void WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    HANDLE self = OwnerValue(CurrentThreadId());
    // Only this thread ever stores its own id, so a relaxed read that sees it is exact.
    if (Owner(lpCriticalSection).load(std::memory_order_relaxed) == self) {
        ++lpCriticalSection->RecursionCount;
        return;
    }
    Acquire(lpCriticalSection);
    Owner(lpCriticalSection).store(self, std::memory_order_relaxed);
    lpCriticalSection->RecursionCount = 1;
}

BOOL WINAPI TryEnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    HRESULT hr = S_OK;
    // A fault stands for a section held by another thread.
    if (PLATFORM_FAULT("TryEnterCriticalSection", hr)) return FALSE;
    if (lpCriticalSection == nullptr) return FALSE;
    HANDLE self = OwnerValue(CurrentThreadId());
    if (Owner(lpCriticalSection).load(std::memory_order_relaxed) == self) {
        ++lpCriticalSection->RecursionCount;
        return TRUE;
    }
    if (!TryAcquire(lpCriticalSection)) return FALSE;
    Owner(lpCriticalSection).store(self, std::memory_order_relaxed);
    lpCriticalSection->RecursionCount = 1;
    return TRUE;
}

void WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    if (lpCriticalSection == nullptr) return;
    if (Owner(lpCriticalSection).load(std::memory_order_relaxed) != OwnerValue(CurrentThreadId())) return;
    if (--lpCriticalSection->RecursionCount > 0) return;
    lpCriticalSection->RecursionCount = 0;
    Owner(lpCriticalSection).store(nullptr, std::memory_order_relaxed);
    Release(lpCriticalSection);
}

void WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
    // The lock owns no resource outside the structure; clearing it makes a later use by
    // mistake behave as a fresh section rather than a stale one.
    if (lpCriticalSection == nullptr) return;
    Initialize(lpCriticalSection, 0);
}
