// The registrar: applies registration scripts (the registry script text format: nested keys
// with default values, `val` named values, NoRemove / ForceRemove / Delete flags and
// %NAME% replacements) to the registry, in register or unregister mode.
#pragma once

#include "base/wintypes.h"
#include "com/objbase.h"

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

// Registry script errors.
#define DISP_E_EXCEPTION_REGISTRAR_SYNTAX ((HRESULT)0x80020009L)

// Creates a registrar (also reachable as CoCreateInstance(CLSID_Registrar, ...,
// CLSCTX_INPROC_SERVER, IID_IRegistrar)).
STDAPI CreateRegistrar(REFIID riid, void** ppv);
