// File names between Linux and the UTF-16 that Windows callers see: the one mapping every
// service uses for paths (files, folders, libraries, the environment's folders).
//
// A Linux name is any bytes; a caller's name is UTF-16. Every Linux name maps to UTF-16 and back
// to the same bytes: its well-formed UTF-8 becomes the characters it encodes, and each byte that
// is not part of well-formed UTF-8 becomes the lone surrogate U+DC80..U+DCFF whose low byte it
// is (the surrogate escapes Python uses for such names). A UTF-16 name maps to bytes only when
// it is what some Linux name maps to, so two different UTF-16 names never name one file: an
// unpaired surrogate outside U+DC80..U+DCFF names nothing, and neither do escapes whose bytes
// would read as UTF-8 (U+DCC3 U+DCA9 would be the bytes C3 A9, which are "é").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::names {

namespace detail {

// The length of the well-formed UTF-8 sequence at text[at], 0 when none starts there, with its
// code point.
inline size_t Utf8SequenceAt(std::string_view text, size_t at, char32_t* code) {
    auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    if (lead < 0x80) {
        *code = lead;
        return 1;
    }
    size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;   // no overlong forms
        if (lead == 0xED) high = 0x9F;  // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;  // nothing past U+10FFFF
    } else {
        return 0;
    }
    if (text.size() - at < length) return 0;
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    char32_t value = lead & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) {
        const unsigned char next = byte(at + i);
        if ((next & 0xC0) != 0x80) return 0;
        value = (value << 6) | (next & 0x3F);
    }
    *code = value;
    return length;
}

}  // namespace detail

// The length of the well-formed UTF-8 sequence at text[at]; 0 when none starts there, that is
// where the mapping escapes the byte.
inline size_t Utf8SequenceLength(std::string_view text, size_t at) {
    char32_t code = 0;
    return detail::Utf8SequenceAt(text, at, &code);
}

// Appends the UTF-8 bytes of `c` (below U+110000); a lone surrogate takes the three bytes it
// would have as a character.
inline void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

// The UTF-16 form of a Linux name; every name has one.
inline std::u16string FromNative(std::string_view bytes) {
    std::u16string wide;
    wide.reserve(bytes.size());
    for (size_t at = 0; at < bytes.size();) {
        char32_t code = 0;
        const size_t length = detail::Utf8SequenceAt(bytes, at, &code);
        if (length == 0) {
            wide.push_back(static_cast<char16_t>(0xDC00 + static_cast<unsigned char>(bytes[at])));
            ++at;
            continue;
        }
        at += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            wide.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
            wide.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
        } else {
            wide.push_back(static_cast<char16_t>(code));
        }
    }
    return wide;
}

// The Linux name of a UTF-16 name; false (and `bytes` empty) when no Linux name maps to it.
inline bool ToNative(std::u16string_view wide, std::string& bytes) {
    // Most names are ASCII throughout, or for a long way: that part is copied as it is.
    size_t ascii = 0;
    while (ascii < wide.size() && wide[ascii] < 0x80) ++ascii;
    bytes.resize(ascii);
    for (size_t i = 0; i < ascii; ++i) bytes[i] = static_cast<char>(wide[i]);
    if (ascii == wide.size()) return true;
    bytes.reserve(ascii + (wide.size() - ascii) * 3);
    bool escapes = false;
    for (size_t i = ascii; i < wide.size(); ++i) {
        char32_t c = wide[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() && wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (wide[i + 1] - 0xDC00u);
            ++i;
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            bytes.push_back(static_cast<char>(c - 0xDC00));
            escapes = true;
            continue;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            bytes.clear();
            return false;
        }
        AppendUtf8(bytes, c);
    }
    // Escaped bytes stand for themselves only where they do not read as UTF-8 (alone, or beside
    // the bytes around them).
    if (escapes && FromNative(bytes) != wide) {
        bytes.clear();
        return false;
    }
    return true;
}

}  // namespace platform::names
