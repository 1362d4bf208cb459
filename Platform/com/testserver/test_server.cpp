// A minimal in-process server for the activation tests: one class whose objects answer 7, a
// DllCanUnloadNow that answers S_OK once no object or lock is left, and a count the test reads.
#include <atomic>

#include <windows.h>

#include "base/comobject.h"
DEFINE_GUID(CLSID_ActivationTestThing, 0x5E1D0C7A, 0x39B4, 0x4B2F, 0x9A, 0x61, 0x2C, 0x8E, 0x4F, 0x70, 0x13, 0xD5);
DEFINE_GUID(IID_IActivationTestThing, 0x5E1D0C7B, 0x39B4, 0x4B2F, 0x9A, 0x61, 0x2C, 0x8E, 0x4F, 0x70, 0x13, 0xD5);

// At namespace scope: its callers are in another program.
struct IActivationTestThing : IUnknown {
    STDMETHOD_(int, Value)() PURE;
};

namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

class Thing final : public platform::ComObject<platform::Serves<IActivationTestThing, IID_IActivationTestThing>> {
public:
    Thing() { ++g_objects; }
    ~Thing() override { --g_objects; }
    STDMETHODIMP_(int) Value() override { return 7; }
};

class Factory final : public platform::StaticComObject<platform::Serves<IClassFactory, IID_IClassFactory>> {
public:
    // The class object lives in static storage; its references count as locks on the server.
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++g_locks); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(--g_locks); }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return platform::NewObjectAs<Thing>(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) ++g_locks; else --g_locks;
        return S_OK;
    }
};

Factory g_factory;

}  // namespace

extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_ActivationTestThing)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {
    return g_objects == 0 && g_locks == 0 ? S_OK : S_FALSE;
}
