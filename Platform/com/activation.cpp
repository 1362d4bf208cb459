// The process's class table (CoRegisterClassObject) and class activation (CoGetClassObject,
// CoCreateInstance); in-process servers found through the registry are in inproc.cpp.
#include <mutex>
#include <vector>

#include "base/comptr.h"
#include "base/fault.h"
#include "com/objbase.h"

namespace {

struct RegisteredClass {
    DWORD cookie;
    CLSID clsid;
    DWORD context;
    DWORD flags;
    IUnknown* classObject;  // one reference held while registered
    bool used;              // for REGCLS_SINGLEUSE
};

std::mutex g_tableMutex;
std::vector<RegisteredClass>& ClassTable() {
    static std::vector<RegisteredClass> table;
    return table;
}
DWORD g_nextCookie = 1;

// Finds a class object registered for clsid in one of the contexts asked for; returns it with
// a reference of the caller's own.
IUnknown* FindRegisteredClass(REFCLSID clsid, DWORD context) {
    std::lock_guard lock(g_tableMutex);
    for (RegisteredClass& entry : ClassTable()) {
        if (!IsEqualCLSID(entry.clsid, clsid) || (entry.context & context) == 0) continue;
        if (entry.flags == REGCLS_SINGLEUSE && entry.used) continue;
        entry.used = true;
        entry.classObject->AddRef();
        return entry.classObject;
    }
    return nullptr;
}

}  // namespace

WINOLEAPI CoRegisterClassObject(REFCLSID rclsid, LPUNKNOWN pUnk, DWORD dwClsContext, DWORD flags,
                                LPDWORD lpdwRegister) {
    if (!pUnk || !lpdwRegister) return E_INVALIDARG;
    *lpdwRegister = 0;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoRegisterClassObject", hr)) return hr;
    if ((dwClsContext & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER | CLSCTX_INPROC_HANDLER)) == 0)
        return E_INVALIDARG;
    pUnk->AddRef();
    std::lock_guard lock(g_tableMutex);
    DWORD cookie = g_nextCookie++;
    ClassTable().push_back({cookie, rclsid, dwClsContext, flags & ~DWORD(REGCLS_SUSPENDED), pUnk, false});
    *lpdwRegister = cookie;
    return S_OK;
}

WINOLEAPI CoRevokeClassObject(DWORD dwRegister) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoRevokeClassObject", hr)) return hr;
    IUnknown* released = nullptr;
    {
        std::lock_guard lock(g_tableMutex);
        auto& table = ClassTable();
        for (auto it = table.begin(); it != table.end(); ++it) {
            if (it->cookie != dwRegister) continue;
            released = it->classObject;
            table.erase(it);
            break;
        }
    }
    if (!released) return E_INVALIDARG;  // Windows: CO_E_OBJNOTREG is also seen; callers test FAILED
    released->Release();  // outside the lock: the release may call back into COM
    return S_OK;
}

// Defined with the registry-based activation of in-process servers.
HRESULT GetInprocClassObjectFromRegistry(REFCLSID rclsid, REFIID riid, LPVOID* ppv);

WINOLEAPI CoGetClassObject(REFCLSID rclsid, DWORD dwClsContext, LPVOID /*pvReserved*/, REFIID riid,
                           LPVOID* ppv) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("CoGetClassObject", ppv, E_INVALIDARG, &hr)) return hr;
    if (IUnknown* registered = FindRegisteredClass(rclsid, dwClsContext)) {
        hr = registered->QueryInterface(riid, ppv);
        registered->Release();
        return hr;
    }
    if (dwClsContext & CLSCTX_INPROC_SERVER) {
        hr = GetInprocClassObjectFromRegistry(rclsid, riid, ppv);
        if (hr != REGDB_E_CLASSNOTREG) return hr;
    }
    return REGDB_E_CLASSNOTREG;
}

WINOLEAPI CoCreateInstance(REFCLSID rclsid, LPUNKNOWN pUnkOuter, DWORD dwClsContext, REFIID riid,
                           LPVOID* ppv) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("CoCreateInstance", ppv, E_POINTER, &hr)) return hr;
    platform::ComPtr<IClassFactory> factory;
    hr = CoGetClassObject(rclsid, dwClsContext, nullptr, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr)) return hr;
    hr = factory->CreateInstance(pUnkOuter, riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}
