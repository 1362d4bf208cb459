#include "kernel/loader.h"

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <unistd.h>

#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "base/fault.h"
#include "base/native_name.h"
#include "kernel/winbase.h"


namespace {

// The Linux name of a library's path; empty (which loads nothing) when it maps to none.
std::string NativePath(LPCWSTR text) {
    std::string path;
    platform::names::ToNative(text, path);
    return path;
}

bool ReadAt(int fd, void* buffer, size_t size, off_t offset) {
    return pread(fd, buffer, size, offset) == static_cast<ssize_t>(size);
}

// The address of the ".rsrc" section of a loaded image, from its section headers on disk.
const uint8_t* FindResourceSection(const char* path, ElfW(Addr) loadBias) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return nullptr;
    const uint8_t* section = nullptr;
    ElfW(Ehdr) header{};
    if (ReadAt(fd, &header, sizeof header, 0) && std::memcmp(header.e_ident, ELFMAG, SELFMAG) == 0 &&
        header.e_shentsize == sizeof(ElfW(Shdr)) && header.e_shnum > 0 && header.e_shnum < 4096 &&
        header.e_shstrndx < header.e_shnum) {
        std::vector<ElfW(Shdr)> sections(header.e_shnum);
        if (ReadAt(fd, sections.data(), sections.size() * sizeof(ElfW(Shdr)), static_cast<off_t>(header.e_shoff))) {
            const ElfW(Shdr)& names = sections[header.e_shstrndx];
            std::vector<char> nameTable(names.sh_size + 1, 0);
            if (names.sh_size < (1u << 20) && ReadAt(fd, nameTable.data(), names.sh_size, static_cast<off_t>(names.sh_offset))) {
                for (const ElfW(Shdr)& candidate : sections) {
                    if (candidate.sh_name >= names.sh_size) continue;
                    if (std::strcmp(nameTable.data() + candidate.sh_name, ".rsrc") != 0) continue;
                    if ((candidate.sh_flags & SHF_ALLOC) == 0 || candidate.sh_size < sizeof(platform::resources::SectionHeader))
                        break;
                    section = reinterpret_cast<const uint8_t*>(loadBias + candidate.sh_addr);
                    break;
                }
            }
        }
    }
    close(fd);
    if (section && std::memcmp(section, "WRSRC01", 8) != 0) section = nullptr;
    return section;
}

// The sections found so far, by where a library is loaded and from which file. A handle value
// can come back for another library once the first is unloaded (by FreeLibrary or by dlclose
// alone), so the handle itself is no key.
using SectionKey = std::pair<ElfW(Addr), std::string>;
std::mutex g_sectionsMutex;
std::map<SectionKey, const uint8_t*>& SectionCache() {
    static std::map<SectionKey, const uint8_t*> cache;
    return cache;
}

bool KeyOf(void* handle, SectionKey* key) {
    link_map* map = nullptr;
    if (!handle || dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || !map) return false;
    key->first = map->l_addr;
    key->second = (map->l_name && map->l_name[0]) ? map->l_name : "/proc/self/exe";
    return true;
}

const uint8_t* ResourceSectionOf(HMODULE module) {
    void* handle = module ? static_cast<void*>(module) : dlopen(nullptr, RTLD_NOW);
    const uint8_t* section = nullptr;
    SectionKey key;
    if (KeyOf(handle, &key)) {
        std::lock_guard lock(g_sectionsMutex);
        auto found = SectionCache().find(key);
        if (found != SectionCache().end()) {
            section = found->second;
        } else {
            section = FindResourceSection(key.second.c_str(), key.first);
            SectionCache()[key] = section;
        }
    }
    if (!module && handle) dlclose(handle);
    return section;
}

bool TypeMatches(const platform::resources::Entry& entry, LPCWSTR type) {
    if (IS_INTRESOURCE(type)) return entry.typeId == static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(type));
    if (entry.typeId != 0) return false;
    size_t i = 0;
    for (; type[i] && i < 24; ++i) {
        char16_t c = type[i];
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        if (c != entry.typeName[i]) return false;
    }
    return i < 24 && entry.typeName[i] == 0 && type[i] == 0;
}

