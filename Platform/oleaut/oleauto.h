// OLE Automation: BSTR, VARIANT, IDispatch's identity, variant conversion and OLE dates.
//
// BSTR: a UTF-16 string preceded by a 32-bit length in bytes (not counting the terminator) and
// followed by one null OLECHAR. The BSTR pointer addresses the first character. A null BSTR is
// the empty string for every function here.
//
// Text conversions (VariantChangeType to and from VT_BSTR) use one fixed neutral locale,
// whatever the LCID or the process's C locale:
//  - numbers: optional white space, an optional '+' or '-', decimal digits with at most one '.'
//    as the decimal point, an optional exponent ('E' or 'e', optional sign, digits), optional
//    white space. No thousands separators, currency signs, parentheses or hexadecimal forms.
//    Written: integers as plain decimal digits; VT_R8 with up to 15 significant digits and
//    VT_R4 with up to 7, in the shorter of fixed and exponent form ("0.5", "1E+20", "1E-05").
//  - dates: ISO form "YYYY-MM-DD HH:MM:SS" (24-hour clock; 'T' is accepted in place of the
//    blank when parsing). The time is left out when it is midnight ("2000-01-01"), the date when
//    it is 30 December 1899, day 0 ("12:00:00"; 0.0 is "00:00:00"). Parsing accepts those
//    three forms and "HH:MM". Dates are written to the second, so text round-trips to the
//    second.
//  - VT_BOOL: written as "-1"/"0" with flags 0 (its numeric value), as "True"/"False" with
//    VARIANT_ALPHABOOL or VARIANT_LOCALBOOL; parsed from "True"/"False" (any letter case) or a
//    number (non-zero is true).
#pragma once

#include "base/wintypes.h"
#include "com/objbase.h"

// ---- Result codes of the dispatch facility -------------------------------------------------
#define DISP_E_UNKNOWNINTERFACE ((HRESULT)0x80020001L)
#define DISP_E_MEMBERNOTFOUND ((HRESULT)0x80020003L)
#define DISP_E_PARAMNOTFOUND ((HRESULT)0x80020004L)
#define DISP_E_TYPEMISMATCH ((HRESULT)0x80020005L)
#define DISP_E_UNKNOWNNAME ((HRESULT)0x80020006L)
#define DISP_E_NONAMEDARGS ((HRESULT)0x80020007L)
#define DISP_E_BADVARTYPE ((HRESULT)0x80020008L)
#define DISP_E_EXCEPTION ((HRESULT)0x80020009L)
#define DISP_E_OVERFLOW ((HRESULT)0x8002000AL)
#define DISP_E_BADINDEX ((HRESULT)0x8002000BL)
#define DISP_E_UNKNOWNLCID ((HRESULT)0x8002000CL)
#define DISP_E_ARRAYISLOCKED ((HRESULT)0x8002000DL)
#define DISP_E_BADPARAMCOUNT ((HRESULT)0x8002000EL)
#define DISP_E_PARAMNOTOPTIONAL ((HRESULT)0x8002000FL)
#define DISP_E_BADCALLEE ((HRESULT)0x80020010L)
#define DISP_E_NOTACOLLECTION ((HRESULT)0x80020011L)
#define DISP_E_DIVBYZERO ((HRESULT)0x80020012L)

// ---- Scalar types --------------------------------------------------------------------------
typedef unsigned short VARTYPE;
typedef short VARIANT_BOOL;
typedef double DATE;
typedef LONG DISPID;
typedef DISPID MEMBERID;

#define VARIANT_TRUE ((VARIANT_BOOL)-1)
#define VARIANT_FALSE ((VARIANT_BOOL)0)

// Currency: a 64-bit integer scaled by 10,000.
union CY {
    struct {
        ULONG Lo;
        LONG Hi;
    };
    LONGLONG int64;
};
typedef CY CURRENCY;
static_assert(sizeof(CY) == 8);

// A 96-bit integer with a decimal scale (0..28) and a sign (0x80 negative).
struct DECIMAL {
    USHORT wReserved;
    union {
        struct {
            BYTE scale;
            BYTE sign;
        };
        USHORT signscale;
    };
    ULONG Hi32;
    union {
        struct {
            ULONG Lo32;
            ULONG Mid32;
        };
        ULONGLONG Lo64;
    };
};
static_assert(sizeof(DECIMAL) == 16);
#define DECIMAL_NEG ((BYTE)0x80)

