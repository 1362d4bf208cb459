// GUIDs as text: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper-case hexadecimal on output,
// either case on input.
#include "base/fault.h"
#include "com/objbase.h"

namespace {

constexpr int kGuidTextLength = 38;

int HexValue(OLECHAR c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

bool ParseHex(LPCOLESTR text, int digits, uint64_t* value) {
    uint64_t result = 0;
    for (int i = 0; i < digits; ++i) {
        int v = HexValue(text[i]);
        if (v < 0) return false;
        result = (result << 4) | static_cast<uint64_t>(v);
    }
    *value = result;
    return true;
}

bool ParseGuid(LPCOLESTR text, GUID* guid) {
    if (!text) return false;
    for (int i = 0; i < kGuidTextLength; ++i)
        if (text[i] == 0) return false;
    if (text[kGuidTextLength] != 0) return false;
    if (text[0] != u'{' || text[9] != u'-' || text[14] != u'-' || text[19] != u'-' || text[24] != u'-' ||
        text[37] != u'}')
        return false;
    uint64_t v = 0;
    GUID result{};
    if (!ParseHex(text + 1, 8, &v)) return false;
    result.Data1 = static_cast<DWORD>(v);
    if (!ParseHex(text + 10, 4, &v)) return false;
    result.Data2 = static_cast<WORD>(v);
    if (!ParseHex(text + 15, 4, &v)) return false;
    result.Data3 = static_cast<WORD>(v);
    static constexpr int kByteOffsets[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!ParseHex(text + kByteOffsets[i], 2, &v)) return false;
        result.Data4[i] = static_cast<BYTE>(v);
    }
    *guid = result;
    return true;
}

void FormatGuid(REFGUID guid, OLECHAR* out) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    int pos = 0;
    auto put = [&](uint64_t value, int digits) {
        for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) out[pos++] = kHex[(value >> shift) & 0xF];
    };
    out[pos++] = u'{';
    put(guid.Data1, 8);
    out[pos++] = u'-';
    put(guid.Data2, 4);
    out[pos++] = u'-';
    put(guid.Data3, 4);
    out[pos++] = u'-';
    put(guid.Data4[0], 2);
    put(guid.Data4[1], 2);
    out[pos++] = u'-';
    for (int i = 2; i < 8; ++i) put(guid.Data4[i], 2);
    out[pos++] = u'}';
    out[pos] = 0;
}

}  // namespace

WINOLEAPI_(int) StringFromGUID2(REFGUID rguid, LPOLESTR lpsz, int cchMax) {
    if (!lpsz || cchMax < kGuidTextLength + 1) return 0;
    FormatGuid(rguid, lpsz);
    return kGuidTextLength + 1;
}

WINOLEAPI StringFromCLSID(REFCLSID rclsid, LPOLESTR* lplpsz) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("StringFromCLSID", lplpsz, E_INVALIDARG, &hr)) return hr;
    auto* text = static_cast<LPOLESTR>(CoTaskMemAlloc((kGuidTextLength + 1) * sizeof(OLECHAR)));
    if (!text) return E_OUTOFMEMORY;
    FormatGuid(rclsid, text);
    *lplpsz = text;
    return S_OK;
}

WINOLEAPI CLSIDFromString(LPCOLESTR lpsz, LPCLSID pclsid) {
    if (!pclsid) return E_INVALIDARG;
    if (!lpsz) {
        *pclsid = GUID_NULL;
        return S_OK;
    }
    if (ParseGuid(lpsz, pclsid)) return S_OK;
    // Not a braced GUID: Windows then treats the text as a program id.
    return CLSIDFromProgID(lpsz, pclsid);
}

WINOLEAPI IIDFromString(LPCOLESTR lpsz, LPIID lpiid) {
    if (!lpiid) return E_INVALIDARG;
    if (!lpsz) {
        *lpiid = GUID_NULL;
        return S_OK;
    }
    return ParseGuid(lpsz, lpiid) ? S_OK : E_INVALIDARG;
}
