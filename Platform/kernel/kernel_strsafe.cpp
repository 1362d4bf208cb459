// Counted string copies, concatenation and the wide printf formatter.
#include <cstdio>
#include <string>

#include "base/fault.h"
#include "kernel/winbase.h"

namespace {

bool ValidDest(LPWSTR dest, size_t cchDest) noexcept {
    return dest != nullptr && cchDest != 0 && cchDest <= STRSAFE_MAX_CCH;
}

// Clears the destination after a failure, when it is a usable buffer.
HRESULT FailEmpty(LPWSTR dest, size_t cchDest, HRESULT hr) noexcept {
    if (dest != nullptr && cchDest != 0 && cchDest <= STRSAFE_MAX_CCH) dest[0] = 0;
    return hr;
}

// Copies at most `limit` characters of src into dest[0 .. room - 1] and terminates.
HRESULT CopyBounded(LPWSTR dest, size_t room, LPCWSTR src, size_t limit) noexcept {
    size_t i = 0;
    while (i < limit && src[i] != 0) {
        if (i == room - 1) {
            dest[i] = 0;
            return STRSAFE_E_INSUFFICIENT_BUFFER;
        }
        dest[i] = src[i];
        ++i;
    }
    dest[i] = 0;
    return S_OK;
}

// ---- The formatter -------------------------------------------------------------------------

// Writes into dest, keeping room for the terminator, and notes what did not fit.
class Output {
public:
    Output(LPWSTR dest, size_t cchDest) : dest_(dest), capacity_(cchDest - 1) {}

