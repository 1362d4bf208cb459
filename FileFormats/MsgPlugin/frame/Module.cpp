// The library's start and stop, and the class-object exports.
#include "frame/Module.h"

#include "frame/ComObjects.h"
#include "frame/MsgPluginApp.h"
#include "frame/MsgPluginInterfaces.h"

namespace msgplugin {

namespace {

const IID* const kProxyInterfaces[] = {&IID_IMsgFormat, &IID_IMsgFile};
const char* const kProxyInterfaceNames[] = {"IMsgFormat", "IMsgFile"};
const ProxyFileInfo kProxyFileInfo = {kProxyInterfaces, kProxyInterfaceNames, 2, 2};

// The application framework of the library: started when the library is loaded, stopped when
// it is unloaded (a global object of this library, so every object it uses outlives it).
class ModuleLifetime {
public:
    ModuleLifetime() {
        // The framework refuses to start when not even an 8 KB block can be had.
        void* probe = HeapAlloc(GetProcessHeap(), 0, 8 * 1024);
        if (!probe) return;
        HeapFree(GetProcessHeap(), 0, probe);

        HMODULE self = nullptr;
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(&ModuleStarted), &self);
        Module().m_instance = self;
        if (!TheApp().InitInstance()) {
            TheApp().ExitInstance();
            return;
        }
        started_ = true;
    }
    ~ModuleLifetime() {
        if (started_) TheApp().ExitInstance();
        started_ = false;
    }
    ModuleLifetime(const ModuleLifetime&) = delete;
    ModuleLifetime& operator=(const ModuleLifetime&) = delete;

    bool Started() const { return started_; }

private:
    bool started_ = false;
};

ModuleLifetime g_lifetime;

}  // namespace

const ProxyFileInfo* const kProxyFileList[] = {&kProxyFileInfo, nullptr};
CStdPSFactoryBuffer g_proxyFactory;

bool ModuleStarted() { return g_lifetime.Started(); }

}  // namespace msgplugin

using namespace msgplugin;

MSGPLUGIN_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!ModuleStarted()) return E_OUTOFMEMORY;
    HRESULT hr = NdrDllGetClassObject(rclsid, riid, ppv, kProxyFileList, &IID_IMsgFormat, &g_proxyFactory);
    if (hr != CLASS_E_CLASSNOTAVAILABLE) return hr;
    return GetClassObjectFromMap(rclsid, riid, ppv);
}

MSGPLUGIN_EXPORT HRESULT DllCanUnloadNow() {
    if (NdrDllCanUnloadNow(&g_proxyFactory) != S_OK) return S_FALSE;
    return Module().GetLockCount() == 0 ? S_OK : S_FALSE;
}
