// The file-name mapping against a plain model of UTF-8 (a sequence is well-formed exactly when
// it is the shortest encoding of a scalar value), on every name of up to two bytes and on seeded
// random names built from the pieces that matter: ASCII, every length of UTF-8, surrogates,
// overlong forms, stray continuation bytes and cut sequences.
#include "base/native_name.h"

#include "base/utf.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using platform::names::FromNative;
using platform::names::ToNative;

// ---- The model -------------------------------------------------------------------------------

bool IsScalar(char32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// The UTF-16 units of a scalar value.
std::u16string Units(char32_t c) {
    if (c < 0x10000) return std::u16string(1, static_cast<char16_t>(c));
    return {static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)), static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF))};
}

// The UTF-8 of a scalar value, from the platform's UTF-8 encoder, which the mapping under test
// does not use.
std::string EncodeScalar(char32_t c) { return platform::utf::ToUtf8(Units(c)); }

// Reads the n bytes at `at` with the bit pattern of their lead, whatever they hold; accepted only
// when encoding the value again gives the same bytes.
std::u16string ModelFromNative(const std::string& bytes) {
    std::u16string out;
    for (size_t at = 0; at < bytes.size();) {
        bool taken = false;
        for (size_t n = 1; n <= 4 && at + n <= bytes.size() && !taken; ++n) {
            const auto lead = static_cast<unsigned char>(bytes[at]);
            char32_t value = n == 1 ? lead : lead & ((1u << (7 - n)) - 1);
            for (size_t k = 1; k < n; ++k) value = (value << 6) | (static_cast<unsigned char>(bytes[at + k]) & 0x3F);
            if (!IsScalar(value) || EncodeScalar(value) != bytes.substr(at, n)) continue;
            out += Units(value);
            at += n;
            taken = true;
        }
        if (!taken) out += static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[at++]));
    }
    return out;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char part[4];
    for (unsigned char c : bytes) {
        std::snprintf(part, sizeof part, "%02x ", c);
        out += part;
    }
    return out;
}

// A random name from the pieces where UTF-8 goes wrong.
std::string RandomName(std::mt19937& random) {
    static const std::vector<std::string> pieces = {
        "a", "/", ".", " ", "\x7F", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xF4\x8F\xBF\xBF",
        "\xED\x9F\xBF", "\xEE\x80\x80",
        "\xED\xA0\x80", "\xED\xBF\xBF",  // surrogates encoded
        "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF", "\xE0\x9F\xBF", "\xF0\x8F\xBF\xBF",  // overlong
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8", "\xFF", "\xFE",  // past U+10FFFF, never leads
        "\x80", "\xBF", "\xC3", "\xE2\x82", "\xF0\x9F\x98",  // stray continuations, cut sequences
    };
    std::string name;
    const int count = std::uniform_int_distribution<int>(0, 12)(random);
    for (int i = 0; i < count; ++i) {
        if (random() % 4 == 0) name += static_cast<char>(std::uniform_int_distribution<int>(1, 255)(random));
        else name += pieces[random() % pieces.size()];
    }
    return name;
}

// A random UTF-16 name: characters, pairs, escapes and unpaired surrogates of every kind.
std::u16string RandomWide(std::mt19937& random) {
    std::u16string name;
    const int count = std::uniform_int_distribution<int>(0, 10)(random);
    for (int i = 0; i < count; ++i) {
        switch (random() % 6) {
        case 0: name += static_cast<char16_t>(u'a' + random() % 26); break;
        case 1: name += static_cast<char16_t>(std::uniform_int_distribution<int>(0x80, 0xD7FF)(random)); break;
        case 2: name += u"\xD83D\xDE00"; break;
        case 3: name += static_cast<char16_t>(std::uniform_int_distribution<int>(0xDC80, 0xDCFF)(random)); break;
        case 4: name += static_cast<char16_t>(std::uniform_int_distribution<int>(0xD800, 0xDFFF)(random)); break;
        default: name += static_cast<char16_t>(std::uniform_int_distribution<int>(0xE000, 0xFFFF)(random)); break;
        }
    }
    return name;
}

// ---- Tests -----------------------------------------------------------------------------------