    void Put(WCHAR c) noexcept {
        if (length_ < capacity_) {
            dest_[length_++] = c;
        } else {
            overflow_ = true;
        }
    }
    void Repeat(WCHAR c, size_t count) noexcept {
        for (size_t i = 0; i < count && !overflow_; ++i) Put(c);
    }
    void Terminate() noexcept { dest_[length_] = 0; }
    bool Overflow() const noexcept { return overflow_; }

private:
    LPWSTR dest_;
    size_t capacity_;
    size_t length_ = 0;
    bool overflow_ = false;
};

enum class Size { Char, Short, Int, Long32, Long64, Pointer, LongDouble, Wide, Narrow };

struct Spec {
    bool left = false, plus = false, space = false, alternate = false, zero = false;
    size_t width = 0;
    bool hasPrecision = false;
    size_t precision = 0;
    Size size = Size::Int;
};

void Pad(Output& out, const Spec& spec, size_t length, bool zeroAllowed) {
    if (spec.width > length) out.Repeat(spec.zero && zeroAllowed ? u'0' : u' ', spec.width - length);
}

template <typename Unit>
void PutString(Output& out, const Spec& spec, const Unit* text) {
    static constexpr Unit kNull[] = {'(', 'n', 'u', 'l', 'l', ')', 0};
    if (text == nullptr) text = kNull;
    size_t length = 0;
    while ((!spec.hasPrecision || length < spec.precision) && text[length] != 0) ++length;
    if (!spec.left) Pad(out, spec, length, true);
    for (size_t i = 0; i < length; ++i) {
        // A narrow character is widened byte by byte, as the C runtime's default locale does.
        out.Put(static_cast<WCHAR>(static_cast<std::make_unsigned_t<Unit>>(text[i])));
    }
    if (spec.left) Pad(out, spec, length, false);
}

void PutInteger(Output& out, const Spec& spec, ULONGLONG magnitude, bool negative, unsigned base, bool upper,
                bool isSigned) {
    char digits[24];
    size_t count = 0;
    const char* alphabet = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    for (ULONGLONG v = magnitude; v != 0; v /= base) digits[count++] = alphabet[v % base];
    size_t minimumDigits = spec.hasPrecision ? spec.precision : 1;
    if (base == 8 && spec.alternate && (count >= minimumDigits)) minimumDigits = count + 1;
    const size_t zeros = minimumDigits > count ? minimumDigits - count : 0;

    char prefix[2];
    size_t prefixLength = 0;
    if (isSigned) {
        if (negative) {
            prefix[prefixLength++] = '-';
        } else if (spec.plus) {
            prefix[prefixLength++] = '+';
        } else if (spec.space) {
            prefix[prefixLength++] = ' ';
        }
    } else if (base == 16 && spec.alternate && magnitude != 0) {
        prefix[prefixLength++] = '0';
        prefix[prefixLength++] = upper ? 'X' : 'x';
    }
    const size_t length = prefixLength + zeros + count;
    const bool zeroPad = spec.zero && !spec.left && !spec.hasPrecision;
    if (!spec.left && !zeroPad) Pad(out, spec, length, false);
    for (size_t i = 0; i < prefixLength; ++i) out.Put(static_cast<WCHAR>(prefix[i]));
    if (zeroPad && spec.width > length) out.Repeat(u'0', spec.width - length);
    out.Repeat(u'0', zeros);
    while (count > 0) out.Put(static_cast<WCHAR>(digits[--count]));
    if (spec.left) Pad(out, spec, length, false);
}

void PutFloating(Output& out, const Spec& spec, WCHAR conversion, long double value, bool isLong) {
    std::string format = "%";
    if (spec.left) format += '-';
    if (spec.plus) format += '+';
    if (spec.space) format += ' ';
    if (spec.alternate) format += '#';
    if (spec.zero) format += '0';
    format += "*.*";
    if (isLong) format += 'L';
    format += static_cast<char>(conversion);
    const int width = static_cast<int>(spec.width > 100000 ? 100000 : spec.width);
    const int precision = spec.hasPrecision ? static_cast<int>(spec.precision > 100000 ? 100000 : spec.precision) : -1;
    char small[128];
    int needed = isLong ? std::snprintf(small, sizeof small, format.c_str(), width, precision, value)
                        : std::snprintf(small, sizeof small, format.c_str(), width, precision,
                                        static_cast<double>(value));
    if (needed < 0) return;
    std::string large;
    const char* text = small;
    if (static_cast<size_t>(needed) >= sizeof small) {
        large.resize(static_cast<size_t>(needed) + 1);
        if (isLong) {
            std::snprintf(large.data(), large.size(), format.c_str(), width, precision, value);
        } else {
            std::snprintf(large.data(), large.size(), format.c_str(), width, precision, static_cast<double>(value));
        }
        text = large.c_str();
    }
    for (int i = 0; i < needed; ++i) out.Put(static_cast<WCHAR>(static_cast<unsigned char>(text[i])));
}

bool IsDigit(WCHAR c) { return c >= u'0' && c <= u'9'; }

// The size prefixes of a conversion, each before any shorter one it begins with.
struct SizePrefix {
    const char16_t* prefix;
    Size size;
};
constexpr SizePrefix kSizePrefixes[] = {
    {u"hh", Size::Char},    {u"h", Size::Short},
    {u"ll", Size::Long64},  {u"l", Size::Long32},  // Windows' long is 32 bits
    {u"w", Size::Wide},     {u"L", Size::LongDouble}, {u"q", Size::Long64},
    {u"z", Size::Pointer},  {u"j", Size::Pointer},    {u"t", Size::Pointer},
    {u"I64", Size::Long64}, {u"I32", Size::Int},      {u"I", Size::Pointer},
};

size_t ReadNumber(const WCHAR*& p) {
    size_t value = 0;
    for (; IsDigit(*p); ++p) {
        if (value < 100000000) value = value * 10 + static_cast<size_t>(*p - u'0');
    }
    return value;
}

// Formats into out; false for a conversion it does not know.
bool Format(Output& out, const WCHAR* format, va_list args) {
    for (const WCHAR* p = format; *p != 0;) {
        if (*p != u'%') {
            out.Put(*p++);
            continue;
        }
        ++p;
        if (*p == u'%') {
            out.Put(*p++);
            continue;
        }
        Spec spec;
        for (;; ++p) {
            if (*p == u'-') spec.left = true;
            else if (*p == u'+') spec.plus = true;
            else if (*p == u' ') spec.space = true;
            else if (*p == u'#') spec.alternate = true;
            else if (*p == u'0') spec.zero = true;
            else break;
        }
        if (*p == u'*') {
            int width = va_arg(args, int);
            if (width < 0) {
                spec.left = true;
                width = width == INT32_MIN ? INT32_MAX : -width;
            }
            spec.width = static_cast<size_t>(width);
            ++p;
        } else {
            spec.width = ReadNumber(p);
        }
        if (*p == u'.') {
            ++p;
            spec.hasPrecision = true;
            if (*p == u'*') {
                int precision = va_arg(args, int);
                if (precision < 0) spec.hasPrecision = false;
                else spec.precision = static_cast<size_t>(precision);
                ++p;
            } else {
                spec.precision = ReadNumber(p);
            }
        }
        for (const SizePrefix& size : kSizePrefixes) {
            size_t n = 0;
            while (size.prefix[n] && p[n] == size.prefix[n]) ++n;
            if (size.prefix[n] == 0) {
                p += n;
                spec.size = size.size;
                break;
            }
        }
        const WCHAR conversion = *p;
        if (conversion == 0) return false;
        ++p;
        switch (conversion) {
            case u'd':
            case u'i': {
                LONGLONG value = 0;
                switch (spec.size) {
                    case Size::Char: value = static_cast<signed char>(va_arg(args, int)); break;
                    case Size::Short: value = static_cast<short>(va_arg(args, int)); break;
                    case Size::Long64:
                    case Size::Pointer:
                    case Size::LongDouble: value = va_arg(args, long long); break;
                    default: value = va_arg(args, int); break;
                }
                const ULONGLONG magnitude = value < 0 ? 0 - static_cast<ULONGLONG>(value) : static_cast<ULONGLONG>(value);
                PutInteger(out, spec, magnitude, value < 0, 10, false, true);
                break;
            }
            case u'u':
            case u'o':
            case u'x':
            case u'X': {
                ULONGLONG value = 0;
                switch (spec.size) {
                    case Size::Char: value = static_cast<unsigned char>(va_arg(args, unsigned)); break;
                    case Size::Short: value = static_cast<unsigned short>(va_arg(args, unsigned)); break;
                    case Size::Long64:
                    case Size::Pointer:
                    case Size::LongDouble: value = va_arg(args, unsigned long long); break;
                    default: value = va_arg(args, unsigned); break;
                }
                const unsigned base = conversion == u'u' ? 10 : (conversion == u'o' ? 8 : 16);
                PutInteger(out, spec, value, false, base, conversion == u'X', false);
                break;
            }
            case u'p': {
                Spec pointer;
                pointer.hasPrecision = true;
                pointer.precision = 16;
                pointer.width = spec.width;
                pointer.left = spec.left;
                PutInteger(out, pointer, reinterpret_cast<ULONG_PTR>(va_arg(args, void*)), false, 16, true, false);
                break;
            }
            case u'c':
            case u'C': {
                const int value = va_arg(args, int);
                const bool narrow = spec.size == Size::Short || spec.size == Size::Char ||
                                    (conversion == u'C' && spec.size != Size::Long32 && spec.size != Size::Wide);
                const WCHAR c = narrow ? static_cast<WCHAR>(static_cast<unsigned char>(value)) : static_cast<WCHAR>(value);
                if (!spec.left) Pad(out, spec, 1, true);
                out.Put(c);
                if (spec.left) Pad(out, spec, 1, false);
                break;
            }
            case u's':
            case u'S': {
                const bool narrow = spec.size == Size::Short || spec.size == Size::Char ||
                                    (conversion == u'S' && spec.size != Size::Long32 && spec.size != Size::Wide);
                if (narrow) {
                    PutString(out, spec, va_arg(args, const char*));
                } else {
                    PutString(out, spec, va_arg(args, const WCHAR*));
                }
                break;
            }
            case u'e':
            case u'E':
            case u'f':
            case u'F':
            case u'g':
            case u'G':
            case u'a':
            case u'A': {
                const bool isLong = spec.size == Size::LongDouble;
                const long double value = isLong ? va_arg(args, long double) : va_arg(args, double);
                PutFloating(out, spec, conversion, value, isLong);
                break;
            }
            default:
                return false;
        }
        if (out.Overflow()) return true;
    }
    return true;
}

bool FailedByTest(const char* operation, HRESULT* hr) noexcept {
    *hr = S_OK;
    return PLATFORM_FAULT(operation, *hr);
}

}  // namespace

