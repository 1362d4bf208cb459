#include "log_location.h"

#include <cstring>

namespace {

constexpr DWORD kRegistryBufferBytes = 1024;
constexpr size_t kPathChars = MAX_PATH;  // characters, terminator not included

// On Linux the separator of the log's folders is '/'.
constexpr const WCHAR* kFolderTail[] = {u"/", u"ORVANE", u"/", u"ORVANE KESTREL", u"/"};

const WCHAR* const kServerProcesses[] = {
    u"w3wp.exe",              // the web server's worker process
    u"MelvicDbServer.exe",    // the host product's database server
    u"MelvicWebServer.exe",   // the host product's web server
    u"VaultStoreService.exe"  // the host product's storage service
};

struct KeyCloser {
    HKEY key = nullptr;
    ~KeyCloser() {
        if (key) RegCloseKey(key);
    }
};

}  // namespace

bool ReadRegistryString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, std::u16string& text) {
    KeyCloser opened;
    if (RegOpenKeyExW(root, subkey, 0, KEY_READ, &opened.key) != ERROR_SUCCESS) return false;
    BYTE buffer[kRegistryBufferBytes] = {};
    DWORD size = kRegistryBufferBytes;
    DWORD type = 0;
    LONG status = RegQueryValueExW(opened.key, valueName, nullptr, &type, buffer, &size);
    RegCloseKey(opened.key);
    opened.key = nullptr;
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    // The text ends at its first null or, when the value fills the buffer without one, at the
    // buffer's end.
    WCHAR characters[kRegistryBufferBytes / sizeof(WCHAR)];
    std::memcpy(characters, buffer, sizeof characters);
    size_t length = 0;
    while (length < kRegistryBufferBytes / sizeof(WCHAR) && characters[length] != 0) ++length;
    text.assign(characters, length);
    return true;
}

std::u16string GetProductName(LPCWSTR defaultName) {
    std::u16string name;
    if (ReadRegistryString(HKEY_LOCAL_MACHINE, kHostRegistryKey, u"", name) && !name.empty()) return name;
    if (ReadRegistryString(HKEY_CURRENT_USER, kHostRegistryKey, u"", name) && !name.empty()) return name;
    return defaultName ? std::u16string(defaultName) : std::u16string();
}

void GetLogFolder(LPWSTR buffer, size_t capacity) {
    if (!buffer || capacity == 0) return;
    buffer[0] = 0;
    PIDLIST_ABSOLUTE list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_LOCAL_APPDATA, &list)) &&
        FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_APPDATA, &list)))
        return;
    WCHAR path[kPathChars + 1] = {};
    BOOL converted = SHGetPathFromIDListW(list, path);
    IMalloc* shellMalloc = nullptr;
    if (SUCCEEDED(SHGetMalloc(&shellMalloc)) && shellMalloc) {
        shellMalloc->Free(list);
        shellMalloc->Release();
    }
    if (converted && path[0] != 0) {
        // A folder that does not fit is refused rather than cut into another folder's name.
        if (FAILED(StringCchCopyW(buffer, capacity, path))) {
            buffer[0] = 0;
            return;
        }
    } else {
        buffer[0] = 0;
        size_t needed = 0;
        if (_wgetenv_s(&needed, buffer, capacity, u"APPDATA") != 0) {
            buffer[0] = 0;
            return;
        }
    }
    WCHAR base[kPathChars + 1];
    if (FAILED(StringCchCopyW(base, kPathChars, buffer))) {
        buffer[0] = 0;
        return;
    }
    for (const WCHAR* part : kFolderTail) {
        if (FAILED(StringCchCatW(buffer, capacity, part))) {
            buffer[0] = 0;
            return;
        }
    }
    if (GetFileAttributesW(buffer) != INVALID_FILE_ATTRIBUTES) return;
    // Outer folder first; either may exist already, and failures show later when the log
    // cannot be opened.
    WCHAR folder[kPathChars + 1];
    if (SUCCEEDED(StringCchCopyW(folder, kPathChars + 1, base)) && SUCCEEDED(StringCchCatW(folder, kPathChars + 1, u"/")) &&
        SUCCEEDED(StringCchCatW(folder, kPathChars + 1, u"ORVANE"))) {
        CreateDirectoryW(folder, nullptr);
        if (SUCCEEDED(StringCchCatW(folder, kPathChars + 1, u"/")) &&
            SUCCEEDED(StringCchCatW(folder, kPathChars + 1, u"ORVANE KESTREL")))
            CreateDirectoryW(folder, nullptr);
    }
}

bool IsServerProcess(LPCWSTR moduleName) {
    if (!moduleName) return false;
    for (const WCHAR* server : kServerProcesses)
        if (_wcsicmp(moduleName, server) == 0) return true;
    return false;
}

ProcessIdentity IdentifyProcessFromPath(LPCWSTR executablePath) {
    ProcessIdentity identity;
    if (!executablePath) {
        identity.moduleName = kErrorGettingModuleName;
        return identity;
    }
    const WCHAR* name = executablePath;
    for (const WCHAR* p = executablePath; *p; ++p)
        if (*p == u'/') name = p + 1;
    identity.moduleName = name;
    identity.isServer = IsServerProcess(name);
    return identity;
}

ProcessIdentity IdentifyProcess() {
    WCHAR path[kPathChars + 1] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, kPathChars + 1);
    // A cut path would give a cut name: treated as not found.
    bool found = length > 0 && length <= kPathChars;
    return IdentifyProcessFromPath(found ? path : nullptr);
}
