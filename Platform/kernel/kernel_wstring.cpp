// Wide-string helpers: lengths, copies, case folding, comparisons and the integer parsers.
#include <climits>

#include "base/fault.h"
#include "kernel/winbase.h"

namespace platform::kernel {

WCHAR ToLowerWide(WCHAR c) noexcept {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<WCHAR>(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<WCHAR>(c + 32);  // Latin-1
    if (c >= 0x100 && c <= 0x17F) {                                             // Latin Extended-A
        if (c == 0x130) return u'i';
        if (c == 0x178) return 0xFF;
        if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
            return (c % 2 == 0) ? static_cast<WCHAR>(c + 1) : c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
            return (c % 2 == 1) ? static_cast<WCHAR>(c + 1) : c;
        return c;
    }
    if (c >= 0x386 && c <= 0x3AB) {  // Greek
        if (c == 0x386) return 0x3AC;
        if (c >= 0x388 && c <= 0x38A) return static_cast<WCHAR>(c + 37);
        if (c == 0x38C) return 0x3CC;
        if (c == 0x38E || c == 0x38F) return static_cast<WCHAR>(c + 63);
        if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<WCHAR>(c + 32);
        return c;
    }
    if (c >= 0x400 && c <= 0x40F) return static_cast<WCHAR>(c + 80);  // Cyrillic
    if (c >= 0x410 && c <= 0x42F) return static_cast<WCHAR>(c + 32);
    if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<WCHAR>(c + 32);  // full-width Latin
    return c;
}

WCHAR ToUpperWide(WCHAR c) noexcept {
    if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<WCHAR>(c - 32) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<WCHAR>(c - 32);
    if (c == 0xFF) return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x131) return u'I';
        if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177))
            return (c % 2 == 1) ? static_cast<WCHAR>(c - 1) : c;
        if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E))
            return (c % 2 == 0) ? static_cast<WCHAR>(c - 1) : c;
        return c;
    }
    if (c >= 0x3AC && c <= 0x3CE) {
        if (c == 0x3AC) return 0x386;
        if (c >= 0x3AD && c <= 0x3AF) return static_cast<WCHAR>(c - 37);
        if (c == 0x3CC) return 0x38C;
        if (c == 0x3CD || c == 0x3CE) return static_cast<WCHAR>(c - 63);
        if (c == 0x3C2) return 0x3A3;  // final sigma
        if (c >= 0x3B1 && c <= 0x3CB) return static_cast<WCHAR>(c - 32);
        return c;
    }
    if (c >= 0x430 && c <= 0x44F) return static_cast<WCHAR>(c - 32);
    if (c >= 0x450 && c <= 0x45F) return static_cast<WCHAR>(c - 80);
    if (c >= 0xFF41 && c <= 0xFF5A) return static_cast<WCHAR>(c - 32);
    return c;
}

}  // namespace platform::kernel

namespace {

using platform::kernel::ToLowerWide;

constexpr WCHAR kEmpty[1] = {0};

int CompareFolded(const WCHAR* a, const WCHAR* b, size_t count) noexcept {
    if (a == nullptr) a = kEmpty;
    if (b == nullptr) b = kEmpty;
    for (size_t i = 0; i < count; ++i) {
        if (a[i] == b[i]) {  // fold alike: only units that differ need folding
            if (a[i] == 0) return 0;
            continue;
        }
        int x = ToLowerWide(a[i]), y = ToLowerWide(b[i]);
        if (x != y || x == 0) return x - y;
    }
    return 0;
}

bool IsCrtSpace(WCHAR c) noexcept { return c == u' ' || (c >= 0x09 && c <= 0x0D); }

// Parses as the C runtime does and saturates at [minimum, maximum].
LONGLONG ParseDecimal(const WCHAR* str, LONGLONG minimum, LONGLONG maximum) noexcept {
    if (str == nullptr) return 0;
    while (IsCrtSpace(*str)) ++str;
    bool negative = false;
    if (*str == u'+' || *str == u'-') negative = *str++ == u'-';
    // Accumulate the magnitude, stopping at the limit of the sign's side of the range.
    const ULONGLONG limit = negative ? static_cast<ULONGLONG>(-(minimum + 1)) + 1 : static_cast<ULONGLONG>(maximum);
    ULONGLONG magnitude = 0;
    bool overflow = false;
    for (; *str >= u'0' && *str <= u'9'; ++str) {
        if (overflow) continue;
        const unsigned digit = static_cast<unsigned>(*str - u'0');
        if (magnitude > (limit - digit) / 10) {
            overflow = true;
            continue;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (overflow) return negative ? minimum : maximum;
    if (!negative) return static_cast<LONGLONG>(magnitude);
    return magnitude == limit ? minimum : -static_cast<LONGLONG>(magnitude);
}

}  // namespace

int WINAPI lstrlenW(LPCWSTR lpString) {
    if (lpString == nullptr) return 0;
    return static_cast<int>(wcslen(lpString));
}

LPWSTR WINAPI lstrcpynW(LPWSTR lpString1, LPCWSTR lpString2, int iMaxLength) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("lstrcpynW", hr)) return nullptr;
    if (lpString1 == nullptr || lpString2 == nullptr) return nullptr;
    if (iMaxLength <= 0) return lpString1;
    int i = 0;
    for (; i < iMaxLength - 1 && lpString2[i] != 0; ++i) lpString1[i] = lpString2[i];
    lpString1[i] = 0;
    return lpString1;
}

