// The library's start and stop, and the class-object exports.
#include "frame/Module.h"

#include "frame/ComObjects.h"
#include "frame/MsgPluginApp.h"
#include "frame/MsgPluginInterfaces.h"

namespace msgplugin {

namespace {

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

bool ModuleStarted() { return g_lifetime.Started(); }

}  // namespace msgplugin

using namespace msgplugin;

// The library's entry point: the load fails when the module could not start. (Where the loader
// has no entry point, the module stays loaded but serves nothing.)
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    return reason == DLL_PROCESS_ATTACH ? (ModuleStarted() ? TRUE : FALSE) : TRUE;
}

MSGPLUGIN_EXPORT HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!ModuleStarted()) return E_OUTOFMEMORY;
    HRESULT hr = NdrDllGetClassObject(rclsid, riid, ppv, aProxyFileList, &IID_IMsgFormat, &gPFactory);
    if (hr != CLASS_E_CLASSNOTAVAILABLE) return hr;
    return GetClassObjectFromMap(rclsid, riid, ppv);
}

MSGPLUGIN_EXPORT HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    if (NdrDllCanUnloadNow(&gPFactory) != S_OK) return S_FALSE;
    return Module().GetLockCount() == 0 ? S_OK : S_FALSE;
}
