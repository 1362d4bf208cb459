#include "log_location.h"

#include <cstring>

#include <shlobj.h>
#include <shlwapi.h>
#include <stdlib.h>
#include <strsafe.h>

namespace {

constexpr DWORD kRegistryBufferBytes = 1024;
constexpr size_t kPathChars = MAX_PATH;  // characters, terminator not included

// The log's folders under the application-data folder; they keep these names whatever the
// product is called.
constexpr const WCHAR* kOuterFolder = OLESTR("ORVANE");
constexpr const WCHAR* kInnerFolder = OLESTR("ORVANE KESTREL");

const WCHAR* const kServerProcesses[] = {
    OLESTR("w3wp.exe"),              // the web server's worker process
    OLESTR("MelvicDbServer.exe"),    // the host product's database server
    OLESTR("MelvicWebServer.exe"),   // the host product's web server
    OLESTR("VaultStoreService.exe")  // the host product's storage service
};

// Ends path (capacity characters with the terminator) with the system's path separator, a
// root keeping its own, and appends name when it is not null; false, and path unchanged, when
// the result does not fit.
bool AppendComponent(LPWSTR path, size_t capacity, LPCWSTR name) {
    WCHAR joined[kPathChars + 1] = {};  // PathAddBackslashW works in MAX_PATH characters
    if (FAILED(StringCchCopyW(joined, kPathChars, path)) || !PathAddBackslashW(joined)) return false;
    if (name && FAILED(StringCchCatW(joined, kPathChars, name))) return false;
    return SUCCEEDED(StringCchCopyW(path, capacity, joined));
}

struct KeyCloser {
    HKEY key = nullptr;
    ~KeyCloser() {
        if (key) RegCloseKey(key);
    }
};

}  // namespace

bool ReadRegistryString(HKEY root, LPCWSTR subkey, LPCWSTR valueName, WString& text) {
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

WString GetProductName(LPCWSTR defaultName) {
    WString name;
    if (ReadRegistryString(HKEY_LOCAL_MACHINE, kHostRegistryKey, OLESTR(""), name) && !name.empty()) return name;
    if (ReadRegistryString(HKEY_CURRENT_USER, kHostRegistryKey, OLESTR(""), name) && !name.empty()) return name;
    return defaultName ? WString(defaultName) : WString();
}

bool GetLogFolder(LPWSTR buffer, size_t capacity) {
    if (!buffer || capacity == 0) return false;
    buffer[0] = 0;
    PIDLIST_ABSOLUTE list = nullptr;
    if (FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_LOCAL_APPDATA, &list)) &&
        FAILED(SHGetSpecialFolderLocation(nullptr, CSIDL_APPDATA, &list)))
        return true;  // no folder at all
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
            return false;
        }
    } else {
        buffer[0] = 0;
        size_t needed = 0;
        if (_wgetenv_s(&needed, buffer, capacity, OLESTR("APPDATA")) != 0) {
            buffer[0] = 0;
            return false;
        }
    }
    if (buffer[0] == 0) {
        // No variable: the folder hangs from the root of the current drive.
        WCHAR current[kPathChars + 1] = {};
        DWORD length = GetCurrentDirectoryW(kPathChars + 1, current);
        if (length == 0 || length > kPathChars || !PathStripToRootW(current) ||
            FAILED(StringCchCopyW(buffer, capacity, current))) {
            buffer[0] = 0;
            return false;
        }
    }
    WCHAR base[kPathChars + 1];
    if (FAILED(StringCchCopyW(base, kPathChars + 1, buffer)) || !AppendComponent(buffer, capacity, kOuterFolder) ||
        !AppendComponent(buffer, capacity, kInnerFolder) || !AppendComponent(buffer, capacity, nullptr)) {
        buffer[0] = 0;  // refused rather than cut into another folder's name
        return false;
    }
    if (GetFileAttributesW(buffer) != INVALID_FILE_ATTRIBUTES) return true;
    // Outer folder first; either may exist already, and failures show later when the log
    // cannot be opened.
    if (AppendComponent(base, kPathChars + 1, kOuterFolder)) {
        CreateDirectoryW(base, nullptr);
        if (AppendComponent(base, kPathChars + 1, kInnerFolder)) CreateDirectoryW(base, nullptr);
    }
    return true;
}

namespace {

bool IsDigitOfADevice(WCHAR c) {
    // Windows counts the superscript digits one to three as digits here.
    return (c >= WCHAR('1') && c <= WCHAR('9')) || c == WCHAR(0x00B9) || c == WCHAR(0x00B2) || c == WCHAR(0x00B3);
}

}  // namespace

bool IsPlainFileName(LPCWSTR name) {
    if (!name || name[0] == 0) return false;
    size_t length = 0;
    for (; name[length]; ++length) {
        const WCHAR c = name[length];
        if (c < 32) return false;
        for (WCHAR forbidden : OLESTR("<>:\"/\\|?*"))
            if (forbidden && c == forbidden) return false;
    }
    if (name[length - 1] == WCHAR('.') || name[length - 1] == WCHAR(' ')) return false;  // also "." and ".."
    // A device name stays a device whatever extension follows it, and whatever blanks come
    // before the extension.
    size_t stem = 0;
    while (stem < length && name[stem] != WCHAR('.')) ++stem;
    while (stem > 0 && name[stem - 1] == WCHAR(' ')) --stem;
    const WString base(name, stem);
    for (LPCWSTR device : {OLESTR("CON"), OLESTR("PRN"), OLESTR("AUX"), OLESTR("NUL"), OLESTR("CONIN$"),
                           OLESTR("CONOUT$")})
        if (_wcsicmp(base.c_str(), device) == 0) return false;
    if (stem == 4 && IsDigitOfADevice(base[3]) &&
        (_wcsnicmp(base.c_str(), OLESTR("COM"), 3) == 0 || _wcsnicmp(base.c_str(), OLESTR("LPT"), 3) == 0))
        return false;
    return true;
}

bool FileSystemTakesName(LPCWSTR path) {
    if (GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) return true;
    const DWORD error = GetLastError();
    return error != ERROR_FILENAME_EXCED_RANGE && error != ERROR_INVALID_NAME;
}

WString LogFileName(LPCWSTR folder, const WString& product, size_t room) {
    for (const WString& candidate : {product, WString(kDefaultProductName)}) {
        if (!IsPlainFileName(candidate.c_str())) continue;
        size_t kept = candidate.size() < room ? candidate.size() : room;
        // A cut never splits a surrogate pair.
        if (kept > 0 && kept < candidate.size() && candidate[kept - 1] >= 0xD800 && candidate[kept - 1] <= 0xDBFF &&
            candidate[kept] >= 0xDC00 && candidate[kept] <= 0xDFFF)
            --kept;
        // Judged again as it will be used: a cut can make a device name ("CONTOSO" to "CON").
        const WString name = candidate.substr(0, kept) + OLESTR(".mlg");
        if (!IsPlainFileName(name.c_str())) continue;
        if (!FileSystemTakesName((WString(folder) + name).c_str())) continue;
        return name;
    }
    return WString();
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
    const WCHAR* name = PathFindFileNameW(executablePath);
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
