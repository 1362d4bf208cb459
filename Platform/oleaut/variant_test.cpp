#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <windows.h>

#include "platform_testing.h"

namespace {

constexpr double kSecond = 1.0 / 86400.0;

// An object that only counts its references.
class CountedObject final : public IDispatch {
public:
    ULONG refs = 1;
    bool reachedZero = false;
    STDMETHODIMP QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs; }
    STDMETHODIMP_(ULONG) Release() override {
        if (--refs == 0) reachedZero = true;
        return refs;
    }
    STDMETHODIMP GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
    STDMETHODIMP Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
        return E_NOTIMPL;
    }
};

// A VARIANT that frees itself.
struct Var {
    VARIANT v;
    Var() { VariantInit(&v); }
    ~Var() { VariantClear(&v); }
    Var(const Var&) = delete;
    Var& operator=(const Var&) = delete;
    VARIANT* operator&() { return &v; }
};

VARIANT I2(SHORT x) { VARIANT v; v.vt = VT_I2; v.iVal = x; return v; }
VARIANT I4(LONG x) { VARIANT v; v.vt = VT_I4; v.lVal = x; return v; }
VARIANT UI2(USHORT x) { VARIANT v; v.vt = VT_UI2; v.uiVal = x; return v; }
VARIANT R4(float x) { VARIANT v; v.vt = VT_R4; v.fltVal = x; return v; }
VARIANT R8(double x) { VARIANT v; v.vt = VT_R8; v.dblVal = x; return v; }
VARIANT Date(double x) { VARIANT v; v.vt = VT_DATE; v.date = x; return v; }
VARIANT Bool(VARIANT_BOOL x) { VARIANT v; v.vt = VT_BOOL; v.boolVal = x; return v; }
VARIANT Error(SCODE x) { VARIANT v; v.vt = VT_ERROR; v.scode = x; return v; }
VARIANT Empty() { VARIANT v; v.vt = VT_EMPTY; v.llVal = 0; return v; }

// A source holding text; the table keeps the text, the test makes the BSTR.
struct Source {
    VARIANT value;
    const char16_t* text = nullptr;  // VT_BSTR source when set
    size_t textLength = 0;
};
Source S(VARIANT v) { return Source{v, nullptr, 0}; }
Source T(std::u16string_view text) { return Source{Empty(), text.data(), text.size()}; }

void MakeSource(const Source& source, VARIANT* v) {
    if (source.text) {
        v->vt = VT_BSTR;
        v->bstrVal = SysAllocStringLen(source.text, static_cast<UINT>(source.textLength));
    } else {
        *v = source.value;
    }
}

// Expected result: a code and, on success, the value (text for VT_BSTR).
struct Expect {
    HRESULT hr;
    double number = 0.0;   // integers, reals, dates, booleans, error codes
    std::u16string text;   // VT_BSTR
};
Expect Is(double number) { return Expect{S_OK, number, {}}; }
Expect Text(std::u16string text) { return Expect{S_OK, 0.0, std::move(text)}; }
Expect Fails(HRESULT hr) { return Expect{hr, 0.0, {}}; }

double NumberOf(const VARIANT& v) {
    switch (v.vt) {
        case VT_I2: return v.iVal;
        case VT_I4: return v.lVal;
        case VT_UI2: return v.uiVal;
        case VT_I1: return v.cVal;
        case VT_UI1: return v.bVal;
        case VT_UI4: return v.ulVal;
        case VT_INT: return v.intVal;
        case VT_UINT: return v.uintVal;
        case VT_R4: return v.fltVal;
        case VT_R8: return v.dblVal;
        case VT_DATE: return v.date;
        case VT_BOOL: return v.boolVal;
        case VT_ERROR: return static_cast<double>(v.scode);
        case VT_EMPTY: return 0.0;
        default: return std::numeric_limits<double>::quiet_NaN();
    }
}

std::string Describe(const Source& s, VARTYPE vt) {
    std::string text = "from ";
    if (s.text) {
        text += "text \"";
        for (size_t i = 0; i < s.textLength; ++i) text += s.text[i] < 0x80 && s.text[i] ? char(s.text[i]) : '?';
        text += "\"";
    } else {
        text += "vt " + std::to_string(s.value.vt) + " value " + std::to_string(NumberOf(s.value));
    }
    return text + " to vt " + std::to_string(vt);
}

struct ConversionCase {
    Source source;
    VARTYPE vt;
    Expect expect;
    USHORT flags = 0;
};