enum VARENUM : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R4 = 4,
    VT_R8 = 5,
    VT_CY = 6,
    VT_DATE = 7,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12,
    VT_UNKNOWN = 13,
    VT_DECIMAL = 14,
    VT_I1 = 16,
    VT_UI1 = 17,
    VT_UI2 = 18,
    VT_UI4 = 19,
    VT_I8 = 20,
    VT_UI8 = 21,
    VT_INT = 22,
    VT_UINT = 23,
    VT_VOID = 24,
    VT_HRESULT = 25,
    VT_PTR = 26,
    VT_SAFEARRAY = 27,
    VT_CARRAY = 28,
    VT_USERDEFINED = 29,
    VT_LPSTR = 30,
    VT_LPWSTR = 31,
    VT_RECORD = 36,
    VT_INT_PTR = 37,
    VT_UINT_PTR = 38,
    VT_FILETIME = 64,
    VT_BLOB = 65,
    VT_STREAM = 66,
    VT_STORAGE = 67,
    VT_STREAMED_OBJECT = 68,
    VT_STORED_OBJECT = 69,
    VT_BLOB_OBJECT = 70,
    VT_CF = 71,
    VT_CLSID = 72,
    VT_VERSIONED_STREAM = 73,
    VT_BSTR_BLOB = 0x0fff,
    VT_VECTOR = 0x1000,
    VT_ARRAY = 0x2000,
    VT_BYREF = 0x4000,
    VT_RESERVED = 0x8000,
    VT_ILLEGAL = 0xffff,
    VT_ILLEGALMASKED = 0x0fff,
    VT_TYPEMASK = 0x0fff,
};

// ---- Safe arrays (layout only: this layer has no safe-array functions) ----------------------
struct SAFEARRAYBOUND {
    ULONG cElements;
    LONG lLbound;
};
struct SAFEARRAY {
    USHORT cDims;
    USHORT fFeatures;
    ULONG cbElements;
    ULONG cLocks;
    PVOID pvData;
    SAFEARRAYBOUND rgsabound[1];
};
typedef SAFEARRAY* LPSAFEARRAY;

struct IDispatch;
struct IRecordInfo;
struct ITypeInfo;

// ---- VARIANT -------------------------------------------------------------------------------
struct VARIANT {
    union {
        struct {
            VARTYPE vt;
            WORD wReserved1;
            WORD wReserved2;
            WORD wReserved3;
            union {
                LONGLONG llVal;
                LONG lVal;
                BYTE bVal;
                SHORT iVal;
                FLOAT fltVal;
                DOUBLE dblVal;
                VARIANT_BOOL boolVal;
                SCODE scode;
                CY cyVal;
                DATE date;
                BSTR bstrVal;
                IUnknown* punkVal;
                IDispatch* pdispVal;
                SAFEARRAY* parray;
                BYTE* pbVal;
                SHORT* piVal;
                LONG* plVal;
                LONGLONG* pllVal;
                FLOAT* pfltVal;
                DOUBLE* pdblVal;
                VARIANT_BOOL* pboolVal;
                SCODE* pscode;
                CY* pcyVal;
                DATE* pdate;
                BSTR* pbstrVal;
                IUnknown** ppunkVal;
                IDispatch** ppdispVal;
                SAFEARRAY** pparray;
                VARIANT* pvarVal;
                PVOID byref;
                CHAR cVal;
                USHORT uiVal;
                ULONG ulVal;
                ULONGLONG ullVal;
                INT intVal;
                UINT uintVal;
                DECIMAL* pdecVal;
                CHAR* pcVal;
                USHORT* puiVal;
                ULONG* pulVal;
                ULONGLONG* pullVal;
                INT* pintVal;
                UINT* puintVal;
                struct {
                    PVOID pvRecord;
                    IRecordInfo* pRecInfo;
                };
            };
        };
        DECIMAL decVal;  // overlays the whole VARIANT; its wReserved is the vt
    };
};
typedef VARIANT VARIANTARG;
typedef VARIANT* LPVARIANT;
typedef VARIANT* LPVARIANTARG;

// The layout the COM boundary relies on.
static_assert(sizeof(VARIANT) == 24);
static_assert(offsetof(VARIANT, vt) == 0);
static_assert(offsetof(VARIANT, lVal) == 8 && offsetof(VARIANT, dblVal) == 8);
static_assert(offsetof(VARIANT, bstrVal) == 8 && offsetof(VARIANT, pRecInfo) == 16);
static_assert(offsetof(VARIANT, decVal) == 0);

