// Loading libraries and finding their resources.
//
// An HMODULE is the handle dlopen returned for the library (null: the process's executable).
// Resources are compiled into a library's ".rsrc" section (see tools/embed-resources.cmake)
// and found by type and id, as in a Windows image, so a library needs no file beside it.
#pragma once

#include "base/wintypes.h"

typedef HANDLE HRSRC;
typedef HANDLE HGLOBAL;
typedef INT_PTR(WINAPI* FARPROC)();

// Integer resource ids and types, as MAKEINTRESOURCE makes them.
#define MAKEINTRESOURCEW(i) ((LPWSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)
#define RT_VERSION MAKEINTRESOURCEW(16)

#define GET_MODULE_HANDLE_EX_FLAG_PIN 0x00000001
#define GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT 0x00000002
#define GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS 0x00000004

// The reasons a Windows loader calls a library's entry point (DllMain) with. Libraries here are
// started and stopped by their static objects: the loader calls no entry point.
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

WINBASEAPI HMODULE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINBASEAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINBASEAPI BOOL WINAPI GetModuleHandleExW(DWORD dwFlags, LPCWSTR lpModuleName, HMODULE* phModule);

WINBASEAPI HRSRC WINAPI FindResourceW(HMODULE hModule, LPCWSTR lpName, LPCWSTR lpType);
WINBASEAPI HGLOBAL WINAPI LoadResource(HMODULE hModule, HRSRC hResInfo);
WINBASEAPI LPVOID WINAPI LockResource(HGLOBAL hResData);
WINBASEAPI DWORD WINAPI SizeofResource(HMODULE hModule, HRSRC hResInfo);

namespace platform::resources {

// The layout of a ".rsrc" section: a header, then `count` entries, then the data.
struct SectionHeader {
    char magic[8];  // "WRSRC01\0"
    uint32_t count;
    uint32_t reserved;
};
struct Entry {
    uint32_t typeId;       // numeric type, or 0 for a named type
    char16_t typeName[24];  // named type, upper case ("REGISTRY", "TYPELIB")
    uint32_t id;
    uint32_t offset;        // from the section's start
    uint32_t size;
};
static_assert(sizeof(SectionHeader) == 16 && sizeof(Entry) == 64);

}  // namespace platform::resources