void RunCases(const ConversionCase* cases, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const ConversionCase& c = cases[i];
        SCOPED_TRACE(Describe(c.source, c.vt));
        Var src;
        MakeSource(c.source, &src);
        Var dest;
        HRESULT hr = VariantChangeType(&dest, &src, c.flags, c.vt);
        ASSERT_EQ(hr, c.expect.hr);
        if (FAILED(hr)) {
            EXPECT_EQ(dest.v.vt, VT_EMPTY);
            continue;
        }
        ASSERT_EQ(dest.v.vt, c.vt);
        if (c.vt == VT_BSTR) {
            ASSERT_NE(dest.v.bstrVal, nullptr);
            EXPECT_EQ(std::u16string(dest.v.bstrVal, SysStringLen(dest.v.bstrVal)), c.expect.text);
        } else {
            EXPECT_EQ(NumberOf(dest.v), c.expect.number);
        }
    }
}

#define RUN_CASES(table) RunCases(table, sizeof(table) / sizeof(table[0]))

// ---- Conversions -----------------------------------------------------------------------------

TEST(VariantChangeType, NarrowingRoundsHalfToEven) {
    const ConversionCase cases[] = {
        {S(R8(2.5)), VT_I4, Is(2)},          {S(R8(3.5)), VT_I4, Is(4)},
        {S(R8(-2.5)), VT_I4, Is(-2)},        {S(R8(-3.5)), VT_I4, Is(-4)},
        {S(R8(0.5)), VT_I4, Is(0)},          {S(R8(1.5)), VT_I4, Is(2)},
        {S(R8(2.4999999)), VT_I4, Is(2)},    {S(R8(2.5000001)), VT_I4, Is(3)},
        {S(R8(-0.5)), VT_I4, Is(0)},         {S(R8(-1.5)), VT_I4, Is(-2)},
        {S(R8(-1.4)), VT_I2, Is(-1)},        {S(R8(32766.5)), VT_I2, Is(32766)},
        {S(R8(-32768.5)), VT_I2, Is(-32768)},
        {S(R4(2.5f)), VT_I2, Is(2)},         {S(R4(-3.5f)), VT_I2, Is(-4)},
        {S(Date(2.5)), VT_I4, Is(2)},        {S(Date(3.5)), VT_I4, Is(4)},
        {S(R8(65534.5)), VT_UI2, Is(65534)}, {S(R8(-0.5)), VT_UI2, Is(0)},
        {S(R8(0.5)), VT_UI2, Is(0)},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, IntegerLimits) {
    const ConversionCase cases[] = {
        {S(I4(32767)), VT_I2, Is(32767)},
        {S(I4(32768)), VT_I2, Fails(DISP_E_OVERFLOW)},
        {S(I4(-32768)), VT_I2, Is(-32768)},
        {S(I4(-32769)), VT_I2, Fails(DISP_E_OVERFLOW)},
        {S(I4(65535)), VT_UI2, Is(65535)},
        {S(I4(65536)), VT_UI2, Fails(DISP_E_OVERFLOW)},
        {S(I4(-1)), VT_UI2, Fails(DISP_E_OVERFLOW)},
        {S(I2(-1)), VT_UI2, Fails(DISP_E_OVERFLOW)},
        {S(UI2(65535)), VT_I2, Fails(DISP_E_OVERFLOW)},
        {S(UI2(32767)), VT_I2, Is(32767)},
        {S(UI2(65535)), VT_I4, Is(65535)},
        {S(I2(-5)), VT_I4, Is(-5)},
        {S(R8(2147483647.0)), VT_I4, Is(2147483647)},
        {S(R8(2147483647.49)), VT_I4, Is(2147483647)},
        {S(R8(2147483647.5)), VT_I4, Fails(DISP_E_OVERFLOW)},
        {S(R8(-2147483648.0)), VT_I4, Is(-2147483648.0)},
        {S(R8(-2147483648.5)), VT_I4, Is(-2147483648.0)},  // the even neighbour fits
        {S(R8(-2147483648.51)), VT_I4, Fails(DISP_E_OVERFLOW)},
        {S(R8(1e300)), VT_I4, Fails(DISP_E_OVERFLOW)},
        {S(R8(std::numeric_limits<double>::quiet_NaN())), VT_I4, Fails(DISP_E_OVERFLOW)},
        {S(R8(32767.5)), VT_I2, Fails(DISP_E_OVERFLOW)},
        {S(R8(65535.5)), VT_UI2, Fails(DISP_E_OVERFLOW)},
        {S(R8(-0.51)), VT_UI2, Fails(DISP_E_OVERFLOW)},
        {S(R8(1e39)), VT_R4, Fails(DISP_E_OVERFLOW)},
        {S(R8(-1e39)), VT_R4, Fails(DISP_E_OVERFLOW)},
        {S(R8(0.5)), VT_R4, Is(0.5)},
        {S(I4(16777217)), VT_R4, Is(16777216.0)},
        {S(I4(-7)), VT_R8, Is(-7)},
        {S(R4(0.1f)), VT_R8, Is(static_cast<double>(0.1f))},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, OtherIntegerWidths) {
    const ConversionCase cases[] = {
        {S(I4(255)), VT_UI1, Is(255)},
        {S(I4(256)), VT_UI1, Fails(DISP_E_OVERFLOW)},
        {S(R8(-128.5)), VT_I1, Is(-128)},
        {S(R8(127.5)), VT_I1, Fails(DISP_E_OVERFLOW)},
        {S(I4(-1)), VT_UI4, Fails(DISP_E_OVERFLOW)},
        {S(R8(4294967295.0)), VT_UI4, Is(4294967295.0)},
        {S(R8(4294967295.5)), VT_UINT, Fails(DISP_E_OVERFLOW)},
        {S(Bool(VARIANT_TRUE)), VT_UI1, Is(255)},
        {S(Bool(VARIANT_TRUE)), VT_UI4, Is(4294967295.0)},
        {S(Bool(VARIANT_TRUE)), VT_INT, Is(-1)},
        {T(u"-5"), VT_INT, Is(-5)},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, Booleans) {
    const ConversionCase cases[] = {
        {S(Bool(VARIANT_TRUE)), VT_I2, Is(-1)},
        {S(Bool(VARIANT_TRUE)), VT_I4, Is(-1)},
        {S(Bool(VARIANT_TRUE)), VT_UI2, Is(65535)},
        {S(Bool(VARIANT_TRUE)), VT_R8, Is(-1)},
        {S(Bool(VARIANT_TRUE)), VT_R4, Is(-1)},
        {S(Bool(VARIANT_TRUE)), VT_DATE, Is(-1)},
        {S(Bool(VARIANT_FALSE)), VT_UI2, Is(0)},
        {S(Bool(VARIANT_FALSE)), VT_I4, Is(0)},
        {S(Bool(1)), VT_I4, Is(1)},  // a stored 1 is its own value, not VARIANT_TRUE
        {S(Bool(1)), VT_BOOL, Is(1)},
        {S(I4(5)), VT_BOOL, Is(VARIANT_TRUE)},
        {S(I4(-5)), VT_BOOL, Is(VARIANT_TRUE)},
        {S(I4(0)), VT_BOOL, Is(VARIANT_FALSE)},
        {S(UI2(65535)), VT_BOOL, Is(VARIANT_TRUE)},
        {S(R8(0.1)), VT_BOOL, Is(VARIANT_TRUE)},
        {S(R8(0.0)), VT_BOOL, Is(VARIANT_FALSE)},
        {S(Date(0.0)), VT_BOOL, Is(VARIANT_FALSE)},
        {S(Bool(VARIANT_TRUE)), VT_BSTR, Text(u"-1")},
        {S(Bool(VARIANT_FALSE)), VT_BSTR, Text(u"0")},
        {S(Bool(VARIANT_TRUE)), VT_BSTR, Text(u"True"), VARIANT_ALPHABOOL},
        {S(Bool(VARIANT_FALSE)), VT_BSTR, Text(u"False"), VARIANT_ALPHABOOL},
        {S(Bool(VARIANT_TRUE)), VT_BSTR, Text(u"True"), VARIANT_LOCALBOOL},
        {T(u"True"), VT_BOOL, Is(VARIANT_TRUE)},
        {T(u" false "), VT_BOOL, Is(VARIANT_FALSE)},
        {T(u"TRUE"), VT_BOOL, Is(VARIANT_TRUE)},
        {T(u"0"), VT_BOOL, Is(VARIANT_FALSE)},
        {T(u"-1"), VT_BOOL, Is(VARIANT_TRUE)},
        {T(u"2.5"), VT_BOOL, Is(VARIANT_TRUE)},
        {T(u"yes"), VT_BOOL, Fails(DISP_E_TYPEMISMATCH)},
        {T(u""), VT_BOOL, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"Truex"), VT_BOOL, Fails(DISP_E_TYPEMISMATCH)},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, TextToNumbers) {
    static const char16_t kEmbeddedNull[] = {u'1', 0, u'2'};
    const ConversionCase cases[] = {
        {T(u"42"), VT_I4, Is(42)},
        {T(u"  42\t"), VT_I4, Is(42)},
        {T(u"-7"), VT_I4, Is(-7)},
        {T(u"+7"), VT_I2, Is(7)},
        {T(u"1e3"), VT_I4, Is(1000)},
        {T(u"2.5"), VT_I4, Is(2)},
        {T(u"3.5"), VT_I4, Is(4)},
        {T(u"-2.5"), VT_I2, Is(-2)},
        {T(u".5"), VT_R8, Is(0.5)},
        {T(u"5."), VT_R8, Is(5.0)},
        {T(u"0.1"), VT_R8, Is(0.1)},
        {T(u"-1.25E-2"), VT_R8, Is(-0.0125)},
        {T(u"1e-400"), VT_R8, Is(0.0)},
        {T(u"2147483647"), VT_I4, Is(2147483647)},
        {T(u"2147483648"), VT_I4, Fails(DISP_E_OVERFLOW)},
        {T(u"99999999999"), VT_I4, Fails(DISP_E_OVERFLOW)},
        {T(u"40000"), VT_I2, Fails(DISP_E_OVERFLOW)},
        {T(u"65535"), VT_UI2, Is(65535)},
        {T(u"-1"), VT_UI2, Fails(DISP_E_OVERFLOW)},
        {T(u"1e400"), VT_R8, Fails(DISP_E_OVERFLOW)},
        {T(u"1e39"), VT_R4, Fails(DISP_E_OVERFLOW)},
        {T(u""), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"   "), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"abc"), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"12abc"), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"1,000"), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"1 000"), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"0x10"), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"&H10"), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"1,5"), VT_R8, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"."), VT_R8, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"1e"), VT_R8, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"--1"), VT_R8, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"inf"), VT_R8, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"nan"), VT_R8, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"$5"), VT_R8, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"\uFF11"), VT_I4, Fails(DISP_E_TYPEMISMATCH)},  // a full-width digit
        {T(std::u16string_view(kEmbeddedNull, 3)), VT_I4, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"12"), VT_ERROR, Fails(DISP_E_TYPEMISMATCH)},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, NumbersToText) {
    const ConversionCase cases[] = {
        {S(I4(-123)), VT_BSTR, Text(u"-123")},
        {S(I4(2147483647)), VT_BSTR, Text(u"2147483647")},
        {S(I2(-32768)), VT_BSTR, Text(u"-32768")},
        {S(UI2(65535)), VT_BSTR, Text(u"65535")},
        {S(R8(0.5)), VT_BSTR, Text(u"0.5")},
        {S(R8(-2.25)), VT_BSTR, Text(u"-2.25")},
        {S(R8(1e20)), VT_BSTR, Text(u"1E+20")},
        {S(R8(1e-5)), VT_BSTR, Text(u"1E-05")},
        {S(R8(0.0001)), VT_BSTR, Text(u"0.0001")},
        {S(R8(1.0 / 3.0)), VT_BSTR, Text(u"0.333333333333333")},
        {S(R8(0.1 + 0.2)), VT_BSTR, Text(u"0.3")},
        {S(R8(123456789012345.0)), VT_BSTR, Text(u"123456789012345")},
        {S(R8(1234567890123456.0)), VT_BSTR, Text(u"1.23456789012346E+15")},
        {S(R8(-0.0)), VT_BSTR, Text(u"0")},
        {S(R4(1.1f)), VT_BSTR, Text(u"1.1")},
        {S(R4(16777216.0f)), VT_BSTR, Text(u"1.677722E+07")},
        {S(Empty()), VT_BSTR, Text(u"")},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, TextNumbersRoundTrip) {
    const double values[] = {0.1, -2.5, 12345.678, 1e-7, 6.02214076e23, 2147483647.0};
    for (double value : values) {
        Var v;
        v.v = R8(value);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_R8), S_OK);
        EXPECT_NEAR(v.v.dblVal, value, std::fabs(value) * 1e-14) << value;
    }
}