HRESULT StringCchCopyW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) {
    HRESULT hr;
    if (FailedByTest("StringCchCopyW", &hr)) return FailEmpty(pszDest, cchDest, hr);
    if (!ValidDest(pszDest, cchDest) || pszSrc == nullptr)
        return FailEmpty(pszDest, cchDest, STRSAFE_E_INVALID_PARAMETER);
    return CopyBounded(pszDest, cchDest, pszSrc, SIZE_MAX);
}

HRESULT StringCchCopyNW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc, size_t cchToCopy) {
    HRESULT hr;
    if (FailedByTest("StringCchCopyNW", &hr)) return FailEmpty(pszDest, cchDest, hr);
    if (!ValidDest(pszDest, cchDest) || pszSrc == nullptr || cchToCopy > STRSAFE_MAX_CCH)
        return FailEmpty(pszDest, cchDest, STRSAFE_E_INVALID_PARAMETER);
    return CopyBounded(pszDest, cchDest, pszSrc, cchToCopy);
}

namespace {

HRESULT Append(const char* operation, LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc, size_t limit) {
    HRESULT hr;
    if (FailedByTest(operation, &hr)) return hr;
    if (!ValidDest(pszDest, cchDest) || pszSrc == nullptr || limit > STRSAFE_MAX_CCH)
        return STRSAFE_E_INVALID_PARAMETER;
    const size_t used = wcsnlen(pszDest, cchDest);
    if (used == cchDest) return STRSAFE_E_INVALID_PARAMETER;  // the destination is not terminated
    return CopyBounded(pszDest + used, cchDest - used, pszSrc, limit);
}

}  // namespace

