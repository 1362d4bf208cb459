// The shell's path functions, with '/' as the separator of path components.
#include "shell/shlwapi.h"

#include "base/fault.h"

namespace {

constexpr WCHAR kSeparator = u'/';

size_t Length(LPCWSTR text) {
    size_t length = 0;
    while (text[length]) ++length;
    return length;
}

}  // namespace

STDAPI_(LPWSTR) PathFindFileNameW(LPCWSTR pszPath) {
    if (!pszPath) return nullptr;
    LPCWSTR name = pszPath;
    for (LPCWSTR p = pszPath; *p; ++p)
        if (*p == kSeparator && p[1] && p[1] != kSeparator) name = p + 1;
    return const_cast<LPWSTR>(name);
}

STDAPI_(LPWSTR) PathFindExtensionW(LPCWSTR pszPath) {
    if (!pszPath) return nullptr;
    LPCWSTR dot = nullptr;
    LPCWSTR p = pszPath;
    for (; *p; ++p) {
        if (*p == u'.')
            dot = p;
        else if (*p == kSeparator || *p == u'\\' || *p == u' ')  // ends an extension, as on Windows
            dot = nullptr;
    }
    return const_cast<LPWSTR>(dot ? dot : p);
}

STDAPI_(void) PathRemoveExtensionW(LPWSTR pszPath) {
    HRESULT hr = S_OK;
    if (!pszPath || PLATFORM_FAULT("PathRemoveExtensionW", hr)) return;
    *PathFindExtensionW(pszPath) = 0;
}

STDAPI_(BOOL) PathRenameExtensionW(LPWSTR pszPath, LPCWSTR pszExt) {
    HRESULT hr = S_OK;
    if (!pszPath || !pszExt || PLATFORM_FAULT("PathRenameExtensionW", hr)) return FALSE;
    LPWSTR extension = PathFindExtensionW(pszPath);
    const size_t kept = static_cast<size_t>(extension - pszPath);
    const size_t added = Length(pszExt);
    if (kept + added >= MAX_PATH) return FALSE;
    for (size_t i = 0; i <= added; ++i) extension[i] = pszExt[i];
    return TRUE;
}

STDAPI_(LPWSTR) PathAddBackslashW(LPWSTR pszPath) {
    HRESULT hr = S_OK;
    if (!pszPath || PLATFORM_FAULT("PathAddBackslashW", hr)) return nullptr;
    size_t length = Length(pszPath);
    if (length >= MAX_PATH) return nullptr;
    if (length == 0 || pszPath[length - 1] == kSeparator) return pszPath + length;
    if (length + 1 >= MAX_PATH) return nullptr;
    pszPath[length] = kSeparator;
    pszPath[length + 1] = 0;
    return pszPath + length + 1;
}

STDAPI_(BOOL) PathStripToRootW(LPWSTR pszPath) {
    if (!pszPath) return FALSE;
    if (pszPath[0] != kSeparator) {
        pszPath[0] = 0;
        return FALSE;
    }
    pszPath[1] = 0;
    return TRUE;
}