TEST(VariantChangeType, Dates) {
    const ConversionCase cases[] = {
        {S(Date(36526.0)), VT_BSTR, Text(u"2000-01-01")},
        {S(Date(36526.5)), VT_BSTR, Text(u"2000-01-01 12:00:00")},
        {S(Date(2.5)), VT_BSTR, Text(u"1900-01-01 12:00:00")},
        {S(Date(0.5)), VT_BSTR, Text(u"12:00:00")},
        {S(Date(0.0)), VT_BSTR, Text(u"00:00:00")},
        {S(Date(-1.25)), VT_BSTR, Text(u"1899-12-29 06:00:00")},
        {S(Date(-657434.0)), VT_BSTR, Text(u"0100-01-01")},
        {S(Date(2958465.0 + 86399 * kSecond)), VT_BSTR, Text(u"9999-12-31 23:59:59")},
        {S(Date(1e10)), VT_BSTR, Fails(DISP_E_OVERFLOW)},
        {T(u"2000-01-01"), VT_DATE, Is(36526.0)},
        {T(u" 2000-01-01 12:00:00 "), VT_DATE, Is(36526.5)},
        {T(u"2000-01-01T12:00"), VT_DATE, Is(36526.5)},
        {T(u"2000-1-1 6:00"), VT_DATE, Is(36526.25)},
        {T(u"12:00:00"), VT_DATE, Is(0.5)},
        {T(u"1899-12-29 06:00:00"), VT_DATE, Is(-1.25)},
        {T(u"0100-01-01"), VT_DATE, Is(-657434.0)},
        {T(u"2001-02-29"), VT_DATE, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"2000-13-01"), VT_DATE, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"2000-01-01 24:00"), VT_DATE, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"2000-01-01 12"), VT_DATE, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"1/1/2000"), VT_DATE, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"36526"), VT_DATE, Fails(DISP_E_TYPEMISMATCH)},
        {T(u""), VT_DATE, Fails(DISP_E_TYPEMISMATCH)},
        {T(u"0099-12-31"), VT_DATE, Fails(DISP_E_OVERFLOW)},
        {S(R8(36526.5)), VT_DATE, Is(36526.5)},
        {S(I4(-657434)), VT_DATE, Is(-657434.0)},
        {S(I4(-657435)), VT_DATE, Fails(DISP_E_OVERFLOW)},
        {S(R8(2958466.0)), VT_DATE, Fails(DISP_E_OVERFLOW)},
        {S(R8(1e7)), VT_DATE, Fails(DISP_E_OVERFLOW)},
        {S(Date(-1.25)), VT_R8, Is(-1.25)},
        {S(Date(36526.5)), VT_I2, Fails(DISP_E_OVERFLOW)},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, DateTextRoundTripsToTheSecond) {
    for (double date = -657434.0; date < 2958465.0; date += 7777.123456) {
        double whole = std::trunc(date);
        // A date at a whole second.
        double seconds = std::round(std::fabs(date - whole) * 86400.0);
        double exact = whole >= 0 ? whole + seconds * kSecond : whole - seconds * kSecond;
        Var v;
        v.v = Date(exact);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_BSTR), S_OK) << exact;
        std::u16string text(v.v.bstrVal);
        ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_DATE), S_OK) << exact;
        EXPECT_NEAR(v.v.date, exact, 0.001 * kSecond) << exact;
    }
}