bool IdOf(LPCWSTR name, uint32_t* id) {
    if (IS_INTRESOURCE(name)) {
        *id = static_cast<uint32_t>(reinterpret_cast<ULONG_PTR>(name));
        return true;
    }
    if (name[0] != u'#') return false;  // named resources are not used by the layer's modules
    uint32_t value = 0;
    size_t i = 1;
    for (; name[i] >= u'0' && name[i] <= u'9' && i < 7; ++i) value = value * 10 + (name[i] - u'0');
    if (name[i] != 0 || i == 1) return false;
    *id = value;
    return true;
}

}  // namespace

WINBASEAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("LoadLibraryW", hr)) {
        SetLastError(HRESULT_CODE(hr));
        return nullptr;
    }
    if (!lpLibFileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const std::string path = NativePath(lpLibFileName);
    void* handle = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return static_cast<HMODULE>(handle);
}

WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule) {
    if (!hLibModule) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // The file may change before a library is loaded from it again at the same place.
    SectionKey key;
    if (KeyOf(hLibModule, &key)) {
        std::lock_guard lock(g_sectionsMutex);
        SectionCache().erase(key);
    }
    return dlclose(hLibModule) == 0 ? TRUE : FALSE;
}

WINBASEAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
    void* handle = hModule ? static_cast<void*>(hModule) : RTLD_DEFAULT;
    void* symbol = lpProcName ? dlsym(handle, lpProcName) : nullptr;
    if (!symbol) SetLastError(ERROR_PROC_NOT_FOUND);
    return reinterpret_cast<FARPROC>(symbol);
}

WINBASEAPI BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule) {
    if (!phModule) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *phModule = nullptr;
    void* handle = nullptr;
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS) {
        Dl_info info{};
        if (!dladdr(reinterpret_cast<const void*>(lpModuleName), &info) || !info.dli_fname) {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return FALSE;
        }
        handle = dlopen(info.dli_fname, RTLD_NOW | RTLD_NOLOAD);
    } else if (!lpModuleName) {
        handle = dlopen(nullptr, RTLD_NOW);
    } else {
        const std::string path = NativePath(lpModuleName);
        handle = path.empty() ? nullptr : dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    }
    if (!handle) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return FALSE;
    }
    // The library stays loaded by whoever loaded it, so the handle outlives this reference.
    if (dwFlags & GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT) dlclose(handle);
    *phModule = static_cast<HMODULE>(handle);
    return TRUE;
}

WINBASEAPI HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("FindResourceW", hr)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    uint32_t id = 0;
    const uint8_t* section = ResourceSectionOf(hModule);
    if (!section || !lpName || !lpType || !IdOf(lpName, &id)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return nullptr;
    }
    const auto* header = reinterpret_cast<const platform::resources::SectionHeader*>(section);
    const auto* entries = reinterpret_cast<const platform::resources::Entry*>(header + 1);
    for (uint32_t i = 0; i < header->count; ++i) {
        if (entries[i].id == id && TypeMatches(entries[i], lpType))
            return const_cast<platform::resources::Entry*>(&entries[i]);
    }
    SetLastError(ERROR_FILE_NOT_FOUND);
    return nullptr;
}

WINBASEAPI HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo) {
    if (!hResInfo) return nullptr;
    const uint8_t* section = ResourceSectionOf(hModule);
    if (!section) return nullptr;
    const auto* entry = static_cast<const platform::resources::Entry*>(hResInfo);
    return const_cast<uint8_t*>(section + entry->offset);
}

WINBASEAPI LPVOID WINAPI LockResource(HGLOBAL hResData) { return hResData; }

WINBASEAPI DWORD WINAPI SizeofResource(HMODULE, HRSRC hResInfo) {
    return hResInfo ? static_cast<const platform::resources::Entry*>(hResInfo)->size : 0;
}
