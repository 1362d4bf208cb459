// The navigator's refusals, reading variables and the body.
#include <new>

#include <mapiutil.h>
#include <stdlib.h>

#include "log/errlog.h"
#include "log/wide_string.h"
#include "message/MsgFile.h"
#include "message/RecordResolution.h"
#include "message/TimeConversion.h"

namespace msgplugin {

// ---- Operations the plug-in does not offer -------------------------------------------------

STDMETHODIMP CMsgFile::Unsupported4(LONG, BSTR* arg2, VARIANT* arg3) { return arg2 && arg3 ? E_NOTIMPL : E_POINTER; }
STDMETHODIMP CMsgFile::Unsupported5() { return E_NOTIMPL; }
STDMETHODIMP CMsgFile::Unsupported6(LONG* arg1) { return arg1 ? E_NOTIMPL : E_POINTER; }
STDMETHODIMP CMsgFile::Unsupported7(BSTR* arg1, BSTR* arg2, BSTR* arg3, LONG* arg4, VARIANT* arg5) {
    return arg1 && arg2 && arg3 && arg4 && arg5 ? E_NOTIMPL : E_POINTER;
}
STDMETHODIMP CMsgFile::Unsupported8(LONG, LONG, BSTR* arg3, LONG* arg4) { return arg3 && arg4 ? E_NOTIMPL : E_POINTER; }
STDMETHODIMP CMsgFile::Unsupported9(LONG, LONG, BSTR* arg3, LONG* arg4) { return arg3 && arg4 ? E_NOTIMPL : E_POINTER; }
STDMETHODIMP CMsgFile::Unsupported12(BSTR* arg1, LONG* arg2) { return arg1 && arg2 ? E_NOTIMPL : E_POINTER; }
STDMETHODIMP CMsgFile::Unsupported13(LONG, LONG, LONG* arg3) { return arg3 ? E_NOTIMPL : E_POINTER; }
STDMETHODIMP CMsgFile::Unsupported14(LONG, BSTR* arg2, LONG* arg3) { return arg2 && arg3 ? E_NOTIMPL : E_POINTER; }
STDMETHODIMP CMsgFile::Unsupported15() { return E_NOTIMPL; }
STDMETHODIMP CMsgFile::Unsupported17(LONG* arg1) { return arg1 ? E_NOTIMPL : E_POINTER; }
STDMETHODIMP CMsgFile::Unsupported18(LONG, LONG, LONG, BSTR* arg4, LONG* arg5) {
    return arg4 && arg5 ? E_NOTIMPL : E_POINTER;
}
STDMETHODIMP CMsgFile::Unsupported19() { return E_NOTIMPL; }
STDMETHODIMP CMsgFile::NoOp20() { return S_OK; }
STDMETHODIMP CMsgFile::NoOp21() { return S_OK; }
STDMETHODIMP CMsgFile::Unsupported22() { return E_NOTIMPL; }
STDMETHODIMP CMsgFile::Unsupported23() { return E_NOTIMPL; }

// ---- Reading -------------------------------------------------------------------------------

namespace {

// A BSTR copy of a wide text up to its terminator; null text gives a null BSTR. Throws when
// the copy cannot be allocated.
BSTR CopyToBstr(LPCWSTR text) {
    if (!text) return nullptr;
    BSTR copy = SysAllocString(text);
    if (!copy) throw std::bad_alloc();
    return copy;
}

BSTR AnsiToBstr(LPCSTR text) {
    if (!text) return nullptr;
    int needed = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (needed <= 1) return CopyToBstr(OLESTR(""));
    BSTR converted = SysAllocStringLen(nullptr, static_cast<UINT>(needed - 1));
    if (!converted) throw std::bad_alloc();
    int written = MultiByteToWideChar(CP_ACP, 0, text, -1, converted, needed);
    converted[written > 0 ? written - 1 : 0] = 0;
    return converted;
}

}  // namespace

bool CMsgFile::PropertyToVariant(const SPropValue& property, VARIANT* value) {
    try {
        if (property.ulPropTag == TAG_ATTACHMENTS) {
            value->bstrVal = CopyToBstr(property.Value.lpszW);
            value->vt = VT_BSTR;
            return true;
        }
        switch (PROP_TYPE(property.ulPropTag)) {
        case PT_I2:
            value->vt = VT_I4;
            value->lVal = property.Value.i;
            return true;
        case PT_LONG:
            value->vt = VT_I4;
            value->lVal = property.Value.l;
            return true;
        case PT_R4:
            value->vt = VT_R8;
            value->dblVal = property.Value.flt;
            return true;
        case PT_DOUBLE:
            value->vt = VT_R8;
            value->dblVal = property.Value.dbl;
            return true;
        case PT_ERROR:
            value->vt = VT_ERROR;
            value->scode = property.Value.err;
            return true;
        case PT_BOOLEAN:
            value->vt = VT_BOOL;
            value->boolVal = static_cast<VARIANT_BOOL>(property.Value.b);
            return true;
        case PT_STRING8:
            value->bstrVal = AnsiToBstr(property.Value.lpszA);
            value->vt = VT_BSTR;
            return true;
        case PT_UNICODE:
            value->bstrVal = CopyToBstr(property.Value.lpszW);
            value->vt = VT_BSTR;
            return true;
        case PT_SYSTIME:
            value->vt = VT_DATE;
            value->date = UtcFileTimeToLocalDate(property.Value.ft);
            return true;
        default:
            return false;
        }
    } catch (const std::bad_alloc&) {
        return false;
    }
}

STDMETHODIMP CMsgFile::ReadVariables(LONG_PTR, LONG firstOnly, LONG, LONG count, VariableRequest* records) {
    return ForEachResolvedRecord(count, records, [&](VariableRequest& record, ULONG tag, bool) -> HRESULT {
        if (tag == kBodyTag) {
            record.found = mbGetBodyProperty(&record.value) ? 1 : 0;
            return S_OK;
        }
        const _SPropValue_t* cached = m_tags.Lookup(tag);
        record.found = cached ? 1 : 0;
        if (!cached) return S_OK;
        VariantClear(&record.value);
        if (!PropertyToVariant(*cached, &record.value)) return E_OUTOFMEMORY;
        return firstOnly ? S_FALSE : S_OK;
    });
}

// ---- The body ------------------------------------------------------------------------------

bool CMsgFile::LogBodyFailure(HRESULT code, LPCWSTR text) {
    WString message = text;
    message += WCHAR('\n');
    message += m_path.Text();
    Log(code, kLogCategoryBody, OLESTR("CMsgFile::mbGetBodyProperty"), message.c_str());
    return false;
}

bool CMsgFile::mbGetBodyProperty(VARIANT* value) {
    if (!m_pMessage) return false;

    LPSPropValue whole = nullptr;
    HRESULT hr = HrGetOneProp(m_pMessage, kBodyTag, &whole);
    if (SUCCEEDED(hr)) {
        BSTR text = nullptr;
        bool copied = true;
        if (whole->Value.lpszW) {
            text = SysAllocString(whole->Value.lpszW);
            copied = text != nullptr;
        }
        MAPIFreeBuffer(whole);
        if (!copied) throw std::bad_alloc();
        VariantClear(value);
        value->vt = VT_BSTR;
        value->bstrVal = text;
        return true;
    }
    // Too large to be returned whole: read it as a stream. Any other failure (no body) ends here.
    if (hr != E_OUTOFMEMORY) return false;

    CComPtr<IStream> stream;
    hr = m_pMessage->OpenProperty(kBodyTag, &IID_IStream, 0, 0, reinterpret_cast<LPUNKNOWN*>(&stream));
    if (FAILED(hr) || !stream) return false;

    WCHAR* buffer = nullptr;
    size_t held = 0;  // code units read
    HRESULT lastStreamResult = hr;
    for (;;) {
        const SIZE_T bytes = (held + 256) * sizeof(WCHAR);
        auto* grown = static_cast<WCHAR*>(buffer ? HeapReAlloc(GetProcessHeap(), 0, buffer, bytes)
                                                 : HeapAlloc(GetProcessHeap(), 0, bytes));
        if (!grown) {
            HeapFree(GetProcessHeap(), 0, buffer);
            stream.Release();
            return LogBodyFailure(lastStreamResult, OLESTR("Could not allocate memory when extracting Body from message."));
        }
        buffer = grown;
        ULONG bytesRead = 0;
        hr = stream->Read(buffer + held, 510, &bytesRead);
        lastStreamResult = hr;
        if (FAILED(hr)) {
            stream.Release();
            HeapFree(GetProcessHeap(), 0, buffer);
            return LogBodyFailure(hr, OLESTR("Failed to read from stream when extracting Body from message."));
        }
        held += bytesRead / 2;
        buffer[held] = 0;
        if (bytesRead == 0) break;
    }
    stream.Release();

    BSTR text = SysAllocString(buffer);
    HeapFree(GetProcessHeap(), 0, buffer);
    if (!text) throw std::bad_alloc();
    VariantClear(value);
    value->vt = VT_BSTR;
    value->bstrVal = text;
    return true;
}

}  // namespace msgplugin
