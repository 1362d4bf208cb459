// UTF-8 for the terminal, UTF-16 for the platform, and the card's dates as text.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include <windows.h>

namespace cardhost {

// Unpaired surrogates become U+FFFD, so the result is always valid UTF-8.
inline std::string ToUtf8(const char16_t* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        char32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}
inline std::string ToUtf8(const std::u16string& text) { return ToUtf8(text.data(), text.size()); }
inline std::string BstrToUtf8(BSTR text) { return text ? ToUtf8(text, SysStringLen(text)) : std::string(); }

// Invalid sequences become U+FFFD.
inline std::u16string ToUtf16(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        size_t extra = lead < 0x80 ? 0 : (lead >> 5) == 6 ? 1 : (lead >> 4) == 14 ? 2 : (lead >> 3) == 30 ? 3 : 4;
        char32_t c = extra == 0 ? lead : (lead & (0x3F >> extra));
        bool ok = extra < 4 && i + extra < text.size();
        for (size_t k = 1; ok && k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            c = (c << 6) | (next & 0x3F);
        }
        if (!ok || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
            c = 0xFFFD;
            extra = 0;  // resynchronise on the next byte
        }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

// "YYYY-MM-DDTHH:MM:SS"; empty when the date cannot be converted.
inline std::string FormatDate(DATE date) {
    SYSTEMTIME t{};
    if (!VariantTimeToSystemTime(date, &t)) return {};
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute,
                  t.wSecond);
    return text;
}

inline std::string FormatSystemTime(const SYSTEMTIME& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u.%03u", t.wYear, t.wMonth, t.wDay, t.wHour,
                  t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

// Reads "YYYY-MM-DD", "YYYY-MM-DDTHH:MM" or "YYYY-MM-DDTHH:MM:SS" (or a space for the T).
inline std::optional<DATE> ParseDate(const std::string& text) {
    unsigned year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    char separator = 'T';
    int consumed = 0;
    int fields = std::sscanf(text.c_str(), "%4u-%2u-%2u%n", &year, &month, &day, &consumed);
    if (fields != 3) return std::nullopt;
    std::string rest = text.substr(static_cast<size_t>(consumed));
    if (!rest.empty()) {
        int used = 0;
        int timeFields = std::sscanf(rest.c_str(), "%c%2u:%2u%n", &separator, &hour, &minute, &used);
        if (timeFields != 3 || (separator != 'T' && separator != ' ')) return std::nullopt;
        std::string seconds = rest.substr(static_cast<size_t>(used));
        if (!seconds.empty()) {
            int usedSeconds = 0;
            if (std::sscanf(seconds.c_str(), ":%2u%n", &second, &usedSeconds) != 1 ||
                static_cast<size_t>(usedSeconds) != seconds.size())
                return std::nullopt;
        }
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;
    SYSTEMTIME t{};
    t.wYear = static_cast<WORD>(year);
    t.wMonth = static_cast<WORD>(month);
    t.wDay = static_cast<WORD>(day);
    t.wHour = static_cast<WORD>(hour);
    t.wMinute = static_cast<WORD>(minute);
    t.wSecond = static_cast<WORD>(second);
    DATE date = 0;
    if (!SystemTimeToVariantTime(&t, &date)) return std::nullopt;
    if (FormatDate(date).substr(0, 10) != text.substr(0, 10)) return std::nullopt;  // 2026-02-31 and the like
    return date;
}

}  // namespace cardhost