TEST(VariantChangeType, EmptyIsZeroEmptyTextFalseAndDayZero) {
    const ConversionCase cases[] = {
        {S(Empty()), VT_I2, Is(0)},   {S(Empty()), VT_I4, Is(0)},     {S(Empty()), VT_UI2, Is(0)},
        {S(Empty()), VT_R4, Is(0)},   {S(Empty()), VT_R8, Is(0)},     {S(Empty()), VT_DATE, Is(0)},
        {S(Empty()), VT_BOOL, Is(VARIANT_FALSE)}, {S(Empty()), VT_BSTR, Text(u"")},
        {S(Empty()), VT_EMPTY, Is(0)}, {S(I4(9)), VT_EMPTY, Is(0)},
        {S(Empty()), VT_ERROR, Fails(DISP_E_TYPEMISMATCH)},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, ErrorsConvertOnlyToThemselvesAndI4) {
    const SCODE code = static_cast<SCODE>(0x8007000E);
    const ConversionCase cases[] = {
        {S(Error(code)), VT_ERROR, Is(code)},
        {S(Error(code)), VT_I4, Is(code)},
        {S(I4(code)), VT_ERROR, Is(code)},
        {S(Error(code)), VT_I2, Fails(DISP_E_TYPEMISMATCH)},
        {S(Error(code)), VT_UI2, Fails(DISP_E_TYPEMISMATCH)},
        {S(Error(code)), VT_R8, Fails(DISP_E_TYPEMISMATCH)},
        {S(Error(code)), VT_BSTR, Fails(DISP_E_TYPEMISMATCH)},
        {S(Error(code)), VT_BOOL, Fails(DISP_E_TYPEMISMATCH)},
        {S(Error(code)), VT_DATE, Fails(DISP_E_TYPEMISMATCH)},
        {S(I2(5)), VT_ERROR, Fails(DISP_E_TYPEMISMATCH)},
        {S(R8(5)), VT_ERROR, Fails(DISP_E_TYPEMISMATCH)},
        {S(Bool(VARIANT_TRUE)), VT_ERROR, Fails(DISP_E_TYPEMISMATCH)},
    };
    RUN_CASES(cases);
}

TEST(VariantChangeType, BadAndUnsupportedTypes) {
    Var src;
    src.v = I4(1);
    Var dest;
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, 0x7F), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4 | VT_BYREF), DISP_E_BADVARTYPE);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_CY), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_UNKNOWN), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_ARRAY | VT_I4), DISP_E_TYPEMISMATCH);
    src.v.vt = 0x7F;
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), DISP_E_BADVARTYPE);
    src.v.vt = VT_NULL;
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), DISP_E_TYPEMISMATCH);
    EXPECT_EQ(VariantChangeType(nullptr, &src, 0, VT_I4), E_INVALIDARG);
    EXPECT_EQ(VariantChangeType(&dest, nullptr, 0, VT_I4), E_INVALIDARG);
}

