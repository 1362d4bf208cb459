// Code-page conversion in both directions, the ANSI code page setting and Windows' rules for
// sizes, terminators and invalid input.
#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform_testing.h"

namespace {

std::u16string ToWide(UINT codePage, const std::string& bytes, DWORD flags = 0) {
    int needed = MultiByteToWideChar(codePage, flags, bytes.data(), int(bytes.size()), nullptr, 0);
    if (needed == 0) return u"<failed>";
    std::u16string wide(size_t(needed), u'\0');
    int written = MultiByteToWideChar(codePage, flags, bytes.data(), int(bytes.size()), wide.data(), needed);
    EXPECT_EQ(written, needed);
    return wide;
}

std::string ToBytes(UINT codePage, const std::u16string& wide, BOOL* usedDefault = nullptr,
                    const char* defaultChar = nullptr, DWORD flags = 0) {
    int needed = WideCharToMultiByte(codePage, flags, wide.data(), int(wide.size()), nullptr, 0, defaultChar, usedDefault);
    if (needed == 0) return "<failed>";
    std::string bytes(size_t(needed), '\0');
    int written =
        WideCharToMultiByte(codePage, flags, wide.data(), int(wide.size()), bytes.data(), needed, defaultChar, usedDefault);
    EXPECT_EQ(written, needed);
    return bytes;
}

struct RoundTrip {
    UINT codePage;
    const char* bytes;
    const char16_t* text;
};

const RoundTrip kRoundTrips[] = {
    {1250, "\xA3\xF3\x64\x9F", u"Łódź"},
    {1251, "\xCF\xF0\xE8\xE2\xE5\xF2", u"Привет"},
    {1252, "\x80\x20\x63\x61\x66\xE9", u"€ café"},
    {1253, "\xD9\xEC\xDD\xE3\xE1", u"Ωμέγα"},
    {1254, "\xF0\xFC\xFE", u"ğüş"},
    {1255, "\xF9\xEC\xE5\xED", u"שלום"},
    {1256, "\xDA\xD1\xC8\xED", u"عربي"},
    {1257, "\xE0\xE8\xE6", u"ąčę"},
    {1258, "\xF0\xF5\x6E", u"đơn"},
    {874, "\xE4\xB7\xC2", u"ไทย"},
    {932, "\x93\xFA\x96\x7B\x8C\xEA", u"日本語"},
    {932, "\x83\x65\x83\x58\x83\x67\x31", u"テスト1"},
    {936, "\xD6\xD0\xCE\xC4", u"中文"},
    {949, "\xC7\xD1\xB1\xB9\xBE\xEE", u"한국어"},
    {950, "\xA4\xA4\xA4\xE5", u"中文"},
    {20127, "abc", u"abc"},
    {28591, "\xE9\xFF", u"éÿ"},
    {CP_UTF8, "\xE6\x97\xA5\xE6\x9C\xAC\xF0\x9F\x98\x80", u"日本😀"},
    {CP_OEMCP, "\x80\x9A", u"ÇÜ"},
    {CP_UTF7, "+ZeVnLIqe-", u"日本語"},
};

TEST(KernelCodePage, RoundTrips) {
    for (const RoundTrip& c : kRoundTrips) {
        EXPECT_EQ(ToWide(c.codePage, c.bytes), c.text) << "code page " << c.codePage;
        EXPECT_EQ(ToBytes(c.codePage, c.text), c.bytes) << "code page " << c.codePage;
        EXPECT_TRUE(IsValidCodePage(c.codePage == CP_OEMCP ? 437 : c.codePage)) << c.codePage;
    }
}

TEST(KernelCodePage, NullTerminatedInputCountsTheTerminator) {
    const char* bytes = "\xCF\xF0\xE8";  // "При" in 1251
    EXPECT_EQ(MultiByteToWideChar(1251, 0, bytes, -1, nullptr, 0), 4);
    WCHAR wide[8];
    std::fill(std::begin(wide), std::end(wide), u'#');
    EXPECT_EQ(MultiByteToWideChar(1251, 0, bytes, -1, wide, 8), 4);
    EXPECT_EQ(std::u16string(wide), u"При");
    EXPECT_EQ(MultiByteToWideChar(1251, 0, bytes, 3, wide, 8), 3) << "counted input: no terminator";

    EXPECT_EQ(WideCharToMultiByte(932, 0, u"日本", -1, nullptr, 0, nullptr, nullptr), 5);
    char narrow[8];
    EXPECT_EQ(WideCharToMultiByte(932, 0, u"日本", -1, narrow, 8, nullptr, nullptr), 5);
    EXPECT_STREQ(narrow, "\x93\xFA\x96\x7B");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, u"é", -1, narrow, 8, nullptr, nullptr), 3);
    EXPECT_STREQ(narrow, "\xC3\xA9");
}

