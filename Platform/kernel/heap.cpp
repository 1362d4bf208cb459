// The process heap, over the C runtime's allocator. Blocks keep their size in front of them,
// so HeapSize and HEAP_ZERO_MEMORY growth are exact.
#include "kernel/heap.h"

#include <cstdlib>
#include <cstring>

#include "base/fault.h"
#include "kernel/winbase.h"

namespace {

struct alignas(16) BlockHeader {
    SIZE_T size;
    SIZE_T reserved;
};

int g_processHeap;  // its address is the heap's handle

BlockHeader* HeaderOf(LPCVOID block) { return static_cast<BlockHeader*>(const_cast<void*>(block)) - 1; }

bool ValidHeap(HANDLE heap) { return heap == &g_processHeap; }

}  // namespace

WINBASEAPI HANDLE WINAPI GetProcessHeap() { return &g_processHeap; }

WINBASEAPI LPVOID WINAPI HeapAlloc(HANDLE hHeap, DWORD dwFlags, SIZE_T dwBytes) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("HeapAlloc", hr) || !ValidHeap(hHeap) || dwBytes > SIZE_MAX / 2) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto* header = static_cast<BlockHeader*>((dwFlags & HEAP_ZERO_MEMORY) ? std::calloc(1, sizeof(BlockHeader) + dwBytes)
                                                                         : std::malloc(sizeof(BlockHeader) + dwBytes));
    if (!header) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    header->size = dwBytes;
    return header + 1;
}

WINBASEAPI LPVOID WINAPI HeapReAlloc(HANDLE hHeap, DWORD dwFlags, LPVOID lpMem, SIZE_T dwBytes) {
    HRESULT hr = S_OK;
    // As on Windows, a null block is not reallocated: HeapAlloc makes the first one.
    if (PLATFORM_FAULT("HeapReAlloc", hr) || !ValidHeap(hHeap) || !lpMem || dwBytes > SIZE_MAX / 2 ||
        (dwFlags & HEAP_REALLOC_IN_PLACE_ONLY)) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    BlockHeader* old = HeaderOf(lpMem);
    SIZE_T oldSize = old->size;
    auto* header = static_cast<BlockHeader*>(std::realloc(old, sizeof(BlockHeader) + dwBytes));
    if (!header) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;  // the old block stays allocated
    }
    header->size = dwBytes;
    if ((dwFlags & HEAP_ZERO_MEMORY) && dwBytes > oldSize)
        std::memset(reinterpret_cast<char*>(header + 1) + oldSize, 0, dwBytes - oldSize);
    return header + 1;
}

WINBASEAPI BOOL WINAPI HeapFree(HANDLE hHeap, DWORD, LPVOID lpMem) {
    if (!ValidHeap(hHeap)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (lpMem) std::free(HeaderOf(lpMem));
    return TRUE;
}

WINBASEAPI SIZE_T WINAPI HeapSize(HANDLE hHeap, DWORD, LPCVOID lpMem) {
    if (!ValidHeap(hHeap) || !lpMem) return static_cast<SIZE_T>(-1);
    return HeaderOf(lpMem)->size;
}
