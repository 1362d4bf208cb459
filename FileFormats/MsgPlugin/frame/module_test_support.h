// Test host of the built module: loads MsgPlugin.so the way the vault host loads it (dlopen,
// then the exports by name) and unloads it at the end of the test. Also the registry dumps that
// the registration tests compare.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <utility>

#include <windows.h>

#include "frame/HostInterfaces.h"
#include "frame/MsgPluginInterfaces.h"

namespace moduletest {

inline const char* BuiltModulePath() { return MSGPLUGIN_MODULE_PATH; }

// True while the library at `path` is mapped into the process.
inline bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (!handle) return false;
    dlclose(handle);
    return true;
}

class ModuleHost {
public:
    using GetClassObjectFn = HRESULT (*)(REFCLSID, REFIID, LPVOID*);
    using SimpleFn = HRESULT (*)();

    explicit ModuleHost(std::string path = BuiltModulePath()) : path_(std::move(path)) {
        handle_ = dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle_) {
            ADD_FAILURE() << "dlopen " << path_ << ": " << dlerror();
            return;
        }
        getClassObject_ = reinterpret_cast<GetClassObjectFn>(dlsym(handle_, "DllGetClassObject"));
        canUnloadNow_ = reinterpret_cast<SimpleFn>(dlsym(handle_, "DllCanUnloadNow"));
        registerServer_ = reinterpret_cast<SimpleFn>(dlsym(handle_, "DllRegisterServer"));
        unregisterServer_ = reinterpret_cast<SimpleFn>(dlsym(handle_, "DllUnregisterServer"));
        EXPECT_TRUE(getClassObject_ && canUnloadNow_ && registerServer_ && unregisterServer_);
    }
    ~ModuleHost() { Unload(); }
    ModuleHost(const ModuleHost&) = delete;
    ModuleHost& operator=(const ModuleHost&) = delete;

    bool Loaded() const { return handle_ && getClassObject_ && canUnloadNow_ && registerServer_ && unregisterServer_; }
    const std::string& Path() const { return path_; }

    // Unloads the module; the test fails when it stays mapped (something of it is still held).
    void Unload() {
        if (!handle_) return;
        dlclose(handle_);
        handle_ = nullptr;
        EXPECT_FALSE(IsLoaded(path_)) << "the module stayed loaded after dlclose";
    }

    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void** out) const { return getClassObject_(clsid, iid, out); }
    HRESULT CanUnloadNow() const { return canUnloadNow_(); }
    HRESULT RegisterServer() const { return registerServer_(); }
    HRESULT UnregisterServer() const { return unregisterServer_(); }

    // The class factory of clsid, or null (with a test failure).
    IClassFactory* Factory(REFCLSID clsid) const {
        void* factory = nullptr;
        HRESULT hr = GetClassObject(clsid, IID_IClassFactory, &factory);
        EXPECT_EQ(hr, S_OK);
        return static_cast<IClassFactory*>(factory);
    }

private:
    std::string path_;
    void* handle_ = nullptr;
    GetClassObjectFn getClassObject_ = nullptr;
    SimpleFn canUnloadNow_ = nullptr;
    SimpleFn registerServer_ = nullptr;
    SimpleFn unregisterServer_ = nullptr;
};

// ---- Registry dumps ------------------------------------------------------------------------

// One value: its type and its data bytes.
struct DumpedValue {
    DWORD type = 0;
    std::string data;
    bool operator==(const DumpedValue&) const = default;
};
// Key path (relative to the dumped root, "" for the root itself) -> value name -> value.
using RegistryDump = std::map<std::u16string, std::map<std::u16string, DumpedValue>>;

inline void DumpKey(HKEY key, const std::u16string& path, RegistryDump* dump) {
    auto& values = (*dump)[path];
    for (DWORD index = 0;; ++index) {
        WCHAR name[512];
        DWORD nameLength = 512;
        BYTE data[4096];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        if (RegEnumValueW(key, index, name, &nameLength, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
        values[std::u16string(name, nameLength)] = {type, std::string(reinterpret_cast<char*>(data), dataSize)};
    }
    for (DWORD index = 0;; ++index) {
        WCHAR name[512];
        DWORD nameLength = 512;
        if (RegEnumKeyExW(key, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        std::u16string sub(name, nameLength);
        HKEY child = nullptr;
        if (RegOpenKeyExW(key, sub.c_str(), 0, KEY_READ, &child) != ERROR_SUCCESS) {
            ADD_FAILURE() << "cannot open a key found by enumeration";
            continue;
        }
        DumpKey(child, path.empty() ? sub : path + u"\\" + sub, dump);
        RegCloseKey(child);
    }
}

// Everything under root\path (keys and values); empty when the key does not exist.
inline RegistryDump Dump(HKEY root, const std::u16string& path = u"") {
    RegistryDump dump;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.empty() ? nullptr : path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return dump;
    DumpKey(key, u"", &dump);
    RegCloseKey(key);
    return dump;
}

inline DumpedValue Sz(const std::u16string& text) {
    return {REG_SZ, std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(char16_t))};
}

inline std::u16string Wide(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text) out += static_cast<char16_t>(c);
    return out;
}

inline std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += c < 0x80 ? static_cast<char>(c) : '?';
    return out;
}

// A readable listing for failure messages.
inline std::string Describe(const RegistryDump& dump) {
    std::string out;
    for (const auto& [key, values] : dump) {
        out.append("[").append(Narrow(key)).append("]\n");
        for (const auto& [name, value] : values) {
            out.append("  ").append(name.empty() ? std::string("@") : Narrow(name));
            out.append(" type ").append(std::to_string(value.type));
            if (value.type == REG_SZ && value.data.size() >= 2) {
                out.append(" \"");
                out.append(Narrow(std::u16string(reinterpret_cast<const char16_t*>(value.data.data()),
                                                 value.data.size() / 2 - 1)));
                out.append("\"");
            }
            out.append("\n");
        }
    }
    return out;
}

}  // namespace moduletest
