// Property values: the stored (raw) form, SPropValue arrays in MAPI buffers, text conversions,
// and the utility functions over property objects and tables.
#include <cstring>
#include <string>

#include "base/fault.h"
#include "base/comptr.h"
#include "kernel/winnls.h"
#include "mapi/mapi_internal.h"

namespace platform::mapi {

Allocators DefaultAllocators() { return Allocators{&MAPIAllocateBuffer, &MAPIAllocateMore, &MAPIFreeBuffer}; }

TypeClass ClassOf(ULONG type) {
    switch (type) {
        case PT_I2: case PT_LONG: case PT_R4: case PT_DOUBLE: case PT_CURRENCY: case PT_APPTIME:
        case PT_ERROR: case PT_BOOLEAN: case PT_I8: case PT_SYSTIME:
            return TypeClass::Fixed;
        case PT_STRING8: case PT_UNICODE: case PT_BINARY: case PT_CLSID: case PT_SVREID:
            return TypeClass::Variable;
        case PT_MV_I2: case PT_MV_LONG: case PT_MV_R4: case PT_MV_DOUBLE: case PT_MV_CURRENCY:
        case PT_MV_APPTIME: case PT_MV_SYSTIME: case PT_MV_I8: case PT_MV_CLSID:
            return TypeClass::MultiFixed;
        case PT_MV_STRING8: case PT_MV_UNICODE: case PT_MV_BINARY:
            return TypeClass::MultiVariable;
        case PT_OBJECT:
            return TypeClass::Object;
        default:
            return TypeClass::Unsupported;
    }
}

ULONG FixedElementSize(ULONG type) {
    switch (type & ~MV_FLAG) {
        case PT_I2: case PT_BOOLEAN: return 2;
        case PT_LONG: case PT_R4: case PT_ERROR: return 4;
        case PT_CLSID: return 16;
        default: return 8;
    }
}

ULONG TerminatorSize(ULONG type) {
    type &= ~MV_FLAG;
    return type == PT_STRING8 ? 1 : type == PT_UNICODE ? 2 : 0;
}

size_t PayloadSize(const RawValue& raw) {
    size_t size = raw.bytes.size();
    for (const auto& item : raw.items) size += item.size();
    return size;
}

namespace {

template <class T>
T Load(const BYTE* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
}

SCODE More(const Allocators& alloc, void* parent, size_t size, void** out) {
    if (size > 0xFFFFFFF0u) return MAPI_E_NOT_ENOUGH_MEMORY;
    return alloc.more(static_cast<ULONG>(size == 0 ? 1 : size), parent, out);
}

SCODE CopyBytes(const Allocators& alloc, void* parent, const BYTE* data, size_t size, size_t terminator,
                void** out) {
    SCODE sc = More(alloc, parent, size + terminator, out);
    if (FAILED(sc)) return sc;
    if (size) std::memcpy(*out, data, size);
    std::memset(static_cast<BYTE*>(*out) + size, 0, terminator);
    return S_OK;
}

}  // namespace

SCODE RawToProp(const RawValue& raw, ULONG tag, const Allocators& alloc, void* parent, SPropValue& out) {
    out.ulPropTag = tag;
    out.dwAlignPad = 0;
    std::memset(&out.Value, 0, sizeof(out.Value));
    const ULONG type = PROP_TYPE(tag);
    const BYTE* f = raw.fixed;
    switch (type) {
        case PT_I2: out.Value.i = Load<int16_t>(f); return S_OK;
        case PT_LONG: out.Value.l = Load<int32_t>(f); return S_OK;
        case PT_R4: out.Value.flt = Load<float>(f); return S_OK;
        case PT_DOUBLE: out.Value.dbl = Load<double>(f); return S_OK;
        case PT_APPTIME: out.Value.at = Load<double>(f); return S_OK;
        case PT_CURRENCY: out.Value.cur.int64 = Load<int64_t>(f); return S_OK;
        case PT_ERROR: out.Value.err = Load<int32_t>(f); return S_OK;
        case PT_BOOLEAN: out.Value.b = f[0] ? 1 : 0; return S_OK;
        case PT_I8: out.Value.li.QuadPart = Load<int64_t>(f); return S_OK;
        case PT_SYSTIME:
            out.Value.ft.dwLowDateTime = Load<uint32_t>(f);
            out.Value.ft.dwHighDateTime = Load<uint32_t>(f + 4);
            return S_OK;
        case PT_OBJECT: out.Value.x = 0; return S_OK;
        case PT_STRING8: {
            void* p = nullptr;
            SCODE sc = CopyBytes(alloc, parent, raw.bytes.data(), raw.bytes.size(), 1, &p);
            out.Value.lpszA = static_cast<LPSTR>(p);
            return sc;
        }
        case PT_UNICODE: {
            void* p = nullptr;
            SCODE sc = CopyBytes(alloc, parent, raw.bytes.data(), raw.bytes.size() & ~size_t(1), 2, &p);
            out.Value.lpszW = static_cast<LPWSTR>(p);
            return sc;
        }
        case PT_BINARY: case PT_SVREID: {
            void* p = nullptr;
            SCODE sc = CopyBytes(alloc, parent, raw.bytes.data(), raw.bytes.size(), 0, &p);
            out.Value.bin.cb = static_cast<ULONG>(raw.bytes.size());
            out.Value.bin.lpb = static_cast<LPBYTE>(p);
            return sc;
        }
        case PT_CLSID: {
            if (raw.bytes.size() != sizeof(GUID)) return MAPI_E_CORRUPT_DATA;
            void* p = nullptr;
            SCODE sc = CopyBytes(alloc, parent, raw.bytes.data(), sizeof(GUID), 0, &p);
            out.Value.lpguid = static_cast<LPGUID>(p);
            return sc;
        }
        default: break;
    }
    if (ClassOf(type) == TypeClass::MultiFixed) {
        const ULONG element = FixedElementSize(type);
        if (raw.bytes.size() % element) return MAPI_E_CORRUPT_DATA;
        void* p = nullptr;
        SCODE sc = CopyBytes(alloc, parent, raw.bytes.data(), raw.bytes.size(), 0, &p);
        if (FAILED(sc)) return sc;
        // Every multi-valued array has the same {count, pointer} shape.
        out.Value.MVl.cValues = static_cast<ULONG>(raw.bytes.size() / element);
        out.Value.MVl.lpl = static_cast<LONG*>(p);
        return S_OK;
    }
    if (ClassOf(type) == TypeClass::MultiVariable) {
        const size_t count = raw.items.size();
        void* array = nullptr;
        const size_t slot = type == PT_MV_BINARY ? sizeof(SBinary) : sizeof(void*);
        SCODE sc = More(alloc, parent, count * slot, &array);
        if (FAILED(sc)) return sc;
        for (size_t i = 0; i < count; ++i) {
            const auto& item = raw.items[i];
            void* p = nullptr;
            if (type == PT_MV_BINARY) {
                sc = CopyBytes(alloc, parent, item.data(), item.size(), 0, &p);
                static_cast<SBinary*>(array)[i] = SBinary{static_cast<ULONG>(item.size()), static_cast<LPBYTE>(p)};
            } else if (type == PT_MV_STRING8) {
                sc = CopyBytes(alloc, parent, item.data(), item.size(), 1, &p);
                static_cast<LPSTR*>(array)[i] = static_cast<LPSTR>(p);
            } else {
                sc = CopyBytes(alloc, parent, item.data(), item.size() & ~size_t(1), 2, &p);
                static_cast<LPWSTR*>(array)[i] = static_cast<LPWSTR>(p);
            }
            if (FAILED(sc)) return sc;
        }
        out.Value.MVbin.cValues = static_cast<ULONG>(count);
        out.Value.MVbin.lpbin = static_cast<SBinary*>(array);
        return S_OK;
    }
    return MAPI_E_INVALID_TYPE;
}

namespace {

size_t StrLenA(const char* s) { return s ? std::strlen(s) : 0; }
size_t StrLenW(const WCHAR* s) {
    size_t n = 0;
    if (s)
        while (s[n]) ++n;
    return n;
}

}  // namespace

SCODE PropToRaw(const SPropValue& prop, RawValue& raw) {
    raw = RawValue{};
    const ULONG type = PROP_TYPE(prop.ulPropTag);
    raw.type = type;
    const auto& v = prop.Value;
    auto store = [&](const void* p, size_t n) { std::memcpy(raw.fixed, p, n); };
    switch (type) {
        case PT_I2: store(&v.i, 2); return S_OK;
        case PT_LONG: store(&v.l, 4); return S_OK;
        case PT_R4: store(&v.flt, 4); return S_OK;
        case PT_DOUBLE: store(&v.dbl, 8); return S_OK;
        case PT_APPTIME: store(&v.at, 8); return S_OK;
        case PT_CURRENCY: store(&v.cur.int64, 8); return S_OK;
        case PT_ERROR: store(&v.err, 4); return S_OK;
        case PT_BOOLEAN: raw.fixed[0] = v.b ? 1 : 0; return S_OK;
        case PT_I8: store(&v.li.QuadPart, 8); return S_OK;
        case PT_SYSTIME: store(&v.ft, 8); return S_OK;
        case PT_STRING8: {
            size_t n = StrLenA(v.lpszA);
            raw.bytes.assign(reinterpret_cast<const BYTE*>(v.lpszA), reinterpret_cast<const BYTE*>(v.lpszA) + n);
            return S_OK;
        }
        case PT_UNICODE: {
            size_t n = StrLenW(v.lpszW);
            raw.bytes.assign(reinterpret_cast<const BYTE*>(v.lpszW), reinterpret_cast<const BYTE*>(v.lpszW + n));
            return S_OK;
        }
        case PT_BINARY: case PT_SVREID:
            if (v.bin.cb && !v.bin.lpb) return MAPI_E_BAD_VALUE;
            raw.bytes.assign(v.bin.lpb, v.bin.lpb + v.bin.cb);
            return S_OK;
        case PT_CLSID:
            if (!v.lpguid) return MAPI_E_BAD_VALUE;
            raw.bytes.assign(reinterpret_cast<const BYTE*>(v.lpguid), reinterpret_cast<const BYTE*>(v.lpguid) + 16);
            return S_OK;
        default: break;
    }
    if (ClassOf(type) == TypeClass::MultiFixed) {
        const size_t n = size_t(v.MVl.cValues) * FixedElementSize(type);
        if (n && !v.MVl.lpl) return MAPI_E_BAD_VALUE;
        const BYTE* p = reinterpret_cast<const BYTE*>(v.MVl.lpl);
        raw.bytes.assign(p, p + n);
        return S_OK;
    }
    if (ClassOf(type) == TypeClass::MultiVariable) {
        const ULONG count = v.MVbin.cValues;
        if (count && !v.MVbin.lpbin) return MAPI_E_BAD_VALUE;
        raw.items.resize(count);
        for (ULONG i = 0; i < count; ++i) {
            if (type == PT_MV_BINARY) {
                const SBinary& b = v.MVbin.lpbin[i];
                if (b.cb && !b.lpb) return MAPI_E_BAD_VALUE;
                raw.items[i].assign(b.lpb, b.lpb + b.cb);
            } else if (type == PT_MV_STRING8) {
                const char* s = v.MVszA.lppszA[i];
                raw.items[i].assign(reinterpret_cast<const BYTE*>(s), reinterpret_cast<const BYTE*>(s) + StrLenA(s));
            } else {
                const WCHAR* s = v.MVszW.lppszW[i];
                raw.items[i].assign(reinterpret_cast<const BYTE*>(s), reinterpret_cast<const BYTE*>(s + StrLenW(s)));
            }
        }
        return S_OK;
    }
    return MAPI_E_INVALID_TYPE;
}

SCODE CopyProp(const SPropValue& src, const Allocators& alloc, void* parent, SPropValue& out) {
    const ULONG type = PROP_TYPE(src.ulPropTag);
    const TypeClass cls = ClassOf(type);
    if (cls == TypeClass::Fixed || cls == TypeClass::Object || cls == TypeClass::Unsupported ||
        type == PT_NULL || type == PT_UNSPECIFIED) {
        out = src;
        return S_OK;
    }
    // Single values are copied straight from one buffer to the other: tables copy every row's
    // texts, and a detour through a stored value would allocate twice for each.
    const auto& v = src.Value;
    const BYTE* bytes = nullptr;
    size_t size = 0, terminator = 0;
    switch (type) {
        case PT_STRING8:
            bytes = reinterpret_cast<const BYTE*>(v.lpszA);
            size = StrLenA(v.lpszA);
            terminator = 1;
            break;
        case PT_UNICODE:
            bytes = reinterpret_cast<const BYTE*>(v.lpszW);
            size = StrLenW(v.lpszW) * sizeof(WCHAR);
            terminator = 2;
            break;
        case PT_BINARY: case PT_SVREID:
            if (v.bin.cb && !v.bin.lpb) return MAPI_E_BAD_VALUE;
            bytes = v.bin.lpb;
            size = v.bin.cb;
            break;
        case PT_CLSID:
            if (!v.lpguid) return MAPI_E_BAD_VALUE;
            bytes = reinterpret_cast<const BYTE*>(v.lpguid);
            size = sizeof(GUID);
            break;
        default: {
            RawValue raw;
            SCODE sc = PropToRaw(src, raw);
            if (FAILED(sc)) return sc;
            return RawToProp(raw, src.ulPropTag, alloc, parent, out);
        }
    }
    out.ulPropTag = src.ulPropTag;
    out.dwAlignPad = 0;
    std::memset(&out.Value, 0, sizeof(out.Value));
    void* copy = nullptr;
    SCODE sc = CopyBytes(alloc, parent, bytes, size, terminator, &copy);
    switch (type) {
        case PT_STRING8: out.Value.lpszA = static_cast<LPSTR>(copy); break;
        case PT_UNICODE: out.Value.lpszW = static_cast<LPWSTR>(copy); break;
        case PT_CLSID: out.Value.lpguid = static_cast<LPGUID>(copy); break;
        default:
            out.Value.bin.cb = static_cast<ULONG>(size);
            out.Value.bin.lpb = static_cast<LPBYTE>(copy);
            break;
    }
    return sc;
}

// ---- Code pages ------------------------------------------------------------------------------

UINT AnsiCodePage() { return GetACP(); }

bool BytesToUtf16(UINT codePage, const BYTE* data, size_t size, std::basic_string<WCHAR>& out) {
    out.clear();
    if (size == 0) return true;
    if (size > 0x7FFFFFFF) return false;
    const auto* text = reinterpret_cast<LPCCH>(data);
    int needed = MultiByteToWideChar(codePage, 0, text, static_cast<int>(size), nullptr, 0);
    if (needed <= 0) return false;
    out.resize(static_cast<size_t>(needed));
    return MultiByteToWideChar(codePage, 0, text, static_cast<int>(size), out.data(), needed) == needed;
}

bool Utf16ToBytes(UINT codePage, const WCHAR* data, size_t count, std::string& out) {
    out.clear();
    if (count == 0) return true;
    if (count > 0x7FFFFFFF) return false;
    int needed = WideCharToMultiByte(codePage, 0, data, static_cast<int>(count), nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    out.resize(static_cast<size_t>(needed));
    return WideCharToMultiByte(codePage, 0, data, static_cast<int>(count), out.data(), needed, nullptr, nullptr) ==
           needed;
}

namespace {

bool ConvertWith(const RawValue& in, ULONG targetType, UINT codePage, RawValue& out) {
    out = RawValue{};
    out.type = targetType;
    auto one = [&](const std::vector<BYTE>& src, std::vector<BYTE>& dst) {
        if ((targetType & ~MV_FLAG) == PT_UNICODE) {
            std::basic_string<WCHAR> wide;
            if (!BytesToUtf16(codePage, src.data(), src.size(), wide)) return false;
            const BYTE* p = reinterpret_cast<const BYTE*>(wide.data());
            dst.assign(p, p + wide.size() * 2);
        } else {
            std::string narrow;
            if (!Utf16ToBytes(codePage, reinterpret_cast<const WCHAR*>(src.data()), src.size() / 2, narrow))
                return false;
            dst.assign(narrow.begin(), narrow.end());
        }
        return true;
    };
    if (targetType & MV_FLAG) {
        out.items.resize(in.items.size());
        for (size_t i = 0; i < in.items.size(); ++i)
            if (!one(in.items[i], out.items[i])) return false;
        return true;
    }
    if ((targetType & ~MV_FLAG) == PT_UNICODE) return one(in.bytes, out.bytes);
    std::vector<BYTE> aligned(in.bytes.begin(), in.bytes.begin() + (in.bytes.size() & ~size_t(1)));
    return one(aligned, out.bytes);
}

}  // namespace

// A code page the message names but the platform cannot convert falls back to the ANSI one.
bool ConvertStringRaw(const RawValue& in, ULONG targetType, UINT codePage, RawValue& out) {
    if (ConvertWith(in, targetType, codePage, out)) return true;
    return codePage != AnsiCodePage() && ConvertWith(in, targetType, AnsiCodePage(), out);
}

}  // namespace platform::mapi

using namespace platform::mapi;

// ---- Utility functions -------------------------------------------------------------------------

STDAPI_(LPSPropValue) PpropFindProp(LPSPropValue lpPropArray, ULONG cValues, ULONG ulPropTag) {
    if (!lpPropArray) return nullptr;
    const bool anyType = PROP_TYPE(ulPropTag) == PT_UNSPECIFIED;
    for (ULONG i = 0; i < cValues; ++i) {
        const ULONG tag = lpPropArray[i].ulPropTag;
        if (anyType ? PROP_ID(tag) == PROP_ID(ulPropTag) : tag == ulPropTag) return &lpPropArray[i];
    }
    return nullptr;
}

STDAPI HrGetOneProp(LPMAPIPROP lpMapiProp, ULONG ulPropTag, LPSPropValue* lppProp) {
    if (!lppProp) return MAPI_E_INVALID_PARAMETER;
    *lppProp = nullptr;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("HrGetOneProp", hr)) return hr;
    if (!lpMapiProp) return MAPI_E_INVALID_PARAMETER;
    SizedSPropTagArray(1, tags) = {1, {ulPropTag}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    hr = lpMapiProp->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values);
    if (FAILED(hr)) return hr;
    if (!values || count != 1) {
        MAPIFreeBuffer(values);
        return MAPI_E_CALL_FAILED;
    }
    if (PROP_TYPE(values[0].ulPropTag) == PT_ERROR && PROP_TYPE(ulPropTag) != PT_ERROR) {
        hr = values[0].Value.err;
        MAPIFreeBuffer(values);
        return FAILED(hr) ? hr : MAPI_E_NOT_FOUND;
    }
    *lppProp = values;
    return S_OK;
}

