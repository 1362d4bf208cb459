// Critical sections, interlocked operations and the per-thread last error.
#include <gtest/gtest.h>

#include <windows.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform_testing.h"

namespace {

TEST(KernelCriticalSection, OwnerMayEnterAgainAndMustLeaveAsOften) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    EnterCriticalSection(&section);
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    EXPECT_EQ(section.RecursionCount, 3);

    std::atomic<int> otherGotIt{-1};
    auto tryFromOtherThread = [&] {
        std::thread([&] {
            BOOL got = TryEnterCriticalSection(&section);
            if (got) LeaveCriticalSection(&section);
            otherGotIt = got;
        }).join();
        return otherGotIt.load();
    };
    LeaveCriticalSection(&section);
    LeaveCriticalSection(&section);
    EXPECT_EQ(tryFromOtherThread(), FALSE) << "still entered once";
    LeaveCriticalSection(&section);
    EXPECT_EQ(tryFromOtherThread(), TRUE);
    DeleteCriticalSection(&section);
}

TEST(KernelCriticalSection, LeaveByAnotherThreadIsIgnored) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    std::thread([&] { LeaveCriticalSection(&section); }).join();
    BOOL otherGotIt = TRUE;
    std::thread([&] { otherGotIt = TryEnterCriticalSection(&section); }).join();
    EXPECT_FALSE(otherGotIt);
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

// Threads add to a plain counter in read-modify-write steps with a yield in between: without
// exclusion, updates get lost.
TEST(KernelCriticalSection, ExcludesOtherThreads) {
    for (DWORD spin : {0u, 4000u}) {
        CRITICAL_SECTION section;
        ASSERT_TRUE(InitializeCriticalSectionAndSpinCount(&section, spin));
        long counter = 0;
        int inside = 0;
        bool overlapped = false;
        constexpr int kThreads = 4, kRounds = 2000;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < kRounds; ++i) {
                    EnterCriticalSection(&section);
                    EnterCriticalSection(&section);  // recursion inside contention
                    if (++inside != 1) overlapped = true;
                    long seen = counter;
                    if (i % 64 == 0) std::this_thread::yield();
                    counter = seen + 1;
                    --inside;
                    LeaveCriticalSection(&section);
                    LeaveCriticalSection(&section);
                }
            });
        }
        for (auto& thread : threads) thread.join();
        EXPECT_FALSE(overlapped);
        EXPECT_EQ(counter, kThreads * kRounds) << "spin count " << spin;
        EXPECT_EQ(section.LockCount, 0);
        DeleteCriticalSection(&section);
    }
}

TEST(KernelCriticalSection, WaiterWakesWhenOwnerLeaves) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    EnterCriticalSection(&section);
    std::atomic<bool> entered{false};
    std::thread waiter([&] {
        EnterCriticalSection(&section);
        entered = true;
        LeaveCriticalSection(&section);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(entered.load());
    LeaveCriticalSection(&section);
    waiter.join();
    EXPECT_TRUE(entered.load());
    DeleteCriticalSection(&section);
}

TEST(KernelCriticalSection, InitializeFailsWhenTestSaysSo) {
    struct Case {
        HRESULT code;
        DWORD lastError;
    } cases[] = {
        {HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY), ERROR_NOT_ENOUGH_MEMORY},
        {0, 0},  // a failure whose last error reads as success
        {E_FAIL, static_cast<DWORD>(E_FAIL)},
    };
    for (const Case& c : cases) {
        platform::testing::FailNthCall("InitializeCriticalSectionAndSpinCount", 2, c.code);
        CRITICAL_SECTION section;
        SetLastError(12345);
        EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 0));
        EXPECT_FALSE(InitializeCriticalSectionAndSpinCount(&section, 0));
        EXPECT_EQ(GetLastError(), c.lastError);
        EXPECT_TRUE(InitializeCriticalSectionAndSpinCount(&section, 0));
        DeleteCriticalSection(&section);
    }
}

TEST(KernelCriticalSection, TryEnterFaultStandsForContention) {
    CRITICAL_SECTION section;
    InitializeCriticalSection(&section);
    platform::testing::FailNthCall("TryEnterCriticalSection", 1, E_FAIL);
    EXPECT_FALSE(TryEnterCriticalSection(&section));
    EXPECT_TRUE(TryEnterCriticalSection(&section));
    LeaveCriticalSection(&section);
    DeleteCriticalSection(&section);
}

TEST(KernelInterlocked, ReturnsWindowsValues) {
    LONG volatile value = 5;
    EXPECT_EQ(InterlockedIncrement(&value), 6);
    EXPECT_EQ(InterlockedDecrement(&value), 5);
    EXPECT_EQ(InterlockedExchange(&value, 9), 5);
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 8), 9) << "no match: unchanged";
    EXPECT_EQ(value, 9);
    EXPECT_EQ(InterlockedCompareExchange(&value, 1, 9), 9);
    EXPECT_EQ(value, 1);
    EXPECT_EQ(InterlockedExchangeAdd(&value, 10), 1);
    EXPECT_EQ(value, 11);
    LONG volatile edge = INT32_MAX;
    EXPECT_EQ(InterlockedIncrement(&edge), INT32_MIN) << "wraps as on Windows";
}

TEST(KernelInterlocked, CountsFromManyThreads) {
    LONG volatile count = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 20000; ++i) {
                InterlockedIncrement(&count);
                InterlockedIncrement(&count);
                InterlockedDecrement(&count);
            }
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(count, 80000);
}

TEST(KernelLastError, IsPerThread) {
    SetLastError(ERROR_ACCESS_DENIED);
    DWORD seenByOther = 1;
    std::thread([&] {
        seenByOther = GetLastError();
        SetLastError(ERROR_FILE_NOT_FOUND);
    }).join();
    EXPECT_EQ(seenByOther, 0u) << "a new thread starts with no error";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(KernelLastError, ResultCodesMapToWin32Errors) {
    EXPECT_EQ(platform::kernel::Win32ErrorFromResult(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)), 32u);
    EXPECT_EQ(platform::kernel::Win32ErrorFromResult(E_OUTOFMEMORY), 14u);
    EXPECT_EQ(platform::kernel::Win32ErrorFromResult(ERROR_LOCK_VIOLATION), 33u);
    EXPECT_EQ(platform::kernel::Win32ErrorFromResult(E_POINTER), 0x80004003u);
    EXPECT_EQ(platform::kernel::Win32ErrorFromResult(0), 0u);
}

TEST(KernelThread, IdsAreStableAndDistinct) {
    DWORD mine = GetCurrentThreadId();
    EXPECT_NE(mine, 0u);
    EXPECT_EQ(GetCurrentThreadId(), mine);
    DWORD other = mine;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(other, mine);
    EXPECT_NE(GetCurrentProcessId(), 0u);
}

TEST(KernelThread, ForkedChildGetsItsOwnThreadId) {
    const DWORD parent = GetCurrentThreadId();
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        DWORD id = GetCurrentThreadId();
        bool matches = id == static_cast<DWORD>(getpid());
        ssize_t ignored = write(pipeEnds[1], &matches, 1);
        (void)ignored;
        _exit(0);
    }
    bool childMatches = false;
    EXPECT_EQ(read(pipeEnds[0], &childMatches, 1), 1);
    waitpid(child, nullptr, 0);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_TRUE(childMatches) << "the child's main thread id is its process id";
    EXPECT_EQ(GetCurrentThreadId(), parent);
}

}  // namespace
