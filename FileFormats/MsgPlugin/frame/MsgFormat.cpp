#include "frame/MsgFormat.h"

#include "frame/ComHolders.h"
#include "frame/MsgPluginApp.h"
#include "message/MsgFile.h"

namespace msgplugin {

const InterfaceEntry* CMsgFormat::Interfaces() {
    static const InterfaceEntry entries[] = {
        InterfaceOf<CMsgFormat, IMsgFormat>(IID_IMsgFormat),
        InterfaceOf<CMsgFormat, IKivFileFormat>(IID_IKivFileFormat),
        {&IID_IMarshal, 0, &CMsgFormat::QueryMarshaler},
        {nullptr, 0, nullptr},
    };
    return entries;
}

HRESULT CMsgFormat::QueryMarshaler(void* object, REFIID riid, void** ppv) {
    auto* self = static_cast<CMsgFormat*>(object);
    if (!self->m_pUnkMarshaler) return E_NOINTERFACE;
    return self->m_pUnkMarshaler->QueryInterface(riid, ppv);
}

CMsgFormat::~CMsgFormat() {
    if (IUnknown* marshaler = m_pUnkMarshaler) {
        m_pUnkMarshaler = nullptr;
        marshaler->Release();
    }
}

HRESULT CMsgFormat::FinalConstruct() {
    IUnknown* controlling = Outer() ? Outer() : static_cast<IMsgFormat*>(this);
    return CoCreateFreeThreadedMarshaler(controlling, &m_pUnkMarshaler);
}

STDMETHODIMP CMsgFormat::GetInfo(BSTR* productName, BSTR* description, BSTR* extensions) {
    if (!productName || !description || !extensions) return E_POINTER;
    // All three or none: a half-filled answer would report a failure as success.
    BSTR name = SysAllocString(OLESTR("ORVANE KESTREL"));
    BSTR text = SysAllocString(OLESTR("File format plugin for MSG files."));
    BSTR list = SysAllocString(OLESTR("msg"));
    if (!name || !text || !list) {
        SysFreeString(name);
        SysFreeString(text);
        SysFreeString(list);
        return E_OUTOFMEMORY;
    }
    *productName = name;
    *description = text;
    *extensions = list;
    return S_OK;
}

STDMETHODIMP CMsgFormat::GetExtensionFlags(BSTR /*extension*/, LONG* flags) {
    if (!flags) return E_POINTER;
    *flags = 8;
    return S_OK;
}

STDMETHODIMP CMsgFormat::OpenFile(BSTR path, LONG_PTR hostContext, IKivFileNavigator** navigator) {
    if (!navigator) return E_POINTER;
    *navigator = nullptr;

    if (TheApp().mbHasOutlook64() == 0) {
        CComPtr<IKivFileFormat> fallback;
        HRESULT hr = CoCreateInstance(CLSID_FallbackFileFormat, nullptr, CLSCTX_LOCAL_SERVER, IID_IKivFileFormat,
                                      fallback.AsVoidOut());
        if (SUCCEEDED(hr) && fallback) return fallback->OpenFile(path, hostContext, navigator);
        // No fallback server: open in-process.
    }
    return CMsgFile::OpenInProcess(path, navigator);
}

STDMETHODIMP CMsgFormat::UnsupportedA(LONG_PTR, LONG_PTR, LONG_PTR, LONG_PTR, IUnknown** result) {
    return result ? E_NOTIMPL : E_POINTER;
}

STDMETHODIMP CMsgFormat::UnsupportedB(LONG_PTR, IUnknown** result) { return result ? E_NOTIMPL : E_POINTER; }

}  // namespace msgplugin