STDAPI HrSetOneProp(LPMAPIPROP lpMapiProp, LPSPropValue lpProp) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("HrSetOneProp", hr)) return hr;
    if (!lpMapiProp || !lpProp) return MAPI_E_INVALID_PARAMETER;
    LPSPropProblemArray problems = nullptr;
    hr = lpMapiProp->SetProps(1, lpProp, &problems);
    if (SUCCEEDED(hr) && problems) {
        if (problems->cProblem > 0) hr = problems->aProblem[0].scode;
        MAPIFreeBuffer(problems);
    }
    return hr;
}

STDAPI_(void) FreeProws(LPSRowSet lpRows) {
    if (!lpRows) return;
    for (ULONG i = 0; i < lpRows->cRows; ++i) MAPIFreeBuffer(lpRows->aRow[i].lpProps);
    MAPIFreeBuffer(lpRows);
}

STDAPI_(void) FreePadrlist(LPADRLIST lpAdrlist) {
    if (!lpAdrlist) return;
    for (ULONG i = 0; i < lpAdrlist->cEntries; ++i) MAPIFreeBuffer(lpAdrlist->aEntries[i].rgPropVals);
    MAPIFreeBuffer(lpAdrlist);
}

STDAPI HrQueryAllRows(LPMAPITABLE lpTable, LPSPropTagArray lpPropTags, LPSRestriction lpRestriction,
                      LPSSortOrderSet lpSortOrderSet, LONG crowsMax, LPSRowSet* lppRows) {
    if (!lppRows) return MAPI_E_INVALID_PARAMETER;
    *lppRows = nullptr;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("HrQueryAllRows", hr)) return hr;
    if (!lpTable || crowsMax < 0) return MAPI_E_INVALID_PARAMETER;
    if (lpPropTags && FAILED(hr = lpTable->SetColumns(lpPropTags, TBL_BATCH))) return hr;
    if (lpRestriction && FAILED(hr = lpTable->Restrict(lpRestriction, TBL_BATCH))) return hr;
    if (lpSortOrderSet && FAILED(hr = lpTable->SortTable(lpSortOrderSet, TBL_BATCH))) return hr;
    if (FAILED(hr = lpTable->SeekRow(BOOKMARK_BEGINNING, 0, nullptr))) return hr;
    ULONG count = 0;
    if (FAILED(hr = lpTable->GetRowCount(0, &count))) return hr;
    if (crowsMax > 0 && count > static_cast<ULONG>(crowsMax)) return MAPI_E_TABLE_TOO_BIG;
    // At least one row is asked for, so an empty table still yields an (empty) row set.
    LPSRowSet rows = nullptr;
    hr = lpTable->QueryRows(static_cast<LONG>(count == 0 ? 1 : count), 0, &rows);
    if (FAILED(hr)) return hr;
    *lppRows = rows;
    return S_OK;
}