TEST(VariantChangeType, ByReferenceSources) {
    double real = 3.5;
    BSTR text = SysAllocString(OLESTR(" 41 "));
    VARIANT inner = I4(-8);
    VARIANT_BOOL boolean = VARIANT_TRUE;

    Var dest;
    VARIANT ref;
    ref.vt = VT_BYREF | VT_R8;
    ref.pdblVal = &real;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_I4), S_OK);
    EXPECT_EQ(dest.v.vt, VT_I4);
    EXPECT_EQ(dest.v.lVal, 4);

    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &text;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_I2), S_OK);
    EXPECT_EQ(dest.v.iVal, 41);
    // To the same type: an owned copy, the referenced string untouched.
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_BSTR), S_OK);
    ASSERT_EQ(dest.v.vt, VT_BSTR);
    EXPECT_NE(dest.v.bstrVal, text);
    EXPECT_EQ(std::u16string(dest.v.bstrVal), u" 41 ");

    ref.vt = VT_BYREF | VT_VARIANT;
    ref.pvarVal = &inner;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(dest.v.bstrVal), u"-8");

    ref.vt = VT_BYREF | VT_BOOL;
    ref.pboolVal = &boolean;
    ASSERT_EQ(VariantChangeType(&dest, &ref, 0, VT_UI2), S_OK);
    EXPECT_EQ(dest.v.uiVal, 65535);

    // In place: the reference becomes the value; what it referred to stays.
    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &text;
    ASSERT_EQ(VariantChangeType(&ref, &ref, 0, VT_R8), S_OK);
    EXPECT_EQ(ref.vt, VT_R8);
    EXPECT_EQ(ref.dblVal, 41.0);
    EXPECT_EQ(std::u16string(text), u" 41 ");

    ref.vt = VT_BYREF | VT_I4;
    ref.plVal = nullptr;
    EXPECT_EQ(VariantChangeType(&dest, &ref, 0, VT_I2), E_INVALIDARG);
    SysFreeString(text);
}

