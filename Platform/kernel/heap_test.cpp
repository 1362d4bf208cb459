// The process heap: sizes, zeroing, growth and shrinking, bad handles and injected failures.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include <windows.h>

#include "platform_testing.h"

namespace {

using platform::testing::CallCount;
using platform::testing::CountCalls;
using platform::testing::FailNthCall;

TEST(Heap, AllocatesZeroesAndKnowsSizes) {
    HANDLE heap = GetProcessHeap();
    ASSERT_NE(heap, nullptr);
    EXPECT_EQ(GetProcessHeap(), heap);
    auto* zeroed = static_cast<unsigned char*>(HeapAlloc(heap, HEAP_ZERO_MEMORY, 1000));
    ASSERT_NE(zeroed, nullptr);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(zeroed) % 16, 0u) << "blocks are aligned for any type";
    for (int i = 0; i < 1000; ++i) ASSERT_EQ(zeroed[i], 0) << i;
    EXPECT_EQ(HeapSize(heap, 0, zeroed), 1000u);
    void* empty = HeapAlloc(heap, 0, 0);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(HeapSize(heap, 0, empty), 0u);
    EXPECT_TRUE(HeapFree(heap, 0, empty));
    EXPECT_TRUE(HeapFree(heap, 0, zeroed));
    EXPECT_TRUE(HeapFree(heap, 0, nullptr));
}

TEST(Heap, ReallocationKeepsContentsAndZeroesOnlyTheGrowth) {
    HANDLE heap = GetProcessHeap();
    auto* block = static_cast<unsigned char*>(HeapAlloc(heap, 0, 16));
    ASSERT_NE(block, nullptr);
    std::memset(block, 0xAB, 16);
    block = static_cast<unsigned char*>(HeapReAlloc(heap, HEAP_ZERO_MEMORY, block, 4096));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HeapSize(heap, 0, block), 4096u);
    for (int i = 0; i < 16; ++i) ASSERT_EQ(block[i], 0xAB) << i;
    for (int i = 16; i < 4096; ++i) ASSERT_EQ(block[i], 0) << i;
    block = static_cast<unsigned char*>(HeapReAlloc(heap, 0, block, 8));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(HeapSize(heap, 0, block), 8u);
    EXPECT_EQ(block[7], 0xAB);
    // A failed reallocation leaves the block as it was.
    FailNthCall("HeapReAlloc", 1, E_OUTOFMEMORY);
    EXPECT_EQ(HeapReAlloc(heap, 0, block, 64), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(HeapSize(heap, 0, block), 8u);
    EXPECT_EQ(block[0], 0xAB);
    EXPECT_EQ(HeapReAlloc(heap, 0, nullptr, 64), nullptr) << "a null block is not reallocated";
    EXPECT_EQ(HeapReAlloc(heap, 0, block, SIZE_MAX - 8), nullptr);
    EXPECT_EQ(HeapSize(heap, 0, block), 8u);
    // In place: shrinking keeps the block where it is, growing is refused and changes nothing.
    EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 4), block);
    EXPECT_EQ(HeapSize(heap, 0, block), 4u);
    EXPECT_EQ(HeapReAlloc(heap, HEAP_REALLOC_IN_PLACE_ONLY, block, 4096), nullptr);
    EXPECT_EQ(HeapSize(heap, 0, block), 4u);
    EXPECT_EQ(block[3], 0xAB);
    EXPECT_TRUE(HeapFree(heap, 0, block));
}

TEST(Heap, BadHandlesHugeSizesAndInjectedFailures) {
    int notAHeap = 0;
    SetLastError(0);
    EXPECT_EQ(HeapAlloc(&notAHeap, 0, 8), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, SIZE_MAX), nullptr);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, SIZE_MAX - 15), nullptr) << "the size of the block's header must not wrap";
    void* block = HeapAlloc(GetProcessHeap(), 0, 8);
    ASSERT_NE(block, nullptr);
    EXPECT_FALSE(HeapFree(&notAHeap, 0, block));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(HeapSize(&notAHeap, 0, block), static_cast<SIZE_T>(-1));
    EXPECT_EQ(HeapSize(GetProcessHeap(), 0, nullptr), static_cast<SIZE_T>(-1));

    FailNthCall("HeapAlloc", 2, E_OUTOFMEMORY);
    void* first = HeapAlloc(GetProcessHeap(), 0, 8);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(HeapAlloc(GetProcessHeap(), 0, 8), nullptr);
    void* third = HeapAlloc(GetProcessHeap(), 0, 8);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(CallCount("HeapAlloc"), 3u);
    CountCalls("HeapFree");
    HeapFree(GetProcessHeap(), 0, first);
    HeapFree(GetProcessHeap(), 0, third);
    HeapFree(GetProcessHeap(), 0, block);
    EXPECT_EQ(CallCount("HeapFree"), 3u);
}

}  // namespace
