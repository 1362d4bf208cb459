// The card's JSON line, written straight into text, against the JSON library's own writing of
// the same document: the same text for every kind of value, every character that needs an
// escape, and names asked for more than once.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <random>
#include <vector>

#include "base/native_name.h"
#include "card_json.h"
#include "text.h"

namespace {

using cardhost::Card;
using cardhost::CardValue;
using json = nlohmann::ordered_json;

// The line as the JSON library writes it (the document the host used to build).
std::string LibraryLine(const std::string& file, const std::string& storedHex, const Card& card) {
    json line = {{"file", file}};
    if (!storedHex.empty()) line["file_bytes"] = storedHex;
    line["result"] = cardhost::HexCode(card.result);
    if (FAILED(card.result)) {
        line["error"] = cardhost::ResultName(card.result).empty() ? cardhost::HexCode(card.result)
                                                                 : cardhost::ResultName(card.result);
        if (!card.reason.empty()) line["reason"] = card.reason;
        return line.dump();
    }
    json variables = json::object();
    for (size_t i = 0; i < card.names.size(); ++i) {
        const CardValue& v = card.values[i];
        json value = nullptr;
        if (v.found) {
            switch (v.kind) {
            case CardValue::Kind::String: value = v.text; break;
            case CardValue::Kind::Integer: value = v.integer; break;
            case CardValue::Kind::Real: value = v.real; break;
            case CardValue::Kind::Boolean: value = v.boolean; break;
            case CardValue::Kind::Null: break;
            }
        }
        variables[card.names[i]] = json{{"found", v.found}, {"type", v.type}, {"value", value}};
    }
    line["variables"] = variables;
    return line.dump();
}

CardValue Text(std::string text) {
    CardValue v;
    v.found = true;
    v.type = "VT_BSTR";
    v.kind = CardValue::Kind::String;
    v.text = std::move(text);
    return v;
}

}  // namespace

TEST(CardJson, SameTextAsTheJsonLibrary) {
    std::string every;  // every byte below 0x80, then characters of two, three and four bytes
    for (int c = 1; c < 0x80; ++c) every.push_back(char(c));
    every += "\xC3\xA9 \xE2\x80\x93 \xF0\x9F\x93\xA7 \"quoted\" back\\slash";
    Card card;
    card.names = {"SUBJECT", "BODY", "COUNT", "REAL", "FLAG", "EMPTY", "MISSING", "DATE", "SUBJECT"};
    card.values = {Text("first"), Text(every), {}, {}, {}, {}, {}, Text("2026-03-14T09:26:53"), Text("second")};
    card.values[2] = {true, "VT_I4", CardValue::Kind::Integer, "", -2147483647 - 1, 0, false};
    card.values[3] = {true, "VT_R8", CardValue::Kind::Real, "", 0, 0.1, false};
    card.values[4] = {true, "VT_BOOL", CardValue::Kind::Boolean, "", 0, 0, true};
    card.values[5] = {true, "VT_OTHER", CardValue::Kind::Null, "", 0, 0, false};
    card.values[6].type = "VT_I4";  // not found: no value, whatever the record held
    for (const std::string& file : {std::string("/tmp/a b/\"x\".msg"), std::string("/tmp/\xC3\xA9t\xC3\xA9.msg")})
        for (const std::string& hex : {std::string(), std::string("ff")})
            EXPECT_EQ(cardhost::CardJsonLine(file, hex, card), LibraryLine(file, hex, card));
    for (double real : {1.0, -0.5, 1e21, 1e-7, 123456.789, 3.0e-310, 45000.25})
        for (bool found : {true, false}) {
            card.values[3].real = real;
            card.values[3].found = found;
            EXPECT_EQ(cardhost::CardJsonLine("f", "", card), LibraryLine("f", "", card)) << real;
        }
    EXPECT_EQ(cardhost::CardJsonLine("f", "", Card{}), LibraryLine("f", "", Card{}));
    Card failed;
    failed.result = E_MSG_FILE_LOCKED;
    EXPECT_EQ(cardhost::CardJsonLine("f", "", failed), LibraryLine("f", "", failed));
    failed.result = static_cast<HRESULT>(0x80001234);
    EXPECT_EQ(cardhost::CardJsonLine("f", "", failed), LibraryLine("f", "", failed));
    failed.reason = "not a compound file: \"quoted\"\n";
    EXPECT_EQ(cardhost::CardJsonLine("\xEF\xBF\xBD.msg", "ff2e6d7367", failed),
              LibraryLine("\xEF\xBF\xBD.msg", "ff2e6d7367", failed));
}

// Text shown for a name that need not be UTF-8, against the platform's mapping of names: a byte
// it escapes is a byte that is shown as U+FFFD.
TEST(CardText, NamesAreShownAsUtf8WithEachStrayByteReplaced) {
    EXPECT_EQ(cardhost::ShownText("\xFF\xFE invalid.msg"), "\xEF\xBF\xBD\xEF\xBF\xBD invalid.msg");
    EXPECT_FALSE(cardhost::IsWellFormedUtf8("\xFF\xFE invalid.msg"));
    EXPECT_TRUE(cardhost::IsWellFormedUtf8("caf\xC3\xA9 \xF0\x9F\x98\x80"));
    std::mt19937 random(77);
    const std::vector<std::string> pieces = {"a", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\xA0\x80",
                                             "\xC0\xAF", "\xF4\x90\x80\x80", "\x80", "\xC3", "\xE2\x82", "\xFF"};
    for (int i = 0; i < 50000; ++i) {
        std::string name;
        for (int k = static_cast<int>(random() % 10); k > 0; --k) {
            if (random() % 4 == 0) name += static_cast<char>(1 + random() % 255);
            else name += pieces[random() % pieces.size()];
        }
        std::u16string wide = platform::names::FromNative(name);
        bool escaped = false;
        for (char16_t& c : wide) {
            if (c >= 0xDC80 && c <= 0xDCFF) {
                c = 0xFFFD;
                escaped = true;
            }
        }
        std::string expected;
        ASSERT_TRUE(platform::names::ToNative(wide, expected));
        ASSERT_EQ(cardhost::ShownText(name), expected);
        ASSERT_EQ(cardhost::IsWellFormedUtf8(name), !escaped);
    }
}

TEST(CardText, DatesAsTheFormatWouldWriteThem) {
    for (DATE date : {-657434.0, -1.5, 0.0, 0.75, 36526.999988, 45730.3936689815, 2958465.99998843}) {
        SYSTEMTIME t{};
        ASSERT_TRUE(VariantTimeToSystemTime(date, &t)) << date;
        char expected[64];
        std::snprintf(expected, sizeof expected, "%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond);
        EXPECT_EQ(cardhost::FormatDate(date), expected) << date;
    }
    EXPECT_EQ(cardhost::FormatDate(1e12), "");  // beyond the dates VARIANTs hold
}
