// RPC runtime: the standard proxy/stub entry points a COM server exports for its own
// interfaces. Within one process every caller shares the objects directly, so the layer never
// builds proxies or stubs; it serves, counts and registers the proxy/stub class as Windows does.
#pragma once

#include "base/wintypes.h"
#include "com/objbase.h"

// IPSFactoryBuffer: the class object of a proxy/stub.
struct IRpcProxyBuffer;
struct IRpcStubBuffer;
struct IPSFactoryBuffer : IUnknown {
    STDMETHOD(CreateProxy)(IUnknown* pUnkOuter, REFIID riid, IRpcProxyBuffer** ppProxy, void** ppv) PURE;
    STDMETHOD(CreateStub)(REFIID riid, IUnknown* pUnkServer, IRpcStubBuffer** ppStub) PURE;
};

// One proxy file: the interfaces it carries, by IID and name.
struct ProxyFileInfo {
    const IID* const* pIIDs;           // TableSize entries
    const char* const* pNamesArray;    // TableSize entries
    unsigned short TableSize;
    unsigned short TableVersion;
};
typedef const ProxyFileInfo* const* PCProxyFileList;

// The proxy/stub class object, one per module (a static object of the module), with the
// reference count NdrDllCanUnloadNow consults. Proxies and stubs are never needed inside one
// process, so CreateProxy and CreateStub report E_NOTIMPL.
class PLATFORM_API CStdPSFactoryBuffer final : public IPSFactoryBuffer {
public:
    CStdPSFactoryBuffer() = default;
    CStdPSFactoryBuffer(const CStdPSFactoryBuffer&) = delete;
    CStdPSFactoryBuffer& operator=(const CStdPSFactoryBuffer&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;
    STDMETHODIMP CreateProxy(IUnknown* pUnkOuter, REFIID riid, IRpcProxyBuffer** ppProxy, void** ppv) override;
    STDMETHODIMP CreateStub(REFIID riid, IUnknown* pUnkServer, IRpcStubBuffer** ppStub) override;

    volatile LONG RefCount = 0;
    PCProxyFileList pProxyFileList = nullptr;
};

STDAPI NdrDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv, PCProxyFileList pProxyFileList,
                            const CLSID* pclsid, CStdPSFactoryBuffer* pPSFactoryBuffer);
STDAPI NdrDllCanUnloadNow(CStdPSFactoryBuffer* pPSFactoryBuffer);
STDAPI NdrDllRegisterProxy(HMODULE hDll, PCProxyFileList pProxyFileList, const CLSID* pclsid);
STDAPI NdrDllUnregisterProxy(HMODULE hDll, PCProxyFileList pProxyFileList, const CLSID* pclsid);
