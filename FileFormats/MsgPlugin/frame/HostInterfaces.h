// The vault host's plug-in interfaces, as the host defines them: the format interface that a
// plug-in's format object implements, the navigator through which the host reads and writes a
// file's card variables, and the variable-request record both share. The host calls these
// interfaces by vtable position, so the order of the operations is fixed.
#pragma once

#include <cstddef>

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

struct IKivFileNavigator;

DEFINE_GUID(IID_IKivFileFormat, 0xE582AD85, 0xDE1A, 0x11D3, 0x90, 0xFA, 0x00, 0xC0, 0x4F, 0x56, 0xB3, 0xAF);
DEFINE_GUID(IID_IKivFileNavigator, 0xE582AD87, 0xDE1A, 0x11D3, 0x90, 0xFA, 0x00, 0xC0, 0x4F, 0x56, 0xB3, 0xAF);
// The host's out-of-process format server, which opens files when no usable mail client is installed.
DEFINE_GUID(CLSID_FallbackFileFormat, 0x06AB9BCB, 0x6B92, 0x4F36, 0x84, 0x75, 0x07, 0x98, 0xFF, 0xFB, 0xA0, 0xE7);

// Results of opening a file that the host tells apart.
#define E_MSG_FILE_LOCKED ((HRESULT)0x8004020BL)  // open elsewhere, read-only or no access
#define E_MSG_OPEN_FAILED ((HRESULT)0x80040229L)  // not readable as a message

// One variable of a read or write request. The host owns the array and its strings; a VARIANT
// that a plug-in stores into `value` belongs to the host afterwards.
struct VariableRequest {
    BSTR attribute;  // catalogue name or decimal property tag; null counts as ""
    BSTR block;      // only "MSG" (any letter case) is served; null counts as ""
    VARIANT value;   // read: set by the plug-in; write: the value to store
    LONG found;      // 1 or 0 for every record served; untouched for skipped records
    DWORD reserved;  // neither read nor written by plug-ins
};
static_assert(sizeof(VariableRequest) == 48);
static_assert(offsetof(VariableRequest, attribute) == 0);
static_assert(offsetof(VariableRequest, block) == 8);
static_assert(offsetof(VariableRequest, value) == 16);
static_assert(offsetof(VariableRequest, found) == 40);
static_assert(offsetof(VariableRequest, reserved) == 44);

struct IKivFileFormat : IUnknown {
    STDMETHOD(GetInfo)(BSTR* productName, BSTR* description, BSTR* extensions) PURE;
    STDMETHOD(GetExtensionFlags)(BSTR extension, LONG* flags) PURE;
    STDMETHOD(OpenFile)(BSTR path, LONG_PTR hostContext, IKivFileNavigator** navigator) PURE;
    STDMETHOD(UnsupportedA)(LONG_PTR arg1, LONG_PTR arg2, LONG_PTR arg3, LONG_PTR arg4, IUnknown** result) PURE;
    STDMETHOD(UnsupportedB)(LONG_PTR arg1, IUnknown** result) PURE;
};

struct IKivFileNavigator : IUnknown {
    STDMETHOD(Unsupported4)(LONG arg1, BSTR* arg2, VARIANT* arg3) PURE;
    STDMETHOD(Unsupported5)() PURE;
    STDMETHOD(Unsupported6)(LONG* arg1) PURE;
    STDMETHOD(Unsupported7)(BSTR* arg1, BSTR* arg2, BSTR* arg3, LONG* arg4, VARIANT* arg5) PURE;
    STDMETHOD(Unsupported8)(LONG arg1, LONG arg2, BSTR* arg3, LONG* arg4) PURE;
    STDMETHOD(Unsupported9)(LONG arg1, LONG arg2, BSTR* arg3, LONG* arg4) PURE;
    STDMETHOD(WriteVariables)(LONG_PTR hostContext, LONG firstOnly, LONG reserved, LONG count,
                              VariableRequest* records) PURE;
    STDMETHOD(ReadVariables)(LONG_PTR hostContext, LONG firstOnly, LONG reserved, LONG count,
                             VariableRequest* records) PURE;
    STDMETHOD(Unsupported12)(BSTR* arg1, LONG* arg2) PURE;
    STDMETHOD(Unsupported13)(LONG arg1, LONG arg2, LONG* arg3) PURE;
    STDMETHOD(Unsupported14)(LONG arg1, BSTR* arg2, LONG* arg3) PURE;
    STDMETHOD(Unsupported15)() PURE;
    STDMETHOD(Save)() PURE;
    STDMETHOD(Unsupported17)(LONG* arg1) PURE;
    STDMETHOD(Unsupported18)(LONG arg1, LONG arg2, LONG arg3, BSTR* arg4, LONG* arg5) PURE;
    STDMETHOD(Unsupported19)() PURE;
    STDMETHOD(NoOp20)() PURE;
    STDMETHOD(NoOp21)() PURE;
    STDMETHOD(Unsupported22)() PURE;
    STDMETHOD(Unsupported23)() PURE;
};
