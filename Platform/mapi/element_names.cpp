// The names of a message's elements.
#include "mapi/element_names.h"

#include <cstring>

namespace platform::mapi {

namespace {

constexpr WCHAR kDigits[] = OLESTR("0123456789ABCDEF");

// Writes `prefix` then the 8 hexadecimal digits of `value`; returns where it ended.
WCHAR* PutNumbered(WCHAR* out, const char* prefix, ULONG value) {
    for (; *prefix; ++prefix) *out++ = WCHAR(*prefix);
    for (int i = 7; i >= 0; --i) *out++ = kDigits[(value >> (4 * i)) & 0xF];
    *out = 0;
    return out;
}

// A hexadecimal digit's value in either case; -1 for any other character.
int HexDigit(WCHAR c) {
    if (c >= WCHAR('0') && c <= WCHAR('9')) return c - WCHAR('0');
    if (c >= WCHAR('A') && c <= WCHAR('F')) return c - WCHAR('A') + 10;
    if (c >= WCHAR('a') && c <= WCHAR('f')) return c - WCHAR('a') + 10;
    return -1;
}

// The 8 hexadecimal digits at `digits`, which end the name.
bool ParseEightDigits(const WCHAR* digits, ULONG& number) {
    ULONG value = 0;
    for (size_t i = 0; i < 8; ++i) {
        const int digit = HexDigit(digits[i]);
        if (digit < 0) return false;
        value = (value << 4) | static_cast<ULONG>(digit);
    }
    if (digits[8] != 0) return false;
    number = value;
    return true;
}

}  // namespace

ElementName ValueStreamName(ULONG tag) {
    ElementName name;
    PutNumbered(name.text, "__substg1.0_", tag);
    return name;
}

ElementName IndexStreamName(ULONG tag, ULONG index) {
    ElementName name;
    WCHAR* end = PutNumbered(name.text, "__substg1.0_", tag);
    PutNumbered(end, "-", index);
    return name;
}

ElementName AttachStorageName(ULONG number) {
    ElementName name;
    PutNumbered(name.text, kAttachPrefix, number);
    return name;
}

ElementName RecipientStorageName(ULONG number) {
    ElementName name;
    PutNumbered(name.text, kRecipPrefix, number);
    return name;
}

bool ParseNumbered(const WCHAR* name, const char* prefix, ULONG& number) {
    const size_t n = std::strlen(prefix);
    for (size_t i = 0; i < n; ++i)
        if (name[i] != WCHAR(static_cast<unsigned char>(prefix[i]))) return false;
    return ParseEightDigits(name + n, number);
}

bool ValueStreamTag(const WCHAR* name, ULONG& tag) {
    static constexpr WCHAR kPrefix[] = OLESTR("__substg1.0_");
    auto upper = [](WCHAR c) { return c >= WCHAR('a') && c <= WCHAR('z') ? WCHAR(c - 0x20) : c; };
    if (std::memcmp(name, kPrefix, 12 * sizeof(WCHAR)) != 0) {
        for (size_t i = 0; i < 12; ++i)
            if (upper(name[i]) != upper(kPrefix[i])) return false;
    }
    return ParseEightDigits(name + 12, tag);
}

}  // namespace platform::mapi