// Accessors.
#define V_VT(X) ((X)->vt)
#define V_ISBYREF(X) (V_VT(X) & VT_BYREF)
#define V_ISARRAY(X) (V_VT(X) & VT_ARRAY)
#define V_ISVECTOR(X) (V_VT(X) & VT_VECTOR)
#define V_NONE(X) V_I2(X)
#define V_UI1(X) ((X)->bVal)
#define V_UI1REF(X) ((X)->pbVal)
#define V_I1(X) ((X)->cVal)
#define V_I1REF(X) ((X)->pcVal)
#define V_I2(X) ((X)->iVal)
#define V_I2REF(X) ((X)->piVal)
#define V_UI2(X) ((X)->uiVal)
#define V_UI2REF(X) ((X)->puiVal)
#define V_I4(X) ((X)->lVal)
#define V_I4REF(X) ((X)->plVal)
#define V_UI4(X) ((X)->ulVal)
#define V_UI4REF(X) ((X)->pulVal)
#define V_I8(X) ((X)->llVal)
#define V_I8REF(X) ((X)->pllVal)
#define V_UI8(X) ((X)->ullVal)
#define V_UI8REF(X) ((X)->pullVal)
#define V_INT(X) ((X)->intVal)
#define V_INTREF(X) ((X)->pintVal)
#define V_UINT(X) ((X)->uintVal)
#define V_UINTREF(X) ((X)->puintVal)
#define V_R4(X) ((X)->fltVal)
#define V_R4REF(X) ((X)->pfltVal)
#define V_R8(X) ((X)->dblVal)
#define V_R8REF(X) ((X)->pdblVal)
#define V_BOOL(X) ((X)->boolVal)
#define V_BOOLREF(X) ((X)->pboolVal)
#define V_ERROR(X) ((X)->scode)
#define V_ERRORREF(X) ((X)->pscode)
#define V_CY(X) ((X)->cyVal)
#define V_CYREF(X) ((X)->pcyVal)
#define V_DATE(X) ((X)->date)
#define V_DATEREF(X) ((X)->pdate)
#define V_BSTR(X) ((X)->bstrVal)
#define V_BSTRREF(X) ((X)->pbstrVal)
#define V_UNKNOWN(X) ((X)->punkVal)
#define V_UNKNOWNREF(X) ((X)->ppunkVal)
#define V_DISPATCH(X) ((X)->pdispVal)
#define V_DISPATCHREF(X) ((X)->ppdispVal)
#define V_VARIANTREF(X) ((X)->pvarVal)
#define V_ARRAY(X) ((X)->parray)
#define V_ARRAYREF(X) ((X)->pparray)
#define V_BYREF(X) ((X)->byref)
#define V_DECIMAL(X) ((X)->decVal)
#define V_DECIMALREF(X) ((X)->pdecVal)
#define V_RECORD(X) ((X)->pvRecord)
#define V_RECORDINFO(X) ((X)->pRecInfo)

// ---- IDispatch (identity and method table) ---------------------------------------------------
DEFINE_GUID(IID_IDispatch, 0x00020400, 0x0000, 0x0000, 0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46);

struct DISPPARAMS {
    VARIANTARG* rgvarg;
    DISPID* rgdispidNamedArgs;
    UINT cArgs;
    UINT cNamedArgs;
};

struct EXCEPINFO {
    WORD wCode;
    WORD wReserved;
    BSTR bstrSource;
    BSTR bstrDescription;
    BSTR bstrHelpFile;
    DWORD dwHelpContext;
    PVOID pvReserved;
    HRESULT(STDMETHODCALLTYPE* pfnDeferredFillIn)(EXCEPINFO*);
    SCODE scode;
};

#define DISPID_UNKNOWN (-1)
#define DISPID_VALUE 0
#define DISPID_PROPERTYPUT (-3)
#define DISPID_NEWENUM (-4)
#define DISPATCH_METHOD 0x1
#define DISPATCH_PROPERTYGET 0x2
#define DISPATCH_PROPERTYPUT 0x4
#define DISPATCH_PROPERTYPUTREF 0x8

struct IDispatch : IUnknown {
    STDMETHOD(GetTypeInfoCount)(UINT* pctinfo) PURE;
    STDMETHOD(GetTypeInfo)(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) PURE;
    STDMETHOD(GetIDsOfNames)(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                             DISPID* rgDispId) PURE;
    STDMETHOD(Invoke)(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                      DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                      UINT* puArgErr) PURE;
};
typedef IDispatch* LPDISPATCH;

