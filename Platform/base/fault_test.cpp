#include "base/fault.h"

#include <gtest/gtest.h>

#include <windows.h>

#include "base/clock.h"
#include "platform_testing.h"

namespace {

// Stands in for a platform operation: fails when armed.
HRESULT Operation() {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("Test::Operation", hr)) return hr;
    return S_OK;
}

TEST(FaultInjection, DisarmedByDefault) {
    EXPECT_FALSE(platform::fault::g_armed.load());
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(platform::testing::CallCount("Test::Operation"), 0u);
}

TEST(FaultInjection, NthCallFailsOnceThenRecovers) {
    platform::testing::FailNthCall("Test::Operation", 3, E_ACCESSDENIED);
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(Operation(), E_ACCESSDENIED);
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(platform::testing::CallCount("Test::Operation"), 4u);
}

TEST(FaultInjection, TimesZeroFailsEveryCallFromNth) {
    platform::testing::FailNthCall("Test::Operation", 2, E_FAIL, 0);
    EXPECT_EQ(Operation(), S_OK);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Operation(), E_FAIL);
}

TEST(FaultInjection, CountingDoesNotFailAndResetDisarms) {
    platform::testing::CountCalls("Test::Operation");
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(platform::testing::CallCount("Test::Operation"), 2u);
    platform::testing::ResetFaults();
    EXPECT_FALSE(platform::fault::g_armed.load());
    EXPECT_EQ(platform::testing::CallCount("Test::Operation"), 0u);
}

TEST(FaultInjection, OtherOperationsUnaffected) {
    platform::testing::FailNthCall("Test::Other", 1, E_FAIL, 0);
    EXPECT_EQ(Operation(), S_OK);
}

TEST(FaultInjection, AnActionRunsOnceBeforeTheNthCallWhichThenSucceeds) {
    struct Seen {
        unsigned calls = 0;
        unsigned runs = 0;
        unsigned otherCalls = 0;
    } seen;
    platform::testing::RunBeforeNthCall(
        "Test::Operation", 2,
        [](void* context) {
            auto* state = static_cast<Seen*>(context);
            state->calls = platform::testing::CallCount("Test::Operation");
            ++state->runs;
            // The action may use the platform itself, armed operations included.
            state->otherCalls += Operation() == S_OK ? 1 : 0;
        },
        &seen);
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(seen.runs, 0u);
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(seen.runs, 1u);
    EXPECT_EQ(seen.calls, 2u) << "it runs when the call has been counted, before its work";
    EXPECT_EQ(seen.otherCalls, 1u);
    EXPECT_EQ(Operation(), S_OK);
    EXPECT_EQ(seen.runs, 1u);
}

TEST(TestClock, SetNowFreezesTheClock) {
    SYSTEMTIME summer{2026, 7, 0, 15, 12, 30, 0, 0};
    platform::testing::SetNow(summer);
    // 2026-07-15 12:30 UTC as 100-ns ticks since 1601.
    EXPECT_EQ(platform::clock::NowFileTime(), 134285922000000000ULL);
    EXPECT_EQ(platform::clock::NowFileTime(), platform::clock::NowFileTime());
    platform::testing::ClearNow();
    EXPECT_GT(platform::clock::NowFileTime(), 134000000000000000ULL);
}

TEST(TestClock, ImmediateSleepAddsUpTheTimeAskedFor) {
    platform::testing::SetSleepImmediate(true);
    platform::clock::SleepMilliseconds(1000);
    platform::clock::SleepMilliseconds(20000);
    EXPECT_EQ(platform::testing::SleptMilliseconds(), 21000u);
}

TEST(TaskAllocator, SizesAndFaults) {
    IMalloc* malloc = nullptr;
    ASSERT_EQ(CoGetMalloc(1, &malloc), S_OK);
    ASSERT_NE(malloc, nullptr);
    void* block = malloc->Alloc(37);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(malloc->GetSize(block), 37u);
    EXPECT_EQ(malloc->DidAlloc(block), 1);
    block = malloc->Realloc(block, 4000);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(malloc->GetSize(block), 4000u);
    malloc->Free(block);
    malloc->Release();

    platform::testing::ReturnNullOnNthCall("CoTaskMemAlloc", 1);
    EXPECT_EQ(CoTaskMemAlloc(8), nullptr);
    void* second = CoTaskMemAlloc(8);
    EXPECT_NE(second, nullptr);
    CoTaskMemFree(second);
    CoTaskMemFree(nullptr);

    platform::testing::FailNthCall("CoGetMalloc", 1, E_OUTOFMEMORY);
    malloc = reinterpret_cast<IMalloc*>(1);
    EXPECT_EQ(CoGetMalloc(1, &malloc), E_OUTOFMEMORY);
    EXPECT_EQ(malloc, nullptr);
}

}  // namespace