TEST(VariantChangeType, InPlaceConversionFreesTheOldValueOnlyOnSuccess) {
    Var v;
    v.v.vt = VT_BSTR;
    v.v.bstrVal = SysAllocString(OLESTR("42"));
    ASSERT_EQ(VariantChangeType(&v, &v, 0, VT_I4), S_OK);  // the sanitizer build catches a leak
    EXPECT_EQ(v.v.vt, VT_I4);
    EXPECT_EQ(v.v.lVal, 42);

    v.v.vt = VT_BSTR;
    v.v.bstrVal = SysAllocString(OLESTR("not a number"));
    EXPECT_EQ(VariantChangeType(&v, &v, 0, VT_I4), DISP_E_TYPEMISMATCH);
    ASSERT_EQ(v.v.vt, VT_BSTR);
    EXPECT_EQ(std::u16string(v.v.bstrVal), u"not a number");
}

TEST(VariantChangeType, DestinationIsClearedFirst) {
    CountedObject object;
    Var src;
    src.v = R8(7.0);
    Var dest;
    dest.v.vt = VT_DISPATCH;
    dest.v.pdispVal = &object;
    object.AddRef();
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), S_OK);
    EXPECT_EQ(object.refs, 1u);
    EXPECT_EQ(dest.v.lVal, 7);

    // Cleared also when the conversion fails.
    dest.v.vt = VT_BSTR;
    dest.v.bstrVal = SysAllocString(OLESTR("old"));
    src.v = R8(1e10);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_I4), DISP_E_OVERFLOW);
    EXPECT_EQ(dest.v.vt, VT_EMPTY);
}

