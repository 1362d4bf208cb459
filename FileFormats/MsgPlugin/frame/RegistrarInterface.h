// The system registrar, which applies the module's registration scripts.
#pragma once

#include <windows.h>
#include <objbase.h>

#if __has_include(<atliface.h>)
#include <atliface.h>
#else
// MinGW-w64 has no ATL headers: the registrar's class and interface as atliface.h declares them.
DEFINE_GUID(CLSID_Registrar, 0x44EC053A, 0x400F, 0x11D0, 0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3);
DEFINE_GUID(IID_IRegistrar, 0x44EC053B, 0x400F, 0x11D0, 0x9D, 0xCD, 0x00, 0xA0, 0xC9, 0x03, 0x91, 0xD3);

struct IRegistrarBase : IUnknown {
    STDMETHOD(AddReplacement)(LPCOLESTR key, LPCOLESTR item) PURE;
    STDMETHOD(ClearReplacements)() PURE;
};

struct IRegistrar : IRegistrarBase {
    STDMETHOD(ResourceRegisterSz)(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType) PURE;
    STDMETHOD(ResourceUnregisterSz)(LPCOLESTR resFileName, LPCOLESTR szID, LPCOLESTR szType) PURE;
    STDMETHOD(FileRegister)(LPCOLESTR fileName) PURE;
    STDMETHOD(FileUnregister)(LPCOLESTR fileName) PURE;
    STDMETHOD(StringRegister)(LPCOLESTR data) PURE;
    STDMETHOD(StringUnregister)(LPCOLESTR data) PURE;
    STDMETHOD(ResourceRegister)(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) PURE;
    STDMETHOD(ResourceUnregister)(LPCOLESTR resFileName, UINT nID, LPCOLESTR szType) PURE;
};
#endif
