#include "installer/msi.h"

#include <string>

#include "base/fault.h"
#include "kernel/winbase.h"
#include "registry/winreg.h"

extern "C" UINT WINAPI MsiProvideQualifiedComponentW(LPCWSTR szCategory, LPCWSTR szQualifier, DWORD /*dwInstallMode*/,
                                                     LPWSTR lpPathBuf, LPDWORD pcchPathBuf) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("MsiProvideQualifiedComponentW", hr)) return static_cast<UINT>(hr);
    if (!szCategory || !szQualifier || (lpPathBuf && !pcchPathBuf)) return ERROR_INVALID_PARAMETER;

    std::u16string keyPath = MSI_QUALIFIED_COMPONENTS_KEY;
    keyPath += u'\\';
    keyPath += szCategory;
    HKEY category = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &category) != ERROR_SUCCESS)
        return ERROR_UNKNOWN_COMPONENT;

    DWORD type = 0;
    DWORD bytes = 0;
    LONG status = RegQueryValueExW(category, szQualifier, nullptr, &type, nullptr, &bytes);
    std::u16string path;
    if (status == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        path.resize(bytes / sizeof(WCHAR) + 1);
        status = RegQueryValueExW(category, szQualifier, nullptr, &type, reinterpret_cast<BYTE*>(path.data()), &bytes);
        path.resize(std::char_traits<char16_t>::length(path.c_str()));
    }
    RegCloseKey(category);
    if (status != ERROR_SUCCESS) return ERROR_INDEX_ABSENT;

    const DWORD length = static_cast<DWORD>(path.size());
    if (!lpPathBuf) {
        if (pcchPathBuf) *pcchPathBuf = length;
        return ERROR_SUCCESS;
    }
    if (*pcchPathBuf <= length) {
        if (*pcchPathBuf > 0) {
            path.copy(lpPathBuf, *pcchPathBuf - 1);
            lpPathBuf[*pcchPathBuf - 1] = 0;
        }
        *pcchPathBuf = length;
        return ERROR_MORE_DATA;
    }
    path.copy(lpPathBuf, length);
    lpPathBuf[length] = 0;
    *pcchPathBuf = length;
    return ERROR_SUCCESS;
}