int WINAPI lstrcmpiW(LPCWSTR lpString1, LPCWSTR lpString2) {
    int difference = CompareFolded(lpString1, lpString2, SIZE_MAX);
    return difference < 0 ? -1 : (difference > 0 ? 1 : 0);
}

int WINAPI lstrcmpW(LPCWSTR lpString1, LPCWSTR lpString2) {
    int difference = wcscmp(lpString1 ? lpString1 : kEmpty, lpString2 ? lpString2 : kEmpty);
    return difference < 0 ? -1 : (difference > 0 ? 1 : 0);
}

int _wcsicmp(const WCHAR* string1, const WCHAR* string2) { return CompareFolded(string1, string2, SIZE_MAX); }

int _wcsnicmp(const WCHAR* string1, const WCHAR* string2, size_t count) {
    return CompareFolded(string1, string2, count);
}

WCHAR* _wcslwr(WCHAR* str) {
    if (str == nullptr) return nullptr;
    for (WCHAR* p = str; *p != 0; ++p) *p = ToLowerWide(*p);
    return str;
}

WCHAR* _wcsupr(WCHAR* str) {
    if (str == nullptr) return nullptr;
    for (WCHAR* p = str; *p != 0; ++p) *p = platform::kernel::ToUpperWide(*p);
    return str;
}

int _wtoi(const WCHAR* str) { return static_cast<int>(ParseDecimal(str, INT_MIN, INT_MAX)); }

LONG _wtol(const WCHAR* str) { return static_cast<LONG>(ParseDecimal(str, INT32_MIN, INT32_MAX)); }

LONGLONG _wtoi64(const WCHAR* str) { return ParseDecimal(str, INT64_MIN, INT64_MAX); }

size_t wcslen(const WCHAR* str) {
    const WCHAR* p = str;
    while (*p != 0) ++p;
    return static_cast<size_t>(p - str);
}

size_t wcsnlen(const WCHAR* str, size_t maxlen) {
    size_t n = 0;
    while (n < maxlen && str[n] != 0) ++n;
    return n;
}

WCHAR* wcscpy(WCHAR* dest, const WCHAR* src) {
    WCHAR* d = dest;
    while ((*d++ = *src++) != 0) {
    }
    return dest;
}

WCHAR* wcsncpy(WCHAR* dest, const WCHAR* src, size_t count) {
    size_t i = 0;
    for (; i < count && src[i] != 0; ++i) dest[i] = src[i];
    for (; i < count; ++i) dest[i] = 0;
    return dest;
}

WCHAR* wcscat(WCHAR* dest, const WCHAR* src) {
    wcscpy(dest + wcslen(dest), src);
    return dest;
}

int wcscmp(const WCHAR* string1, const WCHAR* string2) { return wcsncmp(string1, string2, SIZE_MAX); }

int wcsncmp(const WCHAR* string1, const WCHAR* string2, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (string1[i] != string2[i]) return string1[i] < string2[i] ? -1 : 1;
        if (string1[i] == 0) return 0;
    }
    return 0;
}

const WCHAR* wcschr(const WCHAR* str, WCHAR c) {
    for (;; ++str) {
        if (*str == c) return str;
        if (*str == 0) return nullptr;
    }
}

WCHAR* wcschr(WCHAR* str, WCHAR c) { return const_cast<WCHAR*>(wcschr(static_cast<const WCHAR*>(str), c)); }

const WCHAR* wcsrchr(const WCHAR* str, WCHAR c) {
    const WCHAR* found = nullptr;
    for (;; ++str) {
        if (*str == c) found = str;
        if (*str == 0) return found;
    }
}

WCHAR* wcsrchr(WCHAR* str, WCHAR c) { return const_cast<WCHAR*>(wcsrchr(static_cast<const WCHAR*>(str), c)); }

const WCHAR* wcsstr(const WCHAR* str, const WCHAR* search) {
    if (*search == 0) return str;
    for (; *str != 0; ++str) {
        size_t i = 0;
        while (search[i] != 0 && str[i] == search[i]) ++i;
        if (search[i] == 0) return str;
    }
    return nullptr;
}

WCHAR* wcsstr(WCHAR* str, const WCHAR* search) {
    return const_cast<WCHAR*>(wcsstr(static_cast<const WCHAR*>(str), search));
}