TEST(NativeName, NamesThatAreNotUtf8MapToEscapesAndBack) {
    const std::string name = "\xFF\xFE invalid.msg";
    EXPECT_EQ(FromNative(name), u"\xDCFF\xDCFE invalid.msg");
    std::string back;
    ASSERT_TRUE(ToNative(u"\xDCFF\xDCFE invalid.msg", back));
    EXPECT_EQ(back, name);
    EXPECT_EQ(FromNative("caf\xC3\xA9 \xF0\x9F\x98\x80"), u"caf\u00E9 \U0001F600");
    EXPECT_EQ(FromNative("\xED\xA0\x80"), u"\xDCED\xDCA0\xDC80") << "an encoded surrogate is three bytes";
    EXPECT_EQ(FromNative("\xC0\xAF"), u"\xDCC0\xDCAF") << "an overlong slash is no slash";
}

TEST(NativeName, UnpairedSurrogatesAndFalseEscapesNameNothing) {
    std::string bytes = "left over";
    EXPECT_FALSE(ToNative(u"a\xD800", bytes));
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(ToNative(u"\xDC7F", bytes)) << "an escape stands for a byte of 0x80 or more";
    EXPECT_FALSE(ToNative(u"\xDBFF.txt", bytes));
    EXPECT_FALSE(ToNative(u"\xDCC3\xDCA9", bytes)) << "the bytes C3 A9 are the name \u00E9";
    EXPECT_FALSE(ToNative(u"\xDCF0\xDC9F\xDC98\xDC80", bytes));
    EXPECT_TRUE(ToNative(u"\xDCC3 \xDCA9", bytes));
    EXPECT_EQ(bytes, "\xC3 \xA9");
}

TEST(NativeName, EveryNameOfUpToTwoBytesAgreesWithTheModelAndComesBack) {
    for (int first = 1; first < 256; ++first) {
        for (int second = 0; second < 256; ++second) {
            std::string name(1, static_cast<char>(first));
            if (second) name += static_cast<char>(second);
            const std::u16string wide = FromNative(name);
            ASSERT_EQ(wide, ModelFromNative(name)) << Hex(name);
            std::string back;
            ASSERT_TRUE(ToNative(wide, back)) << Hex(name);
            ASSERT_EQ(back, name);
        }
    }
}

TEST(NativeName, RandomNamesAgreeWithTheModelAndComeBack) {
    std::mt19937 random(20240611);
    for (int i = 0; i < 200000; ++i) {
        const std::string name = RandomName(random);
        const std::u16string wide = FromNative(name);
        ASSERT_EQ(wide, ModelFromNative(name)) << Hex(name);
        std::string back;
        ASSERT_TRUE(ToNative(wide, back)) << Hex(name);
        ASSERT_EQ(back, name) << Hex(name);
    }
}

TEST(NativeName, RandomWideNamesMapExactlyWhenSomeLinuxNameMapsToThem) {
    std::mt19937 random(4242);
    unsigned refused = 0, mapped = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::u16string wide = RandomWide(random);
        // The bytes each unit would give; the name maps when those bytes map back to it.
        std::string naive;
        bool unpaired = false;
        for (size_t k = 0; k < wide.size(); ++k) {
            const char16_t c = wide[k];
            if (c >= 0xD800 && c <= 0xDBFF && k + 1 < wide.size() && wide[k + 1] >= 0xDC00 && wide[k + 1] <= 0xDFFF) {
                naive += EncodeScalar(0x10000 + ((c - 0xD800u) << 10) + (wide[k + 1] - 0xDC00u));
                ++k;
            } else if (c >= 0xDC80 && c <= 0xDCFF) {
                naive += static_cast<char>(c - 0xDC00);
            } else if (c >= 0xD800 && c <= 0xDFFF) {
                unpaired = true;
            } else {
                naive += EncodeScalar(c);
            }
        }
        const bool expected = !unpaired && ModelFromNative(naive) == wide;
        std::string bytes;
        ASSERT_EQ(ToNative(wide, bytes), expected) << Hex(naive);
        if (expected) {
            ASSERT_EQ(bytes, naive);
            ++mapped;
        } else {
            ASSERT_TRUE(bytes.empty());
            ++refused;
        }
    }
    // Both outcomes were met often.
    EXPECT_GT(mapped, 20000u);
    EXPECT_GT(refused, 20000u);
}

}  // namespace
