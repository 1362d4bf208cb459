// UTF-8 for the terminal, UTF-16 for the platform, and the card's dates as text.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include <windows.h>
#include <oleauto.h>

#include "base/native_name.h"
#include "wide_string.h"

namespace cardhost {

// The platform's UTF-8 conversion: unpaired surrogates become U+FFFD, so the result is always
// valid UTF-8.
inline std::string ToUtf8(const WCHAR* text, size_t length) {
    if (length == 0) return std::string();
    const int units = static_cast<int>(length);
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0) WideCharToMultiByte(CP_UTF8, 0, text, units, out.data(), bytes, nullptr, nullptr);
    return out;
}
inline std::string ToUtf8(const WString& text) { return ToUtf8(text.data(), text.size()); }
inline std::string BstrToUtf8(BSTR text) { return text ? ToUtf8(text, SysStringLen(text)) : std::string(); }

// Whether a byte is part of well-formed UTF-8 is what the platform's file-name mapping decides.
using platform::names::Utf8SequenceLength;

inline bool IsWellFormedUtf8(const std::string& text) {
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8SequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

// Text that may not be UTF-8 (a Linux file name, say) as UTF-8 to show: each byte that is not
// part of well-formed UTF-8 becomes U+FFFD.
inline std::string ShownText(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8SequenceLength(text, at);
        if (length == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        out.append(text, at, length);
        at += length;
    }
    return out;
}

// Invalid sequences become U+FFFD.
inline WString ToUtf16(const std::string& text) {
    if (text.empty()) return WString();
    const int bytes = static_cast<int>(text.size());
    int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
    WString out(static_cast<size_t>(units > 0 ? units : 0), WCHAR('\0'));
    if (units > 0) MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, out.data(), units);
    return out;
}

// "YYYY-MM-DDTHH:MM:SS"; empty when the date cannot be converted. (Written digit by digit:
// a card has four dates, a scan thousands of cards.)
inline std::string FormatDate(DATE date) {
    SYSTEMTIME t{};
    if (!VariantTimeToSystemTime(date, &t)) return {};
    if (t.wYear > 9999) {
        char text[64];
        std::snprintf(text, sizeof text, "%04u-%02u-%02uT%02u:%02u:%02u", t.wYear, t.wMonth, t.wDay, t.wHour,
                      t.wMinute, t.wSecond);
        return text;
    }
    std::string text = "0000-00-00T00:00:00";
    auto put = [&](size_t at, unsigned value, int digits) {
        for (int i = digits - 1; i >= 0; --i, value /= 10) text[at + size_t(i)] = char('0' + value % 10);
    };
    put(0, t.wYear, 4);
    put(5, t.wMonth, 2);
    put(8, t.wDay, 2);
    put(11, t.wHour, 2);
    put(14, t.wMinute, 2);
    put(17, t.wSecond, 2);
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