TEST(KernelCodePage, BufferOneTooSmallFails) {
    struct Case {
        UINT codePage;
        const char* bytes;
    } cases[] = {{1252, "abc\xE9"}, {932, "\x93\xFA\x96\x7B\x8C\xEA"}, {CP_UTF8, "\xE6\x97\xA5x"}};
    for (const Case& c : cases) {
        const int needed = MultiByteToWideChar(c.codePage, 0, c.bytes, -1, nullptr, 0);
        ASSERT_GT(needed, 1);
        std::u16string wide(size_t(needed), u'#');
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes, -1, wide.data(), needed - 1), 0) << c.codePage;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(wide[size_t(needed - 1)], u'#') << "nothing written past the count";
        EXPECT_EQ(MultiByteToWideChar(c.codePage, 0, c.bytes, -1, wide.data(), needed), needed);

        const int bytesNeeded = WideCharToMultiByte(c.codePage, 0, wide.data(), -1, nullptr, 0, nullptr, nullptr);
        EXPECT_EQ(bytesNeeded, int(strlen(c.bytes)) + 1);
        std::string narrow(size_t(bytesNeeded), '#');
        SetLastError(0);
        EXPECT_EQ(WideCharToMultiByte(c.codePage, 0, wide.data(), -1, narrow.data(), bytesNeeded - 1, nullptr, nullptr), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        EXPECT_EQ(narrow[size_t(bytesNeeded - 1)], '#');
    }
}

TEST(KernelCodePage, InvalidUtf8) {
    struct Case {
        const char* bytes;
        const char16_t* lenient;
    } cases[] = {
        {"a\xC3(", u"a\xFFFD("},
        {"\xE6\x97", u"\xFFFD"},                    // truncated: one replacement
        {"\xED\xA0\x80", u"\xFFFD\xFFFD\xFFFD"},     // an encoded surrogate
        {"\xC0\xAF", u"\xFFFD\xFFFD"},               // overlong
        {"\xF4\x90\x80\x80", u"\xFFFD\xFFFD\xFFFD\xFFFD"},  // above U+10FFFF
        {"\xF0\x9F\x98", u"\xFFFD"},
        {"\xFF" "b", u"\xFFFD" "b"},
        {"\x80", u"\xFFFD"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ToWide(CP_UTF8, c.bytes), c.lenient) << c.bytes;
        SetLastError(0);
        WCHAR wide[16];
        EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, c.bytes, -1, wide, 16), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    }
    EXPECT_EQ(ToWide(CP_UTF8, "ok \xE2\x82\xAC", MB_ERR_INVALID_CHARS), u"ok €");
}