TEST(VariantChangeType, FaultInjectionFailsBeforeAnyChange) {
    Var src;
    src.v = I4(3);
    Var dest;
    dest.v = I2(9);
    platform::testing::FailNthCall("VariantChangeType", 1, E_OUTOFMEMORY);
    EXPECT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), E_OUTOFMEMORY);
    EXPECT_EQ(dest.v.vt, VT_I2);
    EXPECT_EQ(dest.v.iVal, 9);
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), S_OK);
    EXPECT_EQ(std::u16string(dest.v.bstrVal), u"3");
}

// ---- Lifetime and copies ---------------------------------------------------------------------

TEST(Variant, LayoutMatchesTheComBoundary) {
    VARIANT v;
    std::memset(&v, 0, sizeof v);
    v.vt = VT_DECIMAL;
    v.decVal.scale = 2;
    v.decVal.Lo64 = 12345;
    // DECIMAL overlays the whole VARIANT, its reserved word being the type.
    EXPECT_EQ(v.vt, VT_DECIMAL);
    EXPECT_EQ(reinterpret_cast<BYTE*>(&v)[2], 2);
    EXPECT_EQ(v.llVal, 12345);
    EXPECT_EQ(V_VT(&v), VT_DECIMAL);
    V_I4(&v) = 5;
    EXPECT_EQ(v.lVal, 5);
}

TEST(Variant, CopyDuplicatesStringsAndAddsReferences) {
    CountedObject object;
    const OLECHAR withNull[] = {u'x', 0, u'y'};
    Var src;
    src.v.vt = VT_BSTR;
    src.v.bstrVal = SysAllocStringLen(withNull, 3);
    Var dest;
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    ASSERT_EQ(dest.v.vt, VT_BSTR);
    EXPECT_NE(dest.v.bstrVal, src.v.bstrVal);
    ASSERT_EQ(SysStringLen(dest.v.bstrVal), 3u);
    EXPECT_EQ(std::memcmp(dest.v.bstrVal, withNull, sizeof withNull), 0);

    // The destination's string is freed (the sanitizer build catches a leak), the object held.
    src.v.vt = VT_BSTR;
    VariantClear(&src);
    src.v.vt = VT_UNKNOWN;
    src.v.punkVal = &object;
    object.AddRef();
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    EXPECT_EQ(dest.v.punkVal, &object);
    EXPECT_EQ(object.refs, 3u);
    EXPECT_EQ(VariantClear(&dest), S_OK);
    EXPECT_EQ(dest.v.vt, VT_EMPTY);
    EXPECT_EQ(object.refs, 2u);

    src.v.vt = VT_DISPATCH;
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    EXPECT_EQ(object.refs, 3u);
    VariantClear(&dest);
    VariantClear(&src);
    EXPECT_EQ(object.refs, 1u);

    // A null string stays null.
    src.v.vt = VT_BSTR;
    src.v.bstrVal = nullptr;
    ASSERT_EQ(VariantCopy(&dest, &src), S_OK);
    EXPECT_EQ(dest.v.vt, VT_BSTR);
    EXPECT_EQ(dest.v.bstrVal, nullptr);
}

TEST(Variant, CopyHoldsTheSourceBeforeClearingTheDestination) {
    // The destination holds the only counted reference; the source borrows the same object.
    CountedObject object;
    Var dest;
    dest.v.vt = VT_UNKNOWN;
    dest.v.punkVal = &object;
    VARIANT borrowed;
    borrowed.vt = VT_UNKNOWN;
    borrowed.punkVal = &object;
    ASSERT_EQ(VariantCopy(&dest, &borrowed), S_OK);
    EXPECT_FALSE(object.reachedZero);
    EXPECT_EQ(object.refs, 1u);
    EXPECT_EQ(dest.v.punkVal, &object);
    VariantClear(&dest);
    EXPECT_TRUE(object.reachedZero);
}

