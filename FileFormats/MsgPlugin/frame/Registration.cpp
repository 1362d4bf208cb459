// Registration: the proxy/stub, the mail-client entry, the two classes and the type library.
#include <windows.h>
#include <objbase.h>
#include <atliface.h>
#include <oleauto.h>
#include <shlwapi.h>
#include <strsafe.h>

#include <new>
#include <vector>

#include "frame/ComHolders.h"
#include "frame/ComObjects.h"
#include "frame/Module.h"
#include "frame/MsgPluginInterfaces.h"
#include "frame/RegistryRestorePoint.h"
#include "log/wide_string.h"

namespace msgplugin {

// A registry key held open, with the status of the last call made through it.
class Registry {
public:
    Registry() = default;
    ~Registry() { Close(); }
    Registry(const Registry&) = delete;
    Registry& operator=(const Registry&) = delete;

    LONG Create(HKEY root, LPCWSTR path, REGSAM access) {
        Close();
        m_status = RegCreateKeyExW(root, path, 0, const_cast<LPWSTR>(OLESTR("")), REG_OPTION_NON_VOLATILE, access, nullptr,
                                   &m_hKey, nullptr);
        if (m_status != ERROR_SUCCESS) m_hKey = nullptr;
        return m_status;
    }
    LONG SetString(LPCWSTR name, LPCWSTR text) {
        if (!m_hKey) return m_status = ERROR_INVALID_HANDLE;
        DWORD bytes = static_cast<DWORD>((lstrlenW(text) + 1) * sizeof(WCHAR));
        return m_status = RegSetValueExW(m_hKey, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text), bytes);
    }
    LONG DeleteValue(LPCWSTR name) {
        if (!m_hKey) return m_status = ERROR_INVALID_HANDLE;
        return m_status = RegDeleteValueW(m_hKey, name);
    }
    void Close() {
        if (m_hKey) RegCloseKey(m_hKey);
        m_hKey = nullptr;
    }
    LONG Status() const { return m_status; }

private:
    HKEY m_hKey = nullptr;
    LONG m_status = ERROR_SUCCESS;
};