TEST(KernelCodePage, InvalidMultiByteInput) {
    EXPECT_EQ(ToWide(932, "\x82"), u"?") << "a lead byte at the end";
    EXPECT_EQ(ToWide(932, "a\x82\x20" "b"), u"a? b") << "a lead byte before a byte that cannot trail";
    WCHAR wide[8];
    for (const char* bytes : {"\x82", "a\x82\x20"}) {
        SetLastError(0);
        EXPECT_EQ(MultiByteToWideChar(932, MB_ERR_INVALID_CHARS, bytes, int(strlen(bytes)), wide, 8), 0);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    }
    // 1252's unassigned bytes stand for the C1 controls, both ways; 1253's 0xAA has nothing.
    EXPECT_EQ(ToWide(1252, "\x81\x8D\x8F\x90\x9D", MB_ERR_INVALID_CHARS), u"\x0081\x008D\x008F\x0090\x009D");
    EXPECT_EQ(ToBytes(1252, u"\x0081\x009D"), "\x81\x9D");
    EXPECT_EQ(ToWide(1253, "a\xAA"), u"a?");
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(1253, MB_ERR_INVALID_CHARS, "a\xAA", 2, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(ToWide(20127, "a\xE9"), u"a?");
}

TEST(KernelCodePage, UnrepresentableCharactersGetTheDefault) {
    BOOL used = 7;
    EXPECT_EQ(ToBytes(1252, u"café", &used), "caf\xE9");
    EXPECT_EQ(used, FALSE);
    EXPECT_EQ(ToBytes(1252, u"a日b", &used), "a?b");
    EXPECT_EQ(used, TRUE);
    EXPECT_EQ(ToBytes(1252, u"ā", &used, "*"), "*") << "no look-alike: the default character";
    EXPECT_EQ(ToBytes(1252, u"😀", &used), "??") << "one default per UTF-16 unit";
    EXPECT_EQ(ToBytes(1251, u"Жé", &used), "\xC6?");
    used = FALSE;
    EXPECT_EQ(ToBytes(932, u"日\x0E01本", &used), "\x93\xFA?\x96\x7B");
    EXPECT_EQ(used, TRUE);
    EXPECT_EQ(ToBytes(932, u"\xD800x", &used, "_"), "_x") << "an unpaired surrogate";
    EXPECT_EQ(ToBytes(CP_UTF8, u"a\xDC00"), "a\xEF\xBF\xBD");
    char narrow[8];
    SetLastError(0);
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, u"a\xDC00", 2, narrow, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(KernelCodePage, LongInputCrossesConversionChunks) {
    std::string bytes;
    std::u16string text;
    for (int i = 0; i < 1500; ++i) {
        bytes += "\x93\xFA\x96\x7B\x8C\xEA" "a";
        text += u"日本語a";
    }
    EXPECT_EQ(ToWide(932, bytes), text);
    EXPECT_EQ(ToBytes(932, text), bytes);
}

TEST(KernelCodePage, BadArgumentsAndFlags) {
    WCHAR wide[8];
    char narrow[8];
    BOOL used = FALSE;
    WCHAR shared[8] = u"abc";  // a buffer both read and written
    char* sharedBytes = reinterpret_cast<char*>(shared);
    struct Case {
        const char* what;
        std::function<int()> call;
        DWORD error;
    };
    const Case cases[] = {
        {"null input", [&] { return MultiByteToWideChar(1252, 0, nullptr, 3, wide, 8); }, ERROR_INVALID_PARAMETER},
        {"empty input", [&] { return MultiByteToWideChar(1252, 0, "abc", 0, wide, 8); }, ERROR_INVALID_PARAMETER},
        {"count below -1", [&] { return MultiByteToWideChar(1252, 0, "abc", -2, wide, 8); }, ERROR_INVALID_PARAMETER},
        {"negative output count", [&] { return MultiByteToWideChar(1252, 0, "abc", 3, wide, -1); }, ERROR_INVALID_PARAMETER},
        {"null output with a count", [&] { return MultiByteToWideChar(1252, 0, "abc", 3, nullptr, 8); }, ERROR_INVALID_PARAMETER},
        {"unknown code page", [&] { return MultiByteToWideChar(12345, 0, "abc", 3, wide, 8); }, ERROR_INVALID_PARAMETER},
        {"output over the input", [&] { return MultiByteToWideChar(1252, 0, sharedBytes, 3, shared, 8); }, ERROR_INVALID_PARAMETER},
        {"UTF-8 and MB_PRECOMPOSED", [&] { return MultiByteToWideChar(CP_UTF8, MB_PRECOMPOSED, "abc", 3, wide, 8); }, ERROR_INVALID_FLAGS},
        {"GB18030 and MB_PRECOMPOSED", [&] { return MultiByteToWideChar(54936, MB_PRECOMPOSED, "abc", 3, wide, 8); }, ERROR_INVALID_FLAGS},
        {"UTF-7 with a flag", [&] { return MultiByteToWideChar(CP_UTF7, MB_ERR_INVALID_CHARS, "abc", 3, wide, 8); }, ERROR_INVALID_FLAGS},
        {"both compositions", [&] { return MultiByteToWideChar(1252, MB_PRECOMPOSED | MB_COMPOSITE, "abc", 3, wide, 8); }, ERROR_INVALID_FLAGS},
        {"unknown flag", [&] { return MultiByteToWideChar(1252, 0x100, "abc", 3, wide, 8); }, ERROR_INVALID_FLAGS},
        {"wide null input", [&] { return WideCharToMultiByte(1252, 0, nullptr, 3, narrow, 8, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
        {"wide empty input", [&] { return WideCharToMultiByte(1252, 0, u"abc", 0, narrow, 8, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
        {"null bytes with a count", [&] { return WideCharToMultiByte(1252, 0, u"abc", 3, nullptr, 8, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
        {"wide unknown code page", [&] { return WideCharToMultiByte(12345, 0, u"abc", 3, narrow, 8, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
        {"bytes over the wide input", [&] { return WideCharToMultiByte(1252, 0, shared, 3, sharedBytes, 8, nullptr, nullptr); }, ERROR_INVALID_PARAMETER},
        {"UTF-8 with a default", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, 8, "?", nullptr); }, ERROR_INVALID_PARAMETER},
        {"UTF-8 asking for defaults", [&] { return WideCharToMultiByte(CP_UTF8, 0, u"abc", 3, narrow, 8, nullptr, &used); }, ERROR_INVALID_PARAMETER},
        {"UTF-8 and WC_NO_BEST_FIT_CHARS", [&] { return WideCharToMultiByte(CP_UTF8, WC_NO_BEST_FIT_CHARS, u"abc", 3, narrow, 8, nullptr, nullptr); }, ERROR_INVALID_FLAGS},
        {"WC_ERR_INVALID_CHARS for 1252", [&] { return WideCharToMultiByte(1252, WC_ERR_INVALID_CHARS, u"abc", 3, narrow, 8, nullptr, nullptr); }, ERROR_INVALID_FLAGS},
    };
    for (const Case& c : cases) {
        SetLastError(0);
        EXPECT_EQ(c.call(), 0) << c.what;
        EXPECT_EQ(GetLastError(), c.error) << c.what;
    }
    EXPECT_EQ(WideCharToMultiByte(1252, WC_NO_BEST_FIT_CHARS | WC_COMPOSITECHECK, u"abc", 3, narrow, 8, nullptr, nullptr), 3);
    EXPECT_EQ(MultiByteToWideChar(1252, MB_PRECOMPOSED | MB_USEGLYPHCHARS, "abc", 3, wide, 8), 3);
    // Only the length asked for: nothing is written, so the output may be the input.
    EXPECT_EQ(MultiByteToWideChar(1252, 0, sharedBytes, 3, shared, 0), 3);
    EXPECT_EQ(WideCharToMultiByte(1252, 0, shared, 3, sharedBytes, 0, nullptr, nullptr), 3);
    EXPECT_FALSE(IsValidCodePage(12345));
    EXPECT_FALSE(IsValidCodePage(CP_ACP));
}

TEST(KernelCodePage, AnsiCodePageIsAPlatformSetting) {
    EXPECT_EQ(GetACP(), 1252u);
    EXPECT_EQ(GetOEMCP(), 437u);
    EXPECT_EQ(ToWide(CP_ACP, "\x80"), u"€");
    ASSERT_TRUE(platform::testing::SetAnsiCodePage(1251));
    EXPECT_EQ(GetACP(), 1251u);
    EXPECT_EQ(ToWide(CP_ACP, "\xCF\xF0\xE8"), u"При");
    EXPECT_EQ(ToWide(CP_THREAD_ACP, "\xCF\xF0\xE8"), u"При");
    EXPECT_EQ(ToBytes(CP_ACP, u"При"), "\xCF\xF0\xE8");

    EXPECT_FALSE(platform::kernel::SetAnsiCodePage(12345));
    EXPECT_FALSE(platform::kernel::SetAnsiCodePage(CP_ACP));
    EXPECT_FALSE(platform::kernel::SetAnsiCodePage(CP_UTF7));
    EXPECT_EQ(GetACP(), 1251u) << "a refused code page changes nothing";
    ASSERT_TRUE(platform::kernel::SetAnsiCodePage(932));
    EXPECT_EQ(ToWide(CP_ACP, "\x93\xFA"), u"日");

    platform::testing::ResetAll();
    EXPECT_EQ(GetACP(), 1252u) << "the reset hook restores the default";
}

TEST(KernelCodePage, ConsultsFaults) {
    WCHAR wide[8];
    char narrow[8];
    platform::testing::FailNthCall("MultiByteToWideChar", 1, HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, wide, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(MultiByteToWideChar(1252, 0, "a", 1, wide, 8), 1);
    platform::testing::FailNthCall("WideCharToMultiByte", 1, 0);
    SetLastError(99);
    EXPECT_EQ(WideCharToMultiByte(1252, 0, u"a", 1, narrow, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), 0u);
}

TEST(KernelCodePage, ThreadsConvertConcurrently) {
    std::vector<std::thread> threads;
    std::atomic<int> mismatches{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const RoundTrip& c = kRoundTrips[(t * 7 + i) % std::size(kRoundTrips)];
                if (ToWide(c.codePage, c.bytes) != c.text || ToBytes(c.codePage, c.text) != c.bytes) ++mismatches;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(mismatches.load(), 0);
}

}  // namespace
