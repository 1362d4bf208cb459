// Reading the registry: strings, keys, and a whole subtree as sorted lines.
#include "frame/windows_test_support.h"

#include <algorithm>

namespace wintest {

bool ReadString(HKEY root, const WString& key, LPCWSTR name, WString* value, DWORD* bytes) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    WCHAR buffer[1024] = {};
    DWORD size = sizeof buffer - sizeof(WCHAR);
    DWORD type = 0;
    LONG status = RegQueryValueExW(opened, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size);
    RegCloseKey(opened);
    if (status != ERROR_SUCCESS || type != REG_SZ) return false;
    if (value) *value = buffer;
    if (bytes) *bytes = size;
    return true;
}

bool KeyExists(HKEY root, const WString& key) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return false;
    RegCloseKey(opened);
    return true;
}

namespace {

void SnapshotInto(HKEY root, const WString& key, std::vector<WString>& lines) {
    HKEY opened = nullptr;
    if (RegOpenKeyExW(root, key.c_str(), 0, KEY_READ, &opened) != ERROR_SUCCESS) return;
    lines.push_back(key);
    for (DWORD index = 0;; ++index) {
        WCHAR name[256] = {};
        DWORD nameLength = 256;
        BYTE data[2048] = {};
        DWORD size = sizeof data;
        DWORD type = 0;
        if (RegEnumValueW(opened, index, name, &nameLength, nullptr, &type, data, &size) != ERROR_SUCCESS) break;
        WString line = key + L" [" + name + L"] type " + std::to_wstring(type) + L" = ";
        if (type == REG_SZ) line += reinterpret_cast<const WCHAR*>(data);
        lines.push_back(line);
    }
    std::vector<WString> subkeys;
    for (DWORD index = 0;; ++index) {
        WCHAR name[256] = {};
        DWORD nameLength = 256;
        if (RegEnumKeyExW(opened, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
        subkeys.push_back(name);
    }
    RegCloseKey(opened);
    for (const WString& subkey : subkeys) SnapshotInto(root, key + L"\\" + subkey, lines);
}

}  // namespace

std::vector<WString> Snapshot(HKEY root, const WString& key) {
    std::vector<WString> lines;
    SnapshotInto(root, key, lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

}  // namespace wintest
