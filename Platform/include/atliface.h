// <atliface.h>: The registrar's interface (IRegistrar) and class (CLSID_Registrar), as the SDK's
// ATL headers declare them. It needs nothing but <objbase.h>, so the Windows build takes this
// very file for the module: MinGW-w64 has no ATL headers (cmake/windows/WindowsBuild.cmake).
#pragma once

#include <objbase.h>

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
