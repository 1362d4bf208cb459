// Module handles and names: the executable and the shared libraries the loader knows.
#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "base/fault.h"
#include "base/native_name.h"
#include "kernel/kernel_internal.h"
#include "kernel/winbase.h"

namespace {

std::string ExecutablePath() {
    std::string path(256, '\0');
    for (;;) {
        ssize_t length = readlink("/proc/self/exe", path.data(), path.size());
        if (length < 0) return {};
        if (static_cast<size_t>(length) < path.size()) {
            path.resize(static_cast<size_t>(length));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

struct Lookup {
    const void* handle = nullptr;     // by handle (a link map or a load address) ...
    std::string_view name;            // ... or by name
    bool found = false;
    bool isExecutable = false;
    std::string path;                 // the loader's name of the library
    const link_map* map = nullptr;
};

bool SameNameIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

bool Matches(const Lookup& lookup, const link_map* map) {
    if (lookup.handle != nullptr) {
        return lookup.handle == map ||
               (map->l_addr != 0 && lookup.handle == reinterpret_cast<const void*>(map->l_addr));
    }
    std::string_view name = map->l_name != nullptr ? map->l_name : "";
    if (name.empty()) return false;
    if (SameNameIgnoringCase(name, lookup.name)) return true;
    size_t slash = name.rfind('/');
    return slash != std::string_view::npos && SameNameIgnoringCase(name.substr(slash + 1), lookup.name);
}

// Runs while dl_iterate_phdr holds the loader's lock, so the list cannot change under the walk.
int WalkLinkMaps(dl_phdr_info*, size_t, void* data) {
    auto* lookup = static_cast<Lookup*>(data);
    for (const link_map* map = _r_debug.r_map; map != nullptr; map = map->l_next) {
        if (!Matches(*lookup, map)) continue;
        lookup->found = true;
        lookup->map = map;
        lookup->isExecutable = map == _r_debug.r_map;
        if (map->l_name != nullptr) lookup->path = map->l_name;
        break;
    }
    return 1;  // one walk is enough
}

// The full path of the module behind `handle` (null: the executable); false when none is loaded.
bool ModulePath(HMODULE handle, std::string* path) {
    Lookup lookup;
    if (handle != nullptr) {
        lookup.handle = handle;
        dl_iterate_phdr(WalkLinkMaps, &lookup);
        if (!lookup.found) return false;
    }
    if (handle == nullptr || lookup.isExecutable || lookup.path.empty()) {
        *path = ExecutablePath();
        return !path->empty();
    }
    *path = lookup.path;
    if (!path->empty() && (*path)[0] != '/') {
        char resolved[PATH_MAX];
        if (realpath(path->c_str(), resolved) != nullptr) *path = resolved;
    }
    return true;
}

}  // namespace

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) try {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("GetModuleFileNameW", hr)) {
        SetLastError(platform::kernel::Win32ErrorFromResult(hr));
        return 0;
    }
    std::string path;
    if (!ModulePath(hModule, &path)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    if (nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (lpFilename == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::u16string wide = platform::names::FromNative(path);
    if (wide.size() < nSize) {
        wide.copy(lpFilename, wide.size());
        lpFilename[wide.size()] = 0;
        return static_cast<DWORD>(wide.size());
    }
    wide.copy(lpFilename, nSize - 1);
    lpFilename[nSize - 1] = 0;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return nSize;
} catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) try {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("GetModuleHandleW", hr)) {
        SetLastError(platform::kernel::Win32ErrorFromResult(hr));
        return nullptr;
    }
    if (lpModuleName == nullptr) {
        return static_cast<HMODULE>(static_cast<void*>(const_cast<link_map*>(_r_debug.r_map)));
    }
    std::string name;
    platform::names::ToNative(lpModuleName, name);  // a name that maps to none finds nothing
    Lookup lookup;
    lookup.name = name;
    if (!name.empty()) dl_iterate_phdr(WalkLinkMaps, &lookup);
    if (!lookup.found) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(static_cast<void*>(const_cast<link_map*>(lookup.map)));
} catch (...) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