// ---- BSTR ----------------------------------------------------------------------------------
// Allocation fails (null, or FALSE for the re-allocations) when a test has armed a fault for the
// function's name, when memory runs out, or when the length would not fit the 32-bit prefix.
WINOLEAPI_(BSTR) SysAllocString(const OLECHAR* psz);
// psz may be null: the string then holds ui null characters. Embedded nulls are kept.
WINOLEAPI_(BSTR) SysAllocStringLen(const OLECHAR* strIn, UINT ui);
// len bytes copied from psz (or zeros when psz is null), then a null OLECHAR.
WINOLEAPI_(BSTR) SysAllocStringByteLen(LPCSTR psz, UINT len);
// *pbstr is freed and replaced by a copy of psz (psz may point into *pbstr). A null psz leaves a
// null BSTR. On failure *pbstr is unchanged.
WINOLEAPI_(INT) SysReAllocString(BSTR* pbstr, const OLECHAR* psz);
WINOLEAPI_(INT) SysReAllocStringLen(BSTR* pbstr, const OLECHAR* psz, UINT len);
WINOLEAPI_(void) SysFreeString(BSTR bstrString);
WINOLEAPI_(UINT) SysStringLen(BSTR pbstr);
WINOLEAPI_(UINT) SysStringByteLen(BSTR bstr);

// ---- VARIANT functions ---------------------------------------------------------------------
// VariantChangeType flags.
#define VARIANT_NOVALUEPROP 0x01
#define VARIANT_ALPHABOOL 0x02
#define VARIANT_NOUSEROVERRIDE 0x04
#define VARIANT_CALENDAR_HIJRI 0x08
#define VARIANT_LOCALBOOL 0x10
#define VARIANT_CALENDAR_THAI 0x20
#define VARIANT_CALENDAR_GREGORIAN 0x40
#define VARIANT_USE_NLS 0x80

WINOLEAPI_(void) VariantInit(VARIANTARG* pvarg);
// Frees a VT_BSTR, releases a VT_UNKNOWN or VT_DISPATCH (not when VT_BYREF), sets VT_EMPTY.
// DISP_E_BADVARTYPE (pvarg unchanged) for a type that cannot be held here, such as a safe array.
WINOLEAPI VariantClear(VARIANTARG* pvarg);
// Clears pvargDest, then copies: scalars as they are, VT_BSTR as a new string, VT_UNKNOWN and
// VT_DISPATCH with AddRef, VT_BYREF types as the bare pointer. DISP_E_BADVARTYPE for any other
// type (pvargDest then untouched).
WINOLEAPI VariantCopy(VARIANTARG* pvargDest, const VARIANTARG* pvargSrc);
// As VariantCopy, but a VT_BYREF source is copied as the value it refers to.
WINOLEAPI VariantCopyInd(VARIANT* pvarDest, const VARIANTARG* pvargSrc);
// Converts between VT_EMPTY, VT_I2, VT_I4, VT_R4, VT_R8, VT_DATE, VT_BSTR, VT_BOOL, VT_UI2,
// VT_ERROR (only from and to VT_ERROR and VT_I4) and also VT_I1, VT_UI1, VT_UI4, VT_INT,
// VT_UINT, from values or VT_BYREF references; a type converted to itself is copied. Narrowing
// rounds half to even; DISP_E_OVERFLOW when the value does not fit, DISP_E_TYPEMISMATCH when no
// conversion exists or text does not parse. pvargDest may equal pvarSrc; otherwise pvargDest is
// cleared even when the conversion fails. See the top of this header for the text forms.
WINOLEAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                            VARTYPE vt);
// The locale is ignored: text always uses the neutral forms above.
WINOLEAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID lcid,
                              USHORT wFlags, VARTYPE vt);

// ---- OLE dates -----------------------------------------------------------------------------
// An OLE date counts days from 30 December 1899 00:00 (0.0); the fraction is the time of day.
// A negative date counts days backwards, its fraction still adding a positive time of day:
// -1.25 is 29 December 1899 06:00. Valid years are 100 to 9999.
//
// Milliseconds are ignored. Month 1..12, hour 0..23, minute and second 0..59 and day 0..31 are
// required (else FALSE); a day beyond the month's end moves into the next month and day 0 is
// the last day of the previous month (30 February 2001 is 2 March 2001), as OLE does.
WINOLEAPI_(INT) SystemTimeToVariantTime(LPSYSTEMTIME lpSystemTime, DOUBLE* pvtime);
// Rounds to the nearest second (wMilliseconds is 0) and fills wDayOfWeek (0 = Sunday).
// FALSE for a date outside 1 January 100 .. 31 December 9999 23:59:59, or not a number.
WINOLEAPI_(INT) VariantTimeToSystemTime(DOUBLE vtime, LPSYSTEMTIME lpSystemTime);
