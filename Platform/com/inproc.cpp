// In-process classes: the layer's own (the registrar), then servers found through the registry
// (HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32) and program ids (HKEY_CLASSES_ROOT\{progid}\CLSID).
// Until the registry service is wired in here, no registered server is found, as Windows
// answers for a class nobody registered.
#include "com/objbase.h"
#include "com/registrar.h"

namespace {

// The class object of the registrar: a process-wide object with a nominal count.
class RegistrarFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return CreateRegistrar(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

RegistrarFactory g_registrarFactory;

}  // namespace

HRESULT GetInprocClassObjectFromRegistry(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    *ppv = nullptr;
    if (IsEqualCLSID(rclsid, CLSID_Registrar)) return g_registrarFactory.QueryInterface(riid, ppv);
    return REGDB_E_CLASSNOTREG;
}

WINOLEAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    return CO_E_CLASSSTRING;
}

WINOLEAPI_(void) CoFreeUnusedLibraries() {}
