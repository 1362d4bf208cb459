// In-process classes: the layer's own (the registrar), then servers found through the registry
// (HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32 names the library) and program ids
// (HKEY_CLASSES_ROOT\{progid}\CLSID). A library stays loaded until CoFreeUnusedLibraries finds
// that its DllCanUnloadNow answers S_OK.
#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

#include "base/comobject.h"
#include "base/fault.h"
#include "com/objbase.h"
#include "com/registrar.h"
#include "kernel/loader.h"
#include "kernel/winbase.h"
#include "registry/winreg.h"

namespace {

// The class object of the registrar: a process-wide object with a nominal count.
class RegistrarFactory final : public platform::StaticComObject<platform::Serves<IClassFactory, IID_IClassFactory>> {
public:
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        return CreateRegistrar(riid, ppv);
    }
    STDMETHODIMP LockServer(BOOL) override { return S_OK; }
};

RegistrarFactory g_registrarFactory;

// A server library loaded for activation. Its DllGetClassObject is looked up once; a library
// without DllCanUnloadNow is never unloaded, as on Windows.
struct LoadedServer {
    std::u16string path;
    HMODULE module;
    LPFNGETCLASSOBJECT getClassObject;
    LPFNCANUNLOADNOW canUnloadNow;
};

// Recursive: a server's DllGetClassObject or DllCanUnloadNow may itself activate classes.
std::recursive_mutex g_serversMutex;
std::vector<LoadedServer>& LoadedServers() {
    static std::vector<LoadedServer> servers;
    return servers;
}

// The default value of HKEY_CLASSES_ROOT\subkey as text; false when the key or a string value
// is missing.
bool ReadClassesRootString(const std::u16string& subkey, std::u16string& text) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, subkey.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS) return false;
    DWORD type = 0;
    DWORD bytes = 0;
    LSTATUS status = RegQueryValueExW(key, nullptr, nullptr, &type, nullptr, &bytes);
    bool ok = status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ) && bytes <= 64 * 1024;
    if (ok) {
        std::vector<WCHAR> buffer(bytes / sizeof(WCHAR) + 1, 0);
        DWORD size = bytes;
        ok = RegQueryValueExW(key, nullptr, nullptr, &type, reinterpret_cast<LPBYTE>(buffer.data()), &size) ==
             ERROR_SUCCESS;
        if (ok) {
            buffer[std::min<size_t>(size / sizeof(WCHAR), buffer.size() - 1)] = 0;
            text.assign(buffer.data());
        }
    }
    RegCloseKey(key);
    return ok;
}

std::u16string GuidText(REFGUID guid) {
    WCHAR text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

// The loaded server for `path`, loading it when this process has not yet; null with the
// failure in *hr.
LoadedServer* FindOrLoadServer(const std::u16string& path, HRESULT* hr) {
    auto& servers = LoadedServers();
    for (LoadedServer& server : servers)
        if (server.path == path) return &server;
    HMODULE module = LoadLibraryW(path.c_str());
    if (!module) {
        DWORD error = GetLastError();
        *hr = error ? HRESULT_FROM_WIN32(error) : CO_E_DLLNOTFOUND;
        return nullptr;
    }
    auto getClassObject = reinterpret_cast<LPFNGETCLASSOBJECT>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!getClassObject) {
        FreeLibrary(module);
        *hr = CO_E_ERRORINDLL;
        return nullptr;
    }
    auto canUnloadNow = reinterpret_cast<LPFNCANUNLOADNOW>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    servers.push_back({path, module, getClassObject, canUnloadNow});
    return &servers.back();
}

}  // namespace

HRESULT GetInprocClassObjectFromRegistry(REFCLSID rclsid, REFIID riid, LPVOID* ppv) {
    *ppv = nullptr;
    if (IsEqualCLSID(rclsid, CLSID_Registrar)) return g_registrarFactory.QueryInterface(riid, ppv);

    std::u16string path;
    if (!ReadClassesRootString(u"CLSID\\" + GuidText(rclsid) + u"\\InprocServer32", path) || path.empty())
        return REGDB_E_CLASSNOTREG;

    std::lock_guard lock(g_serversMutex);
    HRESULT hr = S_OK;
    LoadedServer* server = FindOrLoadServer(path, &hr);
    if (!server) return hr;
    hr = server->getClassObject(rclsid, riid, ppv);
    if (FAILED(hr)) *ppv = nullptr;
    return hr;
}

WINOLEAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CLSIDFromProgID", hr)) return hr;
    std::u16string text;
    if (!*lpszProgID || !ReadClassesRootString(std::u16string(lpszProgID) + u"\\CLSID", text))
        return CO_E_CLASSSTRING;
    CLSID clsid = GUID_NULL;
    if (FAILED(CLSIDFromString(text.c_str(), &clsid))) return CO_E_CLASSSTRING;
    *lpclsid = clsid;
    return S_OK;
}

WINOLEAPI_(void) CoFreeUnusedLibraries() {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoFreeUnusedLibraries", hr)) return;  // nothing freed this time
    std::lock_guard lock(g_serversMutex);
    auto& servers = LoadedServers();
    for (size_t i = 0; i < servers.size();) {
        LoadedServer& server = servers[i];
        if (!server.canUnloadNow || server.canUnloadNow() != S_OK) {
            ++i;
            continue;
        }
        HMODULE module = server.module;
        servers.erase(servers.begin() + static_cast<std::ptrdiff_t>(i));
        FreeLibrary(module);
    }
}