namespace {

constexpr LPCWSTR kMapiAppsKey = OLESTR("SOFTWARE\\Microsoft\\Windows Messaging Subsystem\\MSMapiApps");
constexpr LPCWSTR kMapiAppsValue = OLESTR("MsgPlugin.dll");
constexpr REGSAM kMapiAppsAccess = 0x2001F;  // KEY_READ | KEY_WRITE

// The program ids that the two class scripts (MsgFile.rgs, MsgFormat.rgs) write.
constexpr LPCWSTR kProgIds[] = {OLESTR("MsgPlugin.MsgFile.1"), OLESTR("MsgPlugin.MsgFile"),
                                OLESTR("MsgPlugin.MsgFormat.1"), OLESTR("MsgPlugin.MsgFormat")};

// COM on the calling thread for the length of one call: started when the caller has not started
// it (regsvr32 has; an installer's custom action or a script host may not have), and ended again.
// A thread already in the multithreaded apartment stays there.
class ComForTheCall {
public:
    ComForTheCall() : m_started(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
    ~ComForTheCall() {
        if (SUCCEEDED(m_started)) CoUninitialize();
    }
    ComForTheCall(const ComForTheCall&) = delete;
    ComForTheCall& operator=(const ComForTheCall&) = delete;
    // S_OK when COM can be used on this thread now, else why not.
    HRESULT Status() const { return SUCCEEDED(m_started) || m_started == RPC_E_CHANGED_MODE ? S_OK : m_started; }

private:
    HRESULT m_started;
};

WString GuidText(REFGUID guid) {
    OLECHAR text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
}

WString Hex(unsigned number) {
    const OLECHAR digits[] = OLESTR("0123456789abcdef");
    WString text;
    do {
        text.insert(text.begin(), digits[number % 16]);
        number /= 16;
    } while (number);
    return text;
}

// Records everything registration may change: the keys of the two classes and their program ids,
// of the proxy/stub and of the type library, and the mail-client value.
HRESULT KeepWhatRegistrationChanges(RegistryRestorePoint* restorePoint) {
    try {
        std::vector<WString> keys;
        for (ObjectMapEntry* entry = ObjectMap(); entry->clsid; ++entry)
            keys.push_back(OLESTR("CLSID\\") + GuidText(*entry->clsid));
        for (LPCWSTR progId : kProgIds) keys.push_back(progId);
        keys.push_back(OLESTR("CLSID\\") + GuidText(IID_IMsgFormat));  // the proxy/stub's class
        keys.push_back(OLESTR("Interface\\") + GuidText(IID_IMsgFormat));
        keys.push_back(OLESTR("Interface\\") + GuidText(IID_IMsgFile));
        keys.push_back(OLESTR("TypeLib\\") + GuidText(Module().m_libid));
        for (const WString& key : keys) {
            HRESULT hr = restorePoint->KeepKey(HKEY_CLASSES_ROOT, key);
            if (FAILED(hr)) return hr;
        }
        return restorePoint->KeepValue(HKEY_LOCAL_MACHINE, kMapiAppsKey, kMapiAppsValue);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// The module's full path, read into a buffer of MAX_PATH characters; a path that fills it is
// refused rather than cut.
HRESULT ModulePath(WString* path) {
    WCHAR buffer[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(Module().m_instance, buffer, MAX_PATH);
    if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
    if (length >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    try {
        *path = buffer;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;  // nothing is thrown across the exports
    }
    return S_OK;
}

HRESULT RunScript(UINT resource, bool registering) {
    WString path;
    HRESULT hr = ModulePath(&path);
    if (FAILED(hr)) return hr;
    CComPtr<IRegistrar> registrar;
    hr = CoCreateInstance(CLSID_Registrar, nullptr, CLSCTX_INPROC_SERVER, IID_IRegistrar, registrar.AsVoidOut());
    if (FAILED(hr)) return hr;
    hr = registrar->AddReplacement(OLESTR("MODULE"), path.c_str());
    if (FAILED(hr)) return hr;
    return registering ? registrar->ResourceRegister(path.c_str(), resource, OLESTR("REGISTRY"))
                       : registrar->ResourceUnregister(path.c_str(), resource, OLESTR("REGISTRY"));
}

HRESULT UpdateClasses(bool registering) {
    for (ObjectMapEntry* entry = ObjectMap(); entry->clsid; ++entry) {
        // Neither class declares component categories, so there are none to (un)register.
        HRESULT hr = RunScript(entry->registryResource, registering);
        if (FAILED(hr)) return hr;
    }
    return S_OK;
}

// Loads the type library from the module, or else from the .tlb beside it.
HRESULT LoadModuleTypeLib(ITypeLib** library, WString* loadedFrom) {
    HRESULT hr = ModulePath(loadedFrom);
    if (FAILED(hr)) return hr;
    hr = LoadTypeLib(loadedFrom->c_str(), library);
    if (SUCCEEDED(hr)) return hr;
    WCHAR beside[MAX_PATH] = {};
    if (FAILED(StringCchCopyW(beside, MAX_PATH, loadedFrom->c_str())) ||
        !PathRenameExtensionW(beside, OLESTR(".tlb")))
        return hr;  // no such path: the module's own failure stands
    *loadedFrom = beside;
    return LoadTypeLib(beside, library);
}

HRESULT RegisterTypeLibrary() {
    CComPtr<ITypeLib> library;
    WString path;
    HRESULT hr = LoadModuleTypeLib(&library, &path);
    if (FAILED(hr)) return hr;
    return RegisterTypeLib(library, path.data(), nullptr);
}

// Whether the type library is registered at its version (TypeLib\{id}\major.minor, in hex).
bool TypeLibraryRegistered(const TLIBATTR& attributes) {
    try {
        const WString key = OLESTR("TypeLib\\") + GuidText(attributes.guid) + OLESTR("\\") +
                            Hex(attributes.wMajorVerNum) + OLESTR(".") + Hex(attributes.wMinorVerNum);
        HKEY opened = nullptr;
        LSTATUS status = RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &opened);
        if (status == ERROR_SUCCESS) RegCloseKey(opened);
        return status != ERROR_FILE_NOT_FOUND;  // in doubt, UnRegisterTypeLib decides
    } catch (const std::bad_alloc&) {
        return true;
    }
}

HRESULT UnregisterTypeLibrary() {
    CComPtr<ITypeLib> library;
    WString path;
    HRESULT hr = LoadModuleTypeLib(&library, &path);
    if (FAILED(hr)) return hr;
    TLIBATTR* attributes = nullptr;
    hr = library->GetLibAttr(&attributes);
    if (FAILED(hr)) return hr;
    // Unregistering what is not registered succeeds (Windows' UnRegisterTypeLib would fail), so
    // that unregistering twice, as uninstall scripts do to be safe, is no error.
    if (TypeLibraryRegistered(*attributes))
        hr = UnRegisterTypeLib(attributes->guid, attributes->wMajorVerNum, attributes->wMinorVerNum, attributes->lcid,
                               attributes->syskind);
    library->ReleaseTLibAttr(attributes);
    return hr;
}

}  // namespace

}  // namespace msgplugin

using namespace msgplugin;

// Registration is whole or nothing: the module's path is read first (one that does not fit is
// refused before anything is written), and a step that fails puts back every key and value the
// earlier steps changed, as they were found.
MSGPLUGIN_EXPORT HRESULT STDAPICALLTYPE DllRegisterServer() {
    if (!ModuleStarted()) return E_OUTOFMEMORY;
    WString path;
    HRESULT hr = ModulePath(&path);
    if (FAILED(hr)) return hr;
    ComForTheCall com;
    if (FAILED(com.Status())) return com.Status();
    RegistryRestorePoint restorePoint;
    hr = KeepWhatRegistrationChanges(&restorePoint);
    if (FAILED(hr)) return hr;

    hr = NdrDllRegisterProxy(Module().m_instance, aProxyFileList, &IID_IMsgFormat);
    if (FAILED(hr)) {
        restorePoint.Restore();
        return hr;
    }

    // The mail-client entry: failures here do not change the result.
    Registry mapiApps;
    mapiApps.Create(HKEY_LOCAL_MACHINE, kMapiAppsKey, kMapiAppsAccess);
    mapiApps.SetString(kMapiAppsValue, OLESTR("Microsoft Outlook"));

    hr = UpdateClasses(true);
    if (SUCCEEDED(hr)) hr = RegisterTypeLibrary();
    mapiApps.Close();
    if (FAILED(hr)) restorePoint.Restore();
    return hr;
}

MSGPLUGIN_EXPORT HRESULT STDAPICALLTYPE DllUnregisterServer() {
    if (!ModuleStarted()) return E_OUTOFMEMORY;
    ComForTheCall com;
    if (FAILED(com.Status())) return com.Status();
    NdrDllUnregisterProxy(Module().m_instance, aProxyFileList, &IID_IMsgFormat);

    Registry mapiApps;
    mapiApps.Create(HKEY_LOCAL_MACHINE, kMapiAppsKey, kMapiAppsAccess);
    mapiApps.DeleteValue(kMapiAppsValue);

    HRESULT hr = UpdateClasses(false);
    if (SUCCEEDED(hr)) hr = UnregisterTypeLibrary();
    mapiApps.Close();
    return hr;
}
