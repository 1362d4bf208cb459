// Wide-string helpers and the C runtime's integer parsers.
#include <gtest/gtest.h>

#include <windows.h>

#include <climits>

#include "platform_testing.h"

namespace {

TEST(KernelWtoi, FollowsTheCRuntime) {
    struct Case {
        const WCHAR* text;
        int expected;
    } cases[] = {
        {u"12abc", 12},
        {u"-2", -2},
        {u"4294967294", INT_MAX},
        {u"-2147483617", -2147483617},
        {u"", 0},
        {u"  7", 7},
        {u"0x0037001F", 0},
        {u"+5", 5},
        {u"-", 0},
        {u" -0012x", -12},
        {u"99999999999999999999", INT_MAX},
        {u"-99999999999999999999", INT_MIN},
        {u"2147483647", INT_MAX},
        {u"2147483648", INT_MAX},
        {u"-2147483648", INT_MIN},
        {u"-2147483649", INT_MIN},
        {u"\t\n\v\f\r 42", 42},
        {u"+-3", 0},
        {u"- 3", 0},
        {u"007", 7},
        {u"\x3000" u"5", 0},  // only the C locale's white space is skipped
        {u"\xFF15", 0},       // a full-width digit is no digit
    };
    for (const Case& c : cases) {
        EXPECT_EQ(_wtoi(c.text), c.expected) << std::string(c.text, c.text + wcslen(c.text));
        EXPECT_EQ(_wtol(c.text), c.expected);
    }
    EXPECT_EQ(_wtoi(nullptr), 0);
    EXPECT_EQ(_wtoi64(u"4294967294"), 4294967294LL);
    EXPECT_EQ(_wtoi64(u"-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(_wtoi64(u"9223372036854775808"), INT64_MAX);
    EXPECT_EQ(_wtoi64(u"-99999999999999999999"), INT64_MIN);
}

TEST(KernelWideString, CaseInsensitiveComparison) {
    struct Case {
        const WCHAR* a;
        const WCHAR* b;
        int sign;
    } cases[] = {
        {u"Subject", u"SUBJECT", 0},
        {u"abc", u"abd", -1},
        {u"abc", u"ab", 1},
        {u"", u"", 0},
        {u"Ærø Ÿ", u"ærø ÿ", 0},               // Latin-1 and Ÿ/ÿ
        {u"ŁÓDŹ", u"łódź", 0},                  // Latin Extended-A
        {u"ΑΘΗΝΑ Ά", u"αθηνα ά", 0},            // Greek
        {u"МОСКВА ЁЖ", u"москва ёж", 0},       // Cyrillic
        {u"ＡＢＣ", u"ａｂｃ", 0},              // full width
        {u"[", u"a", -1},  // compared folded to lower case: '[' (0x5B) < 'a'
        {u"_", u"A", -1},  // '_' (0x5F) < 'a' (0x61), although above 'A'
    };
    auto sign = [](int v) { return v < 0 ? -1 : (v > 0 ? 1 : 0); };
    for (const Case& c : cases) {
        EXPECT_EQ(sign(_wcsicmp(c.a, c.b)), c.sign);
        EXPECT_EQ(sign(_wcsicmp(c.b, c.a)), -c.sign);
        EXPECT_EQ(lstrcmpiW(c.a, c.b), c.sign);
    }
    EXPECT_EQ(_wcsnicmp(u"MSG.extra", u"msg", 3), 0);
    EXPECT_NE(_wcsnicmp(u"MSG.extra", u"msg", 4), 0);
    EXPECT_EQ(_wcsnicmp(u"abc", u"xyz", 0), 0);
    EXPECT_EQ(lstrcmpW(u"a", u"B"), 1) << "case-sensitive: 'a' > 'B'";
}

TEST(KernelWideString, CaseMappingsRoundTrip) {
    WCHAR text[] = u"Grüße, ŁÓDŹ, Σοφία, Щука";
    _wcsupr(text);
    EXPECT_EQ(std::u16string(text), u"GRÜßE, ŁÓDŹ, ΣΟΦΊΑ, ЩУКА");
    _wcslwr(text);
    EXPECT_EQ(std::u16string(text), u"grüße, łódź, σοφία, щука");
}

TEST(KernelWideString, LengthsAndCopies) {
    EXPECT_EQ(lstrlenW(u"hello"), 5);
    EXPECT_EQ(lstrlenW(nullptr), 0);
    EXPECT_EQ(wcslen(u"日本語"), 3u);
    WCHAR buffer[8];
    std::fill(std::begin(buffer), std::end(buffer), u'#');
    EXPECT_EQ(lstrcpynW(buffer, u"abcdefgh", 4), buffer);
    EXPECT_EQ(std::u16string(buffer), u"abc");
    EXPECT_EQ(buffer[4], u'#');
    lstrcpynW(buffer, u"ab", 8);
    EXPECT_EQ(std::u16string(buffer), u"ab");
    lstrcpynW(buffer, u"xyz", 1);
    EXPECT_EQ(buffer[0], u'\0');
    EXPECT_EQ(lstrcpynW(nullptr, u"x", 4), nullptr);
    platform::testing::ReturnNullOnNthCall("lstrcpynW", 1);
    EXPECT_EQ(lstrcpynW(buffer, u"x", 4), nullptr);

    WCHAR joined[16];
    wcscpy(joined, u"one");
    wcscat(joined, u"/two");
    EXPECT_EQ(std::u16string(joined), u"one/two");
    EXPECT_EQ(wcsrchr(joined, u'/') - joined, 3);
    EXPECT_EQ(wcschr(joined, u'o'), joined);
    EXPECT_EQ(wcschr(joined, u'\0'), joined + 7);
    EXPECT_EQ(wcschr(joined, u'z'), nullptr);
    EXPECT_EQ(wcsstr(joined, u"tw") - joined, 4);
    EXPECT_EQ(wcsstr(joined, u"twx"), nullptr);
    EXPECT_LT(wcscmp(u"abc", u"abd"), 0);
    EXPECT_EQ(wcsncmp(u"abc", u"abd", 2), 0);
    EXPECT_GT(wcscmp(u"\xFFFF", u"a"), 0) << "units compare unsigned";
    WCHAR padded[5];
    wcsncpy(padded, u"ab", 5);
    EXPECT_EQ(padded[2], 0);
    EXPECT_EQ(padded[4], 0);
}

}  // namespace
