// The card of one file as cardhost shows it, and its JSON line written straight into text (the
// same text the JSON library would write, without building its document first: bodies can be
// long, and a scan writes a line for every file).
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include <windows.h>

#include "results.h"

namespace cardhost {

// One variable as read: whether it was found, its VARIANT type and its value.
struct CardValue {
    enum class Kind { Null, String, Integer, Real, Boolean };
    bool found = false;
    const char* type = "VT_EMPTY";
    Kind kind = Kind::Null;
    std::string text;  // String: UTF-8
    long long integer = 0;
    double real = 0;
    bool boolean = false;
};

// The card of one file; values[i] belongs to names[i].
struct Card {
    HRESULT result = S_OK;
    std::string reason;  // why the file could not be opened, when the host can tell (UTF-8)
    std::vector<std::string> names;
    std::vector<CardValue> values;

    // The value of a name asked for more than once is the last one read.
    const CardValue& Latest(const std::string& name) const {
        for (size_t i = names.size(); i-- > 0;)
            if (names[i] == name) return values[i];
        static const CardValue none;
        return none;
    }
};

// Appends `text` (valid UTF-8) as a JSON string.
inline void AppendJsonString(std::string& out, const std::string& text) {
    static const char digits[] = "0123456789abcdef";
    out.push_back('"');
    size_t clean = 0;  // start of the run not yet copied
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, clean, i - clean);
        clean = i + 1;
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            out += "\\u00";
            out.push_back(digits[c >> 4]);
            out.push_back(digits[c & 15]);
            break;
        }
    }
    out.append(text, clean, std::string::npos);
    out.push_back('"');
}

// A value that is not a string, as JSON text.
inline std::string ValueText(const CardValue& value) {
    switch (value.kind) {
    case CardValue::Kind::String: return value.text;
    case CardValue::Kind::Integer: return std::to_string(value.integer);
    case CardValue::Kind::Real: return nlohmann::json(value.real).dump();  // the library's number format
    case CardValue::Kind::Boolean: return value.boolean ? "true" : "false";
    case CardValue::Kind::Null: break;
    }
    return "null";
}

inline void AppendJsonValue(std::string& out, const CardValue& value) {
    if (value.kind == CardValue::Kind::String) AppendJsonString(out, value.text);
    else out += ValueText(value);
}

// {"file":...,"result":...,"error":...[,"reason":...]} or {"file":...,"result":...,"variables":
// {NAME:{"found":..,"type":..,"value":..},...}}: each name once, where it was first asked for.
// `file` is the name as shown (UTF-8); a name that is not UTF-8 has "file_bytes" after it, the
// name as the system stores it in hex (`storedHex`, empty for other names).
inline std::string CardJsonLine(const std::string& file, const std::string& storedHex, const Card& card) {
    size_t expected = 256 + file.size() + storedHex.size() + card.reason.size();
    for (const CardValue& value : card.values) expected += value.text.size() + 64;
    std::string out;
    out.reserve(expected);
    out += "{\"file\":";
    AppendJsonString(out, file);
    if (!storedHex.empty()) {
        out += ",\"file_bytes\":";
        AppendJsonString(out, storedHex);
    }
    out += ",\"result\":";
    AppendJsonString(out, HexCode(card.result));
    if (FAILED(card.result)) {
        out += ",\"error\":";
        AppendJsonString(out, ResultName(card.result).empty() ? HexCode(card.result) : ResultName(card.result));
        if (!card.reason.empty()) {
            out += ",\"reason\":";
            AppendJsonString(out, card.reason);
        }
        out += '}';
        return out;
    }
    out += ",\"variables\":{";
    bool first = true;
    for (size_t i = 0; i < card.names.size(); ++i) {
        bool seen = false;
        for (size_t k = 0; k < i && !seen; ++k) seen = card.names[k] == card.names[i];
        if (seen) continue;
        const CardValue& value = card.Latest(card.names[i]);
        if (!first) out += ',';
        first = false;
        AppendJsonString(out, card.names[i]);
        out += ":{\"found\":";
        out += value.found ? "true" : "false";
        out += ",\"type\":";
        AppendJsonString(out, value.type);
        out += ",\"value\":";
        if (value.found) AppendJsonValue(out, value);
        else out += "null";
        out += '}';
    }
    out += "}}";
    return out;
}

}  // namespace cardhost
