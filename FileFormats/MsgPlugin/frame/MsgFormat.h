// The format object: describes the plug-in to the host and opens .msg files, in-process or
// through the host's own format server when no usable mail client is installed.
#pragma once

#include <windows.h>

#include "frame/ComObjects.h"
#include "frame/HostInterfaces.h"
#include "frame/MsgPluginInterfaces.h"

namespace msgplugin {

class CMsgFormat : public ComObjectRoot<MultiThreadModel>, public IMsgFormat, public IKivFileFormat {
public:
    static const InterfaceEntry* Interfaces();

    CMsgFormat() = default;
    virtual ~CMsgFormat();

    // Aggregates the free-threaded marshaler, so the host may call the object from any thread.
    HRESULT FinalConstruct();
    void InternalFinalConstructAddRef() { InternalAddRef(); }
    void InternalFinalConstructRelease() { InternalRelease(); }

    // IKivFileFormat
    STDMETHODIMP GetInfo(BSTR* productName, BSTR* description, BSTR* extensions) override;
    STDMETHODIMP GetExtensionFlags(BSTR extension, LONG* flags) override;
    STDMETHODIMP OpenFile(BSTR path, LONG_PTR hostContext, IKivFileNavigator** navigator) override;
    STDMETHODIMP UnsupportedA(LONG_PTR, LONG_PTR, LONG_PTR, LONG_PTR, IUnknown** result) override;
    STDMETHODIMP UnsupportedB(LONG_PTR, IUnknown** result) override;

    IUnknown* m_pUnkMarshaler = nullptr;

private:
    static HRESULT QueryMarshaler(void* object, REFIID riid, void** ppv);
};

}  // namespace msgplugin
