#include <gtest/gtest.h>

#include <cstring>
#include <windows.h>

#include "platform_testing.h"

namespace {

uint32_t PrefixOf(BSTR bstr) {
    uint32_t prefix = 0;
    std::memcpy(&prefix, reinterpret_cast<const BYTE*>(bstr) - 4, sizeof prefix);
    return prefix;
}

TEST(Bstr, LayoutIsPrefixTextTerminator) {
    BSTR bstr = SysAllocString(OLESTR("abc"));
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(PrefixOf(bstr), 6u);
    EXPECT_EQ(SysStringLen(bstr), 3u);
    EXPECT_EQ(SysStringByteLen(bstr), 6u);
    EXPECT_EQ(std::u16string(bstr, 3), u"abc");
    EXPECT_EQ(bstr[3], 0);
    SysFreeString(bstr);
}

TEST(Bstr, NullBstrIsTheEmptyString) {
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysStringByteLen(nullptr), 0u);
    SysFreeString(nullptr);
    EXPECT_EQ(SysAllocString(nullptr), nullptr);
    BSTR empty = SysAllocString(OLESTR(""));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(SysStringLen(empty), 0u);
    EXPECT_EQ(empty[0], 0);
    SysFreeString(empty);
}

TEST(Bstr, LengthCountsEmbeddedNulls) {
    const OLECHAR text[] = {u'a', 0, u'b', 0, u'c'};
    BSTR bstr = SysAllocStringLen(text, 5);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr), 5u);
    EXPECT_EQ(SysStringByteLen(bstr), 10u);
    EXPECT_EQ(std::memcmp(bstr, text, sizeof text), 0);
    EXPECT_EQ(bstr[5], 0);
    SysFreeString(bstr);

    // A prefix of a longer text is cut and terminated.
    bstr = SysAllocStringLen(OLESTR("abcdef"), 3);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(std::u16string(bstr), u"abc");
    SysFreeString(bstr);

    // No text: that many null characters.
    bstr = SysAllocStringLen(nullptr, 4);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringLen(bstr), 4u);
    for (int i = 0; i <= 4; ++i) EXPECT_EQ(bstr[i], 0) << i;
    SysFreeString(bstr);
}

TEST(Bstr, ByteLengthStringsKeepOddLengths) {
    BSTR bstr = SysAllocStringByteLen("abc", 3);
    ASSERT_NE(bstr, nullptr);
    EXPECT_EQ(SysStringByteLen(bstr), 3u);
    EXPECT_EQ(SysStringLen(bstr), 1u);
    const BYTE* bytes = reinterpret_cast<const BYTE*>(bstr);
    EXPECT_EQ(std::memcmp(bytes, "abc", 3), 0);
    EXPECT_EQ(bytes[3], 0);
    EXPECT_EQ(bytes[4], 0);
    SysFreeString(bstr);
}

TEST(Bstr, LengthsBeyondThePrefixFail) {
    EXPECT_EQ(SysAllocStringLen(nullptr, 0x7FFFFFFFu), nullptr);
    EXPECT_EQ(SysAllocStringByteLen(nullptr, 0xFFFFFFFFu), nullptr);
}

TEST(Bstr, ReAllocFromItsOwnText) {
    BSTR bstr = SysAllocString(OLESTR("hello world"));
    ASSERT_NE(bstr, nullptr);
    ASSERT_TRUE(SysReAllocString(&bstr, bstr + 6));
    EXPECT_EQ(std::u16string(bstr), u"world");
    EXPECT_EQ(SysStringLen(bstr), 5u);
    ASSERT_TRUE(SysReAllocStringLen(&bstr, bstr, 3));
    EXPECT_EQ(std::u16string(bstr), u"wor");
    ASSERT_TRUE(SysReAllocString(&bstr, nullptr));
    EXPECT_EQ(bstr, nullptr);
}

TEST(Bstr, FaultInjectedAllocationReturnsNull) {
    platform::testing::ReturnNullOnNthCall("SysAllocString", 2);
    BSTR first = SysAllocString(OLESTR("one"));
    BSTR second = SysAllocString(OLESTR("two"));
    BSTR third = SysAllocString(OLESTR("three"));
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(second, nullptr);
    EXPECT_NE(third, nullptr);
    EXPECT_EQ(platform::testing::CallCount("SysAllocString"), 3u);
    SysFreeString(first);
    SysFreeString(third);

    platform::testing::ReturnNullOnNthCall("SysAllocStringLen", 1);
    EXPECT_EQ(SysAllocStringLen(OLESTR("x"), 1), nullptr);
    platform::testing::ReturnNullOnNthCall("SysAllocStringByteLen", 1);
    EXPECT_EQ(SysAllocStringByteLen("x", 1), nullptr);
}

TEST(Bstr, FailedReAllocLeavesTheStringAsItWas) {
    BSTR bstr = SysAllocString(OLESTR("keep"));
    ASSERT_NE(bstr, nullptr);
    platform::testing::FailNthCall("SysReAllocString", 1, E_OUTOFMEMORY);
    EXPECT_FALSE(SysReAllocString(&bstr, OLESTR("other")));
    EXPECT_EQ(std::u16string(bstr), u"keep");
    platform::testing::FailNthCall("SysReAllocStringLen", 1, E_OUTOFMEMORY);
    EXPECT_FALSE(SysReAllocStringLen(&bstr, OLESTR("other"), 5));
    EXPECT_EQ(std::u16string(bstr), u"keep");
    SysFreeString(bstr);
}

}  // namespace
