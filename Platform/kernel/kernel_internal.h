// Helpers shared by the kernel service's sources (not part of the Windows API).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/wintypes.h"

namespace platform::kernel::detail {

// Decodes UTF-8, handing each UTF-16 unit to put(char16_t). Each ill-formed sequence (a
// maximal invalid subpart) becomes U+FFFD; returns whether the input was well formed.
template <typename Put>
bool DecodeUtf8(const unsigned char* p, size_t size, Put&& put) {
    const unsigned char* end = p + size;
    bool wellFormed = true;
    while (p < end) {
        const unsigned char lead = *p;
        if (lead < 0x80) {
            put(static_cast<char16_t>(lead));
            ++p;
            continue;
        }
        int length = 0;
        char32_t cp = 0;
        unsigned char low = 0x80, high = 0xBF;  // allowed range of the second byte
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2, cp = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3, cp = lead & 0x0F;
            if (lead == 0xE0) low = 0xA0;   // no overlong forms
            if (lead == 0xED) high = 0x9F;  // no surrogates
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4, cp = lead & 0x07;
            if (lead == 0xF0) low = 0x90;
            if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
        } else {
            put(char16_t{0xFFFD});
            wellFormed = false;
            ++p;
            continue;
        }
        int taken = 1;
        for (; taken < length; ++taken) {
            if (p + taken >= end) break;
            const unsigned char next = p[taken];
            if (next < (taken == 1 ? low : 0x80) || next > (taken == 1 ? high : 0xBF)) break;
            cp = (cp << 6) | (next & 0x3F);
        }
        p += taken;
        if (taken < length) {
            put(char16_t{0xFFFD});
            wellFormed = false;
        } else if (cp >= 0x10000) {
            cp -= 0x10000;
            put(static_cast<char16_t>(0xD800 + (cp >> 10)));
            put(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            put(static_cast<char16_t>(cp));
        }
    }
    return wellFormed;
}

// Encodes UTF-16 as UTF-8, handing each byte to put(char). An unpaired surrogate becomes
// U+FFFD; returns whether there was none.
template <typename Put>
bool EncodeUtf8(const char16_t* units, size_t count, Put&& put) {
    bool wellFormed = true;
    for (size_t i = 0; i < count; ++i) {
        char32_t cp = units[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (units[i + 1] - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
            wellFormed = false;
        }
        if (cp < 0x80) {
            put(static_cast<char>(cp));
        } else if (cp < 0x800) {
            put(static_cast<char>(0xC0 | (cp >> 6)));
            put(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            put(static_cast<char>(0xE0 | (cp >> 12)));
            put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            put(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            put(static_cast<char>(0xF0 | (cp >> 18)));
            put(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            put(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            put(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return wellFormed;
}

}  // namespace platform::kernel::detail
