// Counted copies, concatenation and the wide printf.
#include <gtest/gtest.h>

#include <windows.h>

#include <initializer_list>
#include <string>

#include "platform_testing.h"

namespace {

// A buffer with guard units after the counted part, to catch writes past the count.
struct Guarded {
    explicit Guarded(size_t count) : count(count), units(count + 4, u'#') {}
    WCHAR* data() { return units.data(); }
    std::u16string text() const { return std::u16string(units.c_str()); }
    bool guardsIntact() const { return units.compare(count, 4, u"####") == 0; }
    size_t count;
    std::u16string units;
};

// A write into a guarded buffer of `cch` units: what it returns and the text it leaves.
struct BoundaryCase {
    size_t cch;
    HRESULT hr;
    const char16_t* result;
};

// Runs `write(buffer, cch)` into a fresh guarded buffer for each case: its result, the text left
// and the guards after the count.
template <typename Write>
void ExpectAtEachCount(std::initializer_list<BoundaryCase> cases, Write write) {
    for (const BoundaryCase& c : cases) {
        Guarded buffer(c.cch);
        EXPECT_EQ(write(buffer.data(), c.cch), c.hr) << c.cch;
        EXPECT_EQ(buffer.text(), c.result) << c.cch;
        EXPECT_TRUE(buffer.guardsIntact()) << c.cch;
    }
}

TEST(KernelStrSafe, CopyAtTheBoundaryAndOnePast) {
    ExpectAtEachCount({{6, S_OK, u"hello"},
                       {7, S_OK, u"hello"},
                       {5, STRSAFE_E_INSUFFICIENT_BUFFER, u"hell"},
                       {1, STRSAFE_E_INSUFFICIENT_BUFFER, u""}},
                      [](WCHAR* buffer, size_t cch) { return StringCchCopyW(buffer, cch, u"hello"); });
    Guarded buffer(4);
    EXPECT_EQ(StringCchCopyW(buffer.data(), 0, u"x"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buffer.units[0], u'#') << "a zero count writes nothing";
    EXPECT_EQ(StringCchCopyW(buffer.data(), 4, nullptr), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buffer.text(), u"");
}

TEST(KernelStrSafe, CopyNStopsAtTheCountOrTheEnd) {
    Guarded buffer(8);
    EXPECT_EQ(StringCchCopyNW(buffer.data(), 8, u"abcdef", 3), S_OK);
    EXPECT_EQ(buffer.text(), u"abc");
    EXPECT_EQ(StringCchCopyNW(buffer.data(), 8, u"ab", 5), S_OK);
    EXPECT_EQ(buffer.text(), u"ab");
    EXPECT_EQ(StringCchCopyNW(buffer.data(), 4, u"abcdef", 4), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(buffer.text(), u"abc");
    EXPECT_EQ(StringCchCopyNW(buffer.data(), 4, u"abcdef", 3), S_OK);
    EXPECT_TRUE(buffer.guardsIntact());
}

TEST(KernelStrSafe, CatAtTheBoundaryAndOnePast) {
    ExpectAtEachCount({{10, S_OK, u"path/file"},  // nine characters and the terminator
                       {11, S_OK, u"path/file"},
                       {9, STRSAFE_E_INSUFFICIENT_BUFFER, u"path/fil"},
                       {5, STRSAFE_E_INSUFFICIENT_BUFFER, u"path"}},
                      [](WCHAR* buffer, size_t cch) {
                          EXPECT_EQ(StringCchCopyW(buffer, cch, u"path"), S_OK) << cch;
                          return StringCchCatW(buffer, cch, u"/file");
                      });
    Guarded unterminated(3);
    EXPECT_EQ(StringCchCatW(unterminated.data(), 3, u"x"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_TRUE(unterminated.guardsIntact());
    Guarded counted(8);
    StringCchCopyW(counted.data(), 8, u"ab");
    EXPECT_EQ(StringCchCatNW(counted.data(), 8, u"cdef", 2), S_OK);
    EXPECT_EQ(counted.text(), u"abcd");
}

TEST(KernelStrSafe, Length) {
    size_t length = 99;
    EXPECT_EQ(StringCchLengthW(u"abc", 4, &length), S_OK);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(StringCchLengthW(u"abc", 3, &length), STRSAFE_E_INVALID_PARAMETER) << "no terminator within 3";
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(StringCchLengthW(nullptr, 3, &length), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchLengthW(u"", STRSAFE_MAX_CCH + size_t(1), &length), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchLengthW(u"", 1, nullptr), S_OK);
}

std::u16string Printf(const WCHAR* format, ...) {
    WCHAR buffer[256];
    va_list args;
    va_start(args, format);
    HRESULT hr = StringCchVPrintfW(buffer, 256, format, args);
    va_end(args);
    EXPECT_EQ(hr, S_OK);
    return buffer;
}

TEST(KernelStrSafe, PrintfFormats) {
    EXPECT_EQ(Printf(u"%s and %ls and %ws", u"wide", u"long", u"w"), u"wide and long and w");
    EXPECT_EQ(Printf(u"%S|%hs", "narrow", "half"), u"narrow|half");
    EXPECT_EQ(Printf(u"%S", "caf\xE9"), u"café") << "narrow bytes widened one by one";
    EXPECT_EQ(Printf(u"%d %i %u", -42, 17, 4000000000u), u"-42 17 4000000000");
    EXPECT_EQ(Printf(u"%x %X %#x %#X %o %#o", 255u, 255u, 255u, 0u, 8u, 8u), u"ff FF 0xff 0 10 010");
    EXPECT_EQ(Printf(u"%04d|%02d|%-5s|%08X", 7, 123, u"ab", 0xBEEFu), u"0007|123|ab   |0000BEEF");
    EXPECT_EQ(Printf(u"%5d|%-5d|%+d|% d|%05d|%+05d", 42, 42, 42, 42, -42, 42), u"   42|42   |+42| 42|-0042|+0042");
    EXPECT_EQ(Printf(u"%.3d|%8.3d|%-8.3d|%08.3d|%.0d", 7, 7, 7, 7, 0), u"007|     007|007     |     007|");
    EXPECT_EQ(Printf(u"%.2s|%5.1s|%-4.3s|", u"abcdef", u"xyz", u"long"), u"ab|    x|lon |");
    EXPECT_EQ(Printf(u"%*d|%-*d|%.*s", 4, 1, 3, 2, 2, u"abc"), u"   1|2  |ab");
    EXPECT_EQ(Printf(u"%c%c%C%hc|%3c|%-3c|", u'é', u'Ж', 'a', 'b', u'x', u'y'), u"éЖab|  x|y  |");
    EXPECT_EQ(Printf(u"100%% sure"), u"100% sure");
    EXPECT_EQ(Printf(u"%s|%S", static_cast<const WCHAR*>(nullptr), static_cast<const char*>(nullptr)), u"(null)|(null)");
    EXPECT_EQ(Printf(u"%hd %hu %hhd", 70000, 70000, 300), u"4464 4464 44");
}

TEST(KernelStrSafe, PrintfSizesFollowWindows) {
    // 'l' is Windows' 32-bit long; 64-bit values need ll or I64.
    LONG negative = -5;
    DWORD big = 0xFFFFFFFF;
    EXPECT_EQ(Printf(u"%ld %lu %lx", negative, big, big), u"-5 4294967295 ffffffff");
    EXPECT_EQ(Printf(u"%lld %I64d %I64u %llx", -9000000000LL, 9000000000LL, 18446744073709551615ULL,
                     0x123456789ULL),
              u"-9000000000 9000000000 18446744073709551615 123456789");
    EXPECT_EQ(Printf(u"%Iu %zu %I32d", size_t(1) << 40, size_t(3), -1), u"1099511627776 3 -1");
    EXPECT_EQ(Printf(u"%lld", LLONG_MIN), u"-9223372036854775808");
    EXPECT_EQ(Printf(u"%p", reinterpret_cast<void*>(0xABCDEFULL)), u"0000000000ABCDEF");
    EXPECT_EQ(Printf(u"%.2f %e %g %5.1f", 3.14159, 1500.0, 0.0001, -2.25), u"3.14 1.500000e+03 0.0001  -2.2");
}

TEST(KernelStrSafe, PrintfTruncatesAtTheBoundary) {
    // "value=12345" is 11 characters: fits in 12, not in 11.
    ExpectAtEachCount({{12, S_OK, u"value=12345"},
                       {11, STRSAFE_E_INSUFFICIENT_BUFFER, u"value=1234"},
                       {7, STRSAFE_E_INSUFFICIENT_BUFFER, u"value="},
                       {1, STRSAFE_E_INSUFFICIENT_BUFFER, u""}},
                      [](WCHAR* buffer, size_t cch) { return StringCchPrintfW(buffer, cch, u"%s=%d", u"value", 12345); });
    Guarded padded(6);
    EXPECT_EQ(StringCchPrintfW(padded.data(), 6, u"%10d", 1), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(padded.text(), u"     ");
    EXPECT_TRUE(padded.guardsIntact());
}

TEST(KernelStrSafe, PrintfRejectsUnknownConversionsAndBadArguments) {
    WCHAR buffer[32];
    EXPECT_EQ(StringCchPrintfW(buffer, 32, u"ab%k", 1), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(std::u16string(buffer), u"ab");
    EXPECT_EQ(StringCchPrintfW(buffer, 32, u"trailing %"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchPrintfW(buffer, 32, u"%n", nullptr), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCchPrintfW(buffer, 32, nullptr), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(buffer[0], u'\0');
    EXPECT_EQ(StringCchPrintfW(buffer, 0, u"x"), STRSAFE_E_INVALID_PARAMETER);
    EXPECT_EQ(StringCbPrintfW(buffer, sizeof buffer, u"%d-%s", 5, u"x"), S_OK);
    EXPECT_EQ(std::u16string(buffer), u"5-x");
}

TEST(KernelStrSafe, OperationsConsultFaults) {
    WCHAR buffer[16] = u"keep";
    platform::testing::FailNthCall("StringCchCopyW", 1, STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(StringCchCopyW(buffer, 16, u"x"), STRSAFE_E_INSUFFICIENT_BUFFER);
    EXPECT_EQ(StringCchCopyW(buffer, 16, u"x"), S_OK);
    platform::testing::FailNthCall("StringCchCatW", 1, E_OUTOFMEMORY);
    EXPECT_EQ(StringCchCatW(buffer, 16, u"y"), E_OUTOFMEMORY);
    EXPECT_EQ(std::u16string(buffer), u"x") << "a failed append leaves the destination";
    platform::testing::FailNthCall("StringCchPrintfW", 1, E_FAIL);
    EXPECT_EQ(StringCchPrintfW(buffer, 16, u"%d", 1), E_FAIL);
    platform::testing::FailNthCall("StringCchLengthW", 1, E_FAIL);
    size_t length = 7;
    EXPECT_EQ(StringCchLengthW(u"abc", 16, &length), E_FAIL);
    EXPECT_EQ(length, 0u);
    platform::testing::FailNthCall("StringCchCopyNW", 1, E_FAIL);
    EXPECT_EQ(StringCchCopyNW(buffer, 16, u"abc", 2), E_FAIL);
}

}  // namespace
