// VARIANT lifetime (VariantInit, VariantClear, VariantCopy, VariantCopyInd) and conversion
// (VariantChangeType). The text forms are described in oleauto.h.
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "base/fault.h"
#include "oleaut/oleauto.h"
#include "oleaut/internal.h"

namespace {

using platform::oleaut::CalendarTime;

// ---- Types a VARIANT may hold --------------------------------------------------------------

// Types held by value (no VT_BYREF) that this layer can clear and copy.
bool IsPlainValueType(VARTYPE vt) {
    switch (vt) {
        case VT_EMPTY: case VT_NULL: case VT_I2: case VT_I4: case VT_R4: case VT_R8: case VT_CY:
        case VT_DATE: case VT_BSTR: case VT_DISPATCH: case VT_ERROR: case VT_BOOL: case VT_UNKNOWN:
        case VT_DECIMAL: case VT_I1: case VT_UI1: case VT_UI2: case VT_UI4: case VT_I8: case VT_UI8:
        case VT_INT: case VT_UINT:
            return true;
        default:
            return false;
    }
}

// Types a VT_BYREF VARIANT may point at (it owns nothing, so it is copied as a pointer).
bool IsReferenceType(VARTYPE vt) {
    if (!(vt & VT_BYREF)) return false;
    VARTYPE base = vt & ~VT_BYREF;
    if (base & VT_ARRAY) return IsPlainValueType(base & ~VT_ARRAY) || (base & ~VT_ARRAY) == VT_VARIANT;
    if (base == VT_EMPTY || base == VT_NULL) return false;
    return IsPlainValueType(base) || base == VT_VARIANT || base == VT_RECORD;
}

bool IsHoldableType(VARTYPE vt) { return IsPlainValueType(vt) || IsReferenceType(vt); }

// A type number that names an automation type at all (for DISP_E_BADVARTYPE against
// DISP_E_TYPEMISMATCH when asked to convert to it).
bool IsKnownTargetType(VARTYPE vt) {
    return IsPlainValueType(vt) || vt == VT_RECORD || vt == VT_VARIANT;
}

HRESULT ClearVariant(VARIANTARG* pvarg) {
    const VARTYPE vt = pvarg->vt;
    if (!IsHoldableType(vt)) return DISP_E_BADVARTYPE;
    // The type goes first, so a Release that reaches this VARIANT again finds it empty.
    pvarg->vt = VT_EMPTY;
    switch (vt) {
        case VT_BSTR:
            SysFreeString(pvarg->bstrVal);
            break;
        case VT_UNKNOWN:
        case VT_DISPATCH:
            if (pvarg->punkVal) pvarg->punkVal->Release();
            break;
        default:
            break;
    }
    return S_OK;
}

// Copies a holdable source into dest, which holds nothing (its old content is not freed).
HRESULT CopyInto(VARIANTARG* dest, const VARIANTARG* src) {
    if (src->vt == VT_BSTR && src->bstrVal) {
        BSTR copy = platform::oleaut::AllocateBstrBytes(src->bstrVal, SysStringByteLen(src->bstrVal));
        if (!copy) return E_OUTOFMEMORY;
        std::memcpy(static_cast<void*>(dest), src, sizeof(VARIANT));
        dest->bstrVal = copy;
        return S_OK;
    }
    std::memcpy(static_cast<void*>(dest), src, sizeof(VARIANT));
    if ((src->vt == VT_UNKNOWN || src->vt == VT_DISPATCH) && src->punkVal) src->punkVal->AddRef();
    return S_OK;
}

// Builds in *value the VARIANT a VT_BYREF source refers to (owning copies of strings and
// references of objects). One level of VT_BYREF | VT_VARIANT is followed through.
HRESULT Dereference(const VARIANTARG* src, VARIANTARG* value) {
    VariantInit(value);
    if (!(src->vt & VT_BYREF)) return CopyInto(value, src);
    if (!src->byref) return E_INVALIDARG;
    const VARTYPE base = src->vt & ~VT_BYREF;
    if (base == VT_VARIANT) {
        const VARIANT* inner = src->pvarVal;
        if (inner->vt == (VT_BYREF | VT_VARIANT)) return E_INVALIDARG;
        if (!IsHoldableType(inner->vt)) return DISP_E_BADVARTYPE;
        if (inner->vt & VT_BYREF) return Dereference(inner, value);
        return CopyInto(value, inner);
    }
    if (base & VT_ARRAY) return DISP_E_BADVARTYPE;  // safe arrays are not supported here
    VARIANT shallow;
    VariantInit(&shallow);
    shallow.vt = base;
    switch (base) {
        case VT_I1: shallow.cVal = *src->pcVal; break;
        case VT_UI1: shallow.bVal = *src->pbVal; break;
        case VT_I2: shallow.iVal = *src->piVal; break;
        case VT_UI2: shallow.uiVal = *src->puiVal; break;
        case VT_I4: shallow.lVal = *src->plVal; break;
        case VT_UI4: shallow.ulVal = *src->pulVal; break;
        case VT_INT: shallow.intVal = *src->pintVal; break;
        case VT_UINT: shallow.uintVal = *src->puintVal; break;
        case VT_I8: shallow.llVal = *src->pllVal; break;
        case VT_UI8: shallow.ullVal = *src->pullVal; break;
        case VT_R4: shallow.fltVal = *src->pfltVal; break;
        case VT_R8: shallow.dblVal = *src->pdblVal; break;
        case VT_DATE: shallow.date = *src->pdate; break;
        case VT_CY: shallow.cyVal = *src->pcyVal; break;
        case VT_BOOL: shallow.boolVal = *src->pboolVal; break;
        case VT_ERROR: shallow.scode = *src->pscode; break;
        case VT_BSTR: shallow.bstrVal = *src->pbstrVal; break;
        case VT_UNKNOWN: shallow.punkVal = *src->ppunkVal; break;
        case VT_DISPATCH: shallow.pdispVal = *src->ppdispVal; break;
        case VT_DECIMAL: {
            DECIMAL dec = *src->pdecVal;
            std::memcpy(static_cast<void*>(&shallow), &dec, sizeof dec);
            shallow.vt = VT_DECIMAL;
            break;
        }
        default:
            return DISP_E_BADVARTYPE;
    }
    return CopyInto(value, &shallow);
}

// Frees what an owned temporary holds (it never holds anything this layer cannot clear).
struct ScopedVariant {
    VARIANT v;
    ScopedVariant() { VariantInit(&v); }
    ~ScopedVariant() { ClearVariant(&v); }
    ScopedVariant(const ScopedVariant&) = delete;
    ScopedVariant& operator=(const ScopedVariant&) = delete;
    // Hands the content over to the caller.
    void MoveTo(VARIANT* dest) {
        std::memcpy(static_cast<void*>(dest), &v, sizeof(VARIANT));
        VariantInit(&v);
    }
};

// ---- Text ----------------------------------------------------------------------------------

bool IsBlank(OLECHAR c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

// The text of a BSTR without surrounding white space, as ASCII; false if it holds anything
// beyond ASCII (which no neutral form uses) or an embedded null.
bool TrimmedAscii(const OLECHAR* text, UINT length, std::string* out) {
    UINT begin = 0;
    UINT end = length;
    while (begin < end && IsBlank(text[begin])) ++begin;
    while (end > begin && IsBlank(text[end - 1])) --end;
    out->clear();
    out->reserve(end - begin);
    for (UINT i = begin; i < end; ++i) {
        if (text[i] == 0 || text[i] > 0x7E) return false;
        out->push_back(static_cast<char>(text[i]));
    }
    return true;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Parses a neutral number: [sign] digits [. digits] [e [sign] digits], or [sign] . digits ...
HRESULT ParseNumber(const std::string& text, double* value) {
    size_t i = 0;
    const size_t n = text.size();
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    const size_t mantissaStart = i;
    size_t digits = 0;
    while (i < n && IsDigit(text[i])) ++i, ++digits;
    if (i < n && text[i] == '.') {
        ++i;
        while (i < n && IsDigit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return DISP_E_TYPEMISMATCH;
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
        size_t exponentDigits = 0;
        while (i < n && IsDigit(text[i])) ++i, ++exponentDigits;
        if (exponentDigits == 0) return DISP_E_TYPEMISMATCH;
    }
    if (i != n) return DISP_E_TYPEMISMATCH;
    // The lexical form is checked above; from_chars does the exact decimal-to-binary rounding
    // and ignores the C locale. Its grammar has no '+' and no leading '.': both are handled here.
    std::string body = text.substr(mantissaStart);
    if (body[0] == '.') body.insert(body.begin(), '0');
    double magnitude = 0.0;
    auto [end, error] = std::from_chars(body.data(), body.data() + body.size(), magnitude);
    if (error == std::errc::result_out_of_range) {
        // Too small to represent is zero; too large overflows.
        size_t e = body.find_first_of("eE");
        bool negativeExponent = e != std::string::npos && e + 1 < body.size() && body[e + 1] == '-';
        if (!negativeExponent) return DISP_E_OVERFLOW;
        magnitude = 0.0;
    } else if (error != std::errc() || end != body.data() + body.size()) {
        return DISP_E_TYPEMISMATCH;
    }
    if (!std::isfinite(magnitude)) return DISP_E_OVERFLOW;
    *value = negative ? -magnitude : magnitude;
    return S_OK;
}

bool EqualsIgnoringCase(const std::string& a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        char d = b[i];
        if (d >= 'A' && d <= 'Z') d = static_cast<char>(d - 'A' + 'a');
        if (c != d) return false;
    }
    return true;
}

// Reads 1 to maxDigits decimal digits at text[*i].
bool ReadField(const std::string& text, size_t* i, size_t minDigits, size_t maxDigits, int* value) {
    size_t start = *i;
    int result = 0;
    while (*i < text.size() && IsDigit(text[*i]) && *i - start < maxDigits) {
        result = result * 10 + (text[*i] - '0');
        ++*i;
    }
    if (*i - start < minDigits) return false;
    *value = result;
    return true;
}

bool ParseTimeOfDay(const std::string& text, size_t* i, int* hour, int* minute, int* second) {
    if (!ReadField(text, i, 1, 2, hour)) return false;
    if (*i >= text.size() || text[*i] != ':') return false;
    ++*i;
    if (!ReadField(text, i, 2, 2, minute)) return false;
    *second = 0;
    if (*i < text.size() && text[*i] == ':') {
        ++*i;
        if (!ReadField(text, i, 2, 2, second)) return false;
    }
    return *hour <= 23 && *minute <= 59 && *second <= 59;
}

// Parses "YYYY-MM-DD", "YYYY-MM-DD HH:MM[:SS]" (or with 'T'), or "HH:MM[:SS]". Fields must be
// a real calendar date: text is not normalised the way SystemTimeToVariantTime fixes days.
HRESULT ParseDate(const std::string& text, double* date) {
    int year = 1899, month = 12, day = 30, hour = 0, minute = 0, second = 0;
    size_t i = 0;
    const bool timeOnly = text.size() >= 3 && (text[1] == ':' || text[2] == ':');
    if (timeOnly) {
        if (!ParseTimeOfDay(text, &i, &hour, &minute, &second)) return DISP_E_TYPEMISMATCH;
    } else {
        if (!ReadField(text, &i, 4, 4, &year)) return DISP_E_TYPEMISMATCH;
        if (i >= text.size() || text[i++] != '-') return DISP_E_TYPEMISMATCH;
        if (!ReadField(text, &i, 1, 2, &month)) return DISP_E_TYPEMISMATCH;
        if (i >= text.size() || text[i++] != '-') return DISP_E_TYPEMISMATCH;
        if (!ReadField(text, &i, 1, 2, &day)) return DISP_E_TYPEMISMATCH;
        if (i < text.size()) {
            if (text[i] != ' ' && text[i] != 'T') return DISP_E_TYPEMISMATCH;
            ++i;
            while (i < text.size() && text[i] == ' ') ++i;
            if (!ParseTimeOfDay(text, &i, &hour, &minute, &second)) return DISP_E_TYPEMISMATCH;
        }
        if (month < 1 || month > 12 || day < 1 || day > platform::oleaut::DaysInMonth(year, month)) {
            return DISP_E_TYPEMISMATCH;
        }
        if (year < 100) return DISP_E_OVERFLOW;
    }
    if (i != text.size()) return DISP_E_TYPEMISMATCH;
    if (!platform::oleaut::OleDateFromCalendar(year, month, day, hour, minute, second, date)) {
        return DISP_E_OVERFLOW;
    }
    return S_OK;
}

HRESULT MakeBstr(const std::string& ascii, BSTR* out) {
    BSTR bstr = platform::oleaut::AllocateBstr(nullptr, ascii.size());
    if (!bstr) return E_OUTOFMEMORY;
    for (size_t i = 0; i < ascii.size(); ++i) bstr[i] = static_cast<OLECHAR>(ascii[i]);
    *out = bstr;
    return S_OK;
}

std::string FormatReal(double value, int significantDigits) {
    if (value == 0.0) return "0";  // also -0.0
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value < 0 ? "-Infinity" : "Infinity";
    char buffer[64];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value,
                                      std::chars_format::general, significantDigits);
    if (error != std::errc()) return "0";
    std::string text(buffer, end);
    for (char& c : text) {
        if (c == 'e') c = 'E';
    }
    return text;
}

std::string TwoDigits(int value) {
    std::string text(2, '0');
    text[0] = static_cast<char>('0' + value / 10);
    text[1] = static_cast<char>('0' + value % 10);
    return text;
}

HRESULT FormatDate(double date, std::string* text) {
    CalendarTime t{};
    if (!platform::oleaut::OleDateToCalendar(date, &t)) return DISP_E_OVERFLOW;
    const bool isDayZero = t.year == 1899 && t.month == 12 && t.day == 30;
    const bool isMidnight = t.hour == 0 && t.minute == 0 && t.second == 0;
    text->clear();
    if (!isDayZero) {
        std::string year = std::to_string(t.year);
        *text += std::string(4 - year.size(), '0') + year + "-" + TwoDigits(t.month) + "-" + TwoDigits(t.day);
    }
    if (isDayZero || !isMidnight) {
        if (!text->empty()) *text += ' ';
        *text += TwoDigits(t.hour) + ":" + TwoDigits(t.minute) + ":" + TwoDigits(t.second);
    }
    return S_OK;
}

// ---- Conversion ----------------------------------------------------------------------------

// A plain (dereferenced) source value, as one of a few kinds.
struct Scalar {
    enum Kind { Empty, Integer, Real, Date, Boolean, Text, Error } kind = Empty;
    long long integer = 0;  // Integer
    double real = 0.0;      // Real and Date
    bool single = false;    // Real came from VT_R4
    VARIANT_BOOL boolean = VARIANT_FALSE;
    const OLECHAR* text = nullptr;
    UINT textLength = 0;
    SCODE error = S_OK;
    VARTYPE vt = VT_EMPTY;  // the source type
};

bool ReadScalar(const VARIANT& v, Scalar* s) {
    s->vt = v.vt;
    switch (v.vt) {
        case VT_EMPTY: s->kind = Scalar::Empty; return true;
        case VT_I1: s->kind = Scalar::Integer; s->integer = v.cVal; return true;
        case VT_UI1: s->kind = Scalar::Integer; s->integer = v.bVal; return true;
        case VT_I2: s->kind = Scalar::Integer; s->integer = v.iVal; return true;
        case VT_UI2: s->kind = Scalar::Integer; s->integer = v.uiVal; return true;
        case VT_I4: s->kind = Scalar::Integer; s->integer = v.lVal; return true;
        case VT_UI4: s->kind = Scalar::Integer; s->integer = v.ulVal; return true;
        case VT_INT: s->kind = Scalar::Integer; s->integer = v.intVal; return true;
        case VT_UINT: s->kind = Scalar::Integer; s->integer = v.uintVal; return true;
        case VT_R4: s->kind = Scalar::Real; s->real = v.fltVal; s->single = true; return true;
        case VT_R8: s->kind = Scalar::Real; s->real = v.dblVal; return true;
        case VT_DATE: s->kind = Scalar::Date; s->real = v.date; return true;
        case VT_BOOL: s->kind = Scalar::Boolean; s->boolean = v.boolVal; return true;
        case VT_BSTR:
            s->kind = Scalar::Text;
            s->text = v.bstrVal ? v.bstrVal : u"";
            s->textLength = SysStringLen(v.bstrVal);
            return true;
        case VT_ERROR: s->kind = Scalar::Error; s->error = v.scode; return true;
        default:
            return false;
    }
}

// Rounds half to even without depending on the floating-point environment.
double RoundHalfEven(double x) {
    double floor = std::floor(x);
    double diff = x - floor;  // exact for finite doubles
    if (diff > 0.5) return floor + 1.0;
    if (diff < 0.5) return floor;
    return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

struct IntegerRange {
    long long min;
    long long max;
    unsigned bits;  // width, for the two's-complement view of a boolean
    bool isSigned;
};

bool IntegerTarget(VARTYPE vt, IntegerRange* range) {
    switch (vt) {
        case VT_I1: *range = {-128, 127, 8, true}; return true;
        case VT_UI1: *range = {0, 255, 8, false}; return true;
        case VT_I2: *range = {-32768, 32767, 16, true}; return true;
        case VT_UI2: *range = {0, 65535, 16, false}; return true;
        case VT_I4: case VT_INT: *range = {INT32_MIN, INT32_MAX, 32, true}; return true;
        case VT_UI4: case VT_UINT: *range = {0, UINT32_MAX, 32, false}; return true;
        default: return false;
    }
}

HRESULT RealToInteger(double x, const IntegerRange& range, long long* out) {
    if (std::isnan(x)) return DISP_E_OVERFLOW;
    double r = RoundHalfEven(x);
    if (r < static_cast<double>(range.min) || r > static_cast<double>(range.max)) return DISP_E_OVERFLOW;
    *out = static_cast<long long>(r);
    return S_OK;
}

void StoreInteger(VARIANT* v, VARTYPE vt, long long value) {
    v->vt = vt;
    switch (vt) {
        case VT_I1: v->cVal = static_cast<CHAR>(value); break;
        case VT_UI1: v->bVal = static_cast<BYTE>(value); break;
        case VT_I2: v->iVal = static_cast<SHORT>(value); break;
        case VT_UI2: v->uiVal = static_cast<USHORT>(value); break;
        case VT_I4: v->lVal = static_cast<LONG>(value); break;
        case VT_INT: v->intVal = static_cast<INT>(value); break;
        case VT_UI4: v->ulVal = static_cast<ULONG>(value); break;
        case VT_UINT: v->uintVal = static_cast<UINT>(value); break;
        default: break;
    }
}

// The number a scalar stands for, for numeric targets. Text is parsed; booleans are their
// 16-bit value (VARIANT_TRUE is -1).
HRESULT ToNumber(const Scalar& s, double* real, long long* integer, bool* isInteger) {
    *isInteger = false;
    switch (s.kind) {
        case Scalar::Empty: *isInteger = true; *integer = 0; return S_OK;
        case Scalar::Integer: *isInteger = true; *integer = s.integer; return S_OK;
        case Scalar::Boolean: *isInteger = true; *integer = s.boolean; return S_OK;
        case Scalar::Real: case Scalar::Date: *real = s.real; return S_OK;
        case Scalar::Text: {
            std::string ascii;
            if (!TrimmedAscii(s.text, s.textLength, &ascii)) return DISP_E_TYPEMISMATCH;
            return ParseNumber(ascii, real);
        }
        case Scalar::Error: return DISP_E_TYPEMISMATCH;
    }
    return DISP_E_TYPEMISMATCH;
}

bool InDateRange(double date) {
    return std::isfinite(date) && date > platform::oleaut::kMinOleDate - 1.0 &&
           date < platform::oleaut::kMaxOleDateExclusive;
}

HRESULT Convert(const Scalar& s, USHORT flags, VARTYPE vt, VARIANT* out) {
    IntegerRange range{};
    if (vt == VT_EMPTY) {
        out->vt = VT_EMPTY;
        return S_OK;
    }
    if (vt == VT_ERROR) {
        if (s.kind == Scalar::Error) {
            out->vt = VT_ERROR;
            out->scode = s.error;
            return S_OK;
        }
        if (s.vt == VT_I4) {
            out->vt = VT_ERROR;
            out->scode = static_cast<SCODE>(s.integer);
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (s.kind == Scalar::Error) {
        if (vt == VT_I4) {
            StoreInteger(out, VT_I4, s.error);
            return S_OK;
        }
        return DISP_E_TYPEMISMATCH;
    }
    if (IntegerTarget(vt, &range)) {
        if (s.kind == Scalar::Boolean && !range.isSigned) {
            // The boolean's bits in the unsigned type: VARIANT_TRUE is 65535 as VT_UI2.
            unsigned long long mask = (1ULL << range.bits) - 1;
            StoreInteger(out, vt, static_cast<long long>(static_cast<unsigned long long>(
                                      static_cast<long long>(s.boolean)) & mask));
            return S_OK;
        }
        double real = 0.0;
        long long integer = 0;
        bool isInteger = false;
        HRESULT hr = ToNumber(s, &real, &integer, &isInteger);
        if (FAILED(hr)) return hr;
        if (!isInteger) {
            hr = RealToInteger(real, range, &integer);
            if (FAILED(hr)) return hr;
        } else if (integer < range.min || integer > range.max) {
            return DISP_E_OVERFLOW;
        }
        StoreInteger(out, vt, integer);
        return S_OK;
    }
    switch (vt) {
        case VT_R4:
        case VT_R8:
        case VT_DATE: {
            double real = 0.0;
            long long integer = 0;
            bool isInteger = false;
            HRESULT hr = S_OK;
            if (vt == VT_DATE && s.kind == Scalar::Text) {
                std::string ascii;
                if (!TrimmedAscii(s.text, s.textLength, &ascii)) return DISP_E_TYPEMISMATCH;
                hr = ParseDate(ascii, &real);
                if (FAILED(hr)) return hr;
            } else {
                hr = ToNumber(s, &real, &integer, &isInteger);
                if (FAILED(hr)) return hr;
                if (isInteger) real = static_cast<double>(integer);
            }
            if (vt == VT_R4) {
                if (std::isfinite(real) && std::fabs(real) > FLT_MAX) return DISP_E_OVERFLOW;
                out->vt = VT_R4;
                out->fltVal = static_cast<float>(real);
            } else if (vt == VT_R8) {
                out->vt = VT_R8;
                out->dblVal = real;
            } else {
                if (!InDateRange(real)) return DISP_E_OVERFLOW;
                out->vt = VT_DATE;
                out->date = real;
            }
            return S_OK;
        }
        case VT_BOOL: {
            VARIANT_BOOL result = VARIANT_FALSE;
            switch (s.kind) {
                case Scalar::Empty: break;
                case Scalar::Integer: result = s.integer != 0 ? VARIANT_TRUE : VARIANT_FALSE; break;
                case Scalar::Real: case Scalar::Date: result = s.real != 0.0 ? VARIANT_TRUE : VARIANT_FALSE; break;
                case Scalar::Boolean: result = s.boolean; break;
                case Scalar::Text: {
                    std::string ascii;
                    if (!TrimmedAscii(s.text, s.textLength, &ascii)) return DISP_E_TYPEMISMATCH;
                    if (EqualsIgnoringCase(ascii, "true")) {
                        result = VARIANT_TRUE;
                    } else if (EqualsIgnoringCase(ascii, "false")) {
                        result = VARIANT_FALSE;
                    } else {
                        double real = 0.0;
                        HRESULT hr = ParseNumber(ascii, &real);
                        if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
                        result = real != 0.0 ? VARIANT_TRUE : VARIANT_FALSE;
                    }
                    break;
                }
                case Scalar::Error: return DISP_E_TYPEMISMATCH;
            }
            out->vt = VT_BOOL;
            out->boolVal = result;
            return S_OK;
        }
        case VT_BSTR: {
            if (s.kind == Scalar::Text) {
                BSTR copy = platform::oleaut::AllocateBstr(s.text, s.textLength);
                if (!copy) return E_OUTOFMEMORY;
                out->vt = VT_BSTR;
                out->bstrVal = copy;
                return S_OK;
            }
            std::string text;
            switch (s.kind) {
                case Scalar::Empty: break;
                case Scalar::Integer: text = std::to_string(s.integer); break;
                case Scalar::Real: text = FormatReal(s.real, s.single ? 7 : 15); break;
                case Scalar::Date: {
                    HRESULT hr = FormatDate(s.real, &text);
                    if (FAILED(hr)) return hr;
                    break;
                }
                case Scalar::Boolean:
                    if (flags & (VARIANT_ALPHABOOL | VARIANT_LOCALBOOL)) {
                        text = s.boolean != 0 ? "True" : "False";
                    } else {
                        text = std::to_string(s.boolean);
                    }
                    break;
                default: return DISP_E_TYPEMISMATCH;
            }
            BSTR bstr = nullptr;
            HRESULT hr = MakeBstr(text, &bstr);
            if (FAILED(hr)) return hr;
            out->vt = VT_BSTR;
            out->bstrVal = bstr;
            return S_OK;
        }
        default:
            return IsKnownTargetType(vt) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
    }
}

HRESULT ChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags, VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    if (!IsHoldableType(pvarSrc->vt)) return DISP_E_BADVARTYPE;
    if (vt & (VT_BYREF | VT_VECTOR | VT_RESERVED)) return DISP_E_BADVARTYPE;
    HRESULT hr = S_OK;
    ScopedVariant result;
    {
        ScopedVariant value;
        hr = Dereference(pvarSrc, &value.v);
        if (SUCCEEDED(hr)) {
            if (value.v.vt == vt) {
                value.MoveTo(&result.v);  // a type converted to itself is a copy
            } else {
                Scalar scalar;
                if (vt & VT_ARRAY) {
                    hr = DISP_E_TYPEMISMATCH;
                } else if (!ReadScalar(value.v, &scalar)) {
                    hr = IsKnownTargetType(vt) ? DISP_E_TYPEMISMATCH : DISP_E_BADVARTYPE;
                } else {
                    hr = Convert(scalar, wFlags, vt, &result.v);
                }
            }
        }
    }
    // The destination is cleared whether or not the conversion worked, unless it is the source,
    // which a failed conversion leaves as it was.
    if (FAILED(hr)) {
        if (pvargDest != pvarSrc) ClearVariant(pvargDest);
        return hr;
    }
    HRESULT cleared = ClearVariant(pvargDest);
    if (FAILED(cleared)) return cleared;
    result.MoveTo(pvargDest);
    return S_OK;
}

}  // namespace

WINOLEAPI_(void) VariantInit(VARIANTARG* pvarg) {
    if (pvarg) pvarg->vt = VT_EMPTY;
}

WINOLEAPI VariantClear(VARIANTARG* pvarg) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("VariantClear", hr)) return hr;
    if (!pvarg) return E_INVALIDARG;
    return ClearVariant(pvarg);
}

WINOLEAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("VariantCopy", hr)) return hr;
    if (!pvargDest || !pvargSrc) return E_INVALIDARG;
    if (!IsHoldableType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    if (pvargDest == pvargSrc) return S_OK;
    // The copy is made before the destination is cleared, so a source that shares the
    // destination's string or object is still alive while it is copied.
    ScopedVariant copy;
    hr = CopyInto(&copy.v, pvargSrc);
    if (FAILED(hr)) return hr;
    hr = ClearVariant(pvargDest);
    if (FAILED(hr)) return hr;
    copy.MoveTo(pvargDest);
    return S_OK;
}

WINOLEAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("VariantCopyInd", hr)) return hr;
    if (!pvarDest || !pvargSrc) return E_INVALIDARG;
    if (!IsHoldableType(pvargSrc->vt)) return DISP_E_BADVARTYPE;
    ScopedVariant value;
    hr = Dereference(pvargSrc, &value.v);
    if (FAILED(hr)) return hr;
    hr = ClearVariant(pvarDest);
    if (FAILED(hr)) return hr;
    value.MoveTo(pvarDest);
    return S_OK;
}

WINOLEAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                            VARTYPE vt) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("VariantChangeType", hr)) return hr;
    return ChangeType(pvargDest, pvarSrc, wFlags, vt);
}

WINOLEAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID,
                              USHORT wFlags, VARTYPE vt) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("VariantChangeTypeEx", hr)) return hr;
    return ChangeType(pvargDest, pvarSrc, wFlags, vt);
}