HRESULT StringCchCatW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc) {
    return Append("StringCchCatW", pszDest, cchDest, pszSrc, STRSAFE_MAX_CCH);
}

HRESULT StringCchCatNW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszSrc, size_t cchToAppend) {
    return Append("StringCchCatNW", pszDest, cchDest, pszSrc, cchToAppend);
}

HRESULT StringCchLengthW(LPCWSTR psz, size_t cchMax, size_t* pcchLength) {
    HRESULT hr;
    if (FailedByTest("StringCchLengthW", &hr)) {
        if (pcchLength != nullptr) *pcchLength = 0;
        return hr;
    }
    const size_t length = psz == nullptr || cchMax > STRSAFE_MAX_CCH ? cchMax : wcsnlen(psz, cchMax);
    if (length == cchMax) {
        if (pcchLength != nullptr) *pcchLength = 0;
        return STRSAFE_E_INVALID_PARAMETER;
    }
    if (pcchLength != nullptr) *pcchLength = length;
    return S_OK;
}

HRESULT StringCchVPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, va_list argList) {
    HRESULT hr;
    if (FailedByTest("StringCchPrintfW", &hr)) return FailEmpty(pszDest, cchDest, hr);
    if (!ValidDest(pszDest, cchDest) || pszFormat == nullptr)
        return FailEmpty(pszDest, cchDest, STRSAFE_E_INVALID_PARAMETER);
    Output out(pszDest, cchDest);
    va_list args;
    va_copy(args, argList);
    bool known = true;
    try {
        known = Format(out, pszFormat, args);
    } catch (...) {
        va_end(args);
        out.Terminate();
        return E_OUTOFMEMORY;  // only a floating-point conversion allocates
    }
    va_end(args);
    out.Terminate();
    if (!known) return STRSAFE_E_INVALID_PARAMETER;
    return out.Overflow() ? STRSAFE_E_INSUFFICIENT_BUFFER : S_OK;
}

HRESULT StringCchPrintfW(LPWSTR pszDest, size_t cchDest, LPCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return hr;
}

HRESULT StringCbCopyW(LPWSTR pszDest, size_t cbDest, LPCWSTR pszSrc) {
    return StringCchCopyW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

HRESULT StringCbCatW(LPWSTR pszDest, size_t cbDest, LPCWSTR pszSrc) {
    return StringCchCatW(pszDest, cbDest / sizeof(WCHAR), pszSrc);
}

HRESULT StringCbPrintfW(LPWSTR pszDest, size_t cbDest, LPCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    HRESULT hr = StringCchVPrintfW(pszDest, cbDest / sizeof(WCHAR), pszFormat, args);
    va_end(args);
    return hr;
}