TEST(Variant, ReferencesAreCopiedShallowly) {
    CountedObject object;
    IUnknown* unknown = &object;
    BSTR text = SysAllocString(OLESTR("shared"));
    VARIANT ref;
    ref.vt = VT_BYREF | VT_UNKNOWN;
    ref.ppunkVal = &unknown;
    Var dest;
    ASSERT_EQ(VariantCopy(&dest, &ref), S_OK);
    EXPECT_EQ(dest.v.vt, VT_BYREF | VT_UNKNOWN);
    EXPECT_EQ(dest.v.ppunkVal, &unknown);
    EXPECT_EQ(object.refs, 1u);
    EXPECT_EQ(VariantClear(&dest), S_OK);
    EXPECT_EQ(object.refs, 1u);

    ref.vt = VT_BYREF | VT_BSTR;
    ref.pbstrVal = &text;
    ASSERT_EQ(VariantCopy(&dest, &ref), S_OK);
    EXPECT_EQ(dest.v.pbstrVal, &text);
    VariantClear(&dest);
    EXPECT_EQ(std::u16string(text), u"shared");  // not freed by the clear

    // VariantCopyInd follows the reference.
    ASSERT_EQ(VariantCopyInd(&dest, &ref), S_OK);
    ASSERT_EQ(dest.v.vt, VT_BSTR);
    EXPECT_NE(dest.v.bstrVal, text);
    EXPECT_EQ(std::u16string(dest.v.bstrVal), u"shared");
    ref.vt = VT_BYREF | VT_DISPATCH;
    IDispatch* dispatch = &object;
    ref.ppdispVal = &dispatch;
    ASSERT_EQ(VariantCopyInd(&dest, &ref), S_OK);
    EXPECT_EQ(dest.v.vt, VT_DISPATCH);
    EXPECT_EQ(object.refs, 2u);
    VariantClear(&dest);
    EXPECT_EQ(object.refs, 1u);
    SysFreeString(text);
}

TEST(Variant, BadTypesAreRefusedAndLeaveTheDestination) {
    const VARTYPE bad[] = {0x7F, VT_ARRAY | VT_I4, VT_VECTOR | VT_I4, VT_VARIANT, VT_RECORD,
                           VT_BYREF | VT_EMPTY, VT_LPSTR};
    for (VARTYPE vt : bad) {
        Var dest;
        dest.v = I4(77);
        VARIANT src;
        src.vt = vt;
        src.llVal = 0;
        EXPECT_EQ(VariantCopy(&dest, &src), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(dest.v.vt, VT_I4) << vt;
        EXPECT_EQ(dest.v.lVal, 77) << vt;
        EXPECT_EQ(VariantClear(&src), DISP_E_BADVARTYPE) << vt;
        EXPECT_EQ(src.vt, vt);
    }
}

TEST(Variant, ScalarsCopyAsTheyAre) {
    const VARIANT scalars[] = {I2(-3), I4(123456), UI2(65535), R4(1.5f), R8(-2.75),
                               Date(36526.5), Bool(VARIANT_TRUE), Error(E_FAIL), Empty()};
    for (const VARIANT& scalar : scalars) {
        Var dest;
        ASSERT_EQ(VariantCopy(&dest, &scalar), S_OK);
        EXPECT_EQ(std::memcmp(&dest.v, &scalar, sizeof(VARIANT)), 0) << scalar.vt;
    }
}

TEST(Variant, FaultInjection) {
    Var src;
    src.v = I4(1);
    Var dest;
    platform::testing::FailNthCall("VariantCopy", 1, E_OUTOFMEMORY);
    EXPECT_EQ(VariantCopy(&dest, &src), E_OUTOFMEMORY);
    EXPECT_EQ(dest.v.vt, VT_EMPTY);
    platform::testing::FailNthCall("VariantClear", 1, E_FAIL);
    EXPECT_EQ(VariantClear(&src), E_FAIL);
    EXPECT_EQ(src.v.vt, VT_I4);
    platform::testing::FailNthCall("VariantCopyInd", 1, E_OUTOFMEMORY);
    EXPECT_EQ(VariantCopyInd(&dest, &src), E_OUTOFMEMORY);
    // Internal string copies do not count as the public allocation functions.
    platform::testing::ReturnNullOnNthCall("SysAllocStringLen", 1, 0);
    platform::testing::ReturnNullOnNthCall("SysAllocStringByteLen", 1, 0);
    src.v = I4(5);
    ASSERT_EQ(VariantChangeType(&dest, &src, 0, VT_BSTR), S_OK);
    Var copy;
    ASSERT_EQ(VariantCopy(&copy, &dest), S_OK);
    EXPECT_EQ(std::u16string(copy.v.bstrVal), u"5");
}

}  // namespace
