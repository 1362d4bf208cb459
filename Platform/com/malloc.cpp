// The task allocator (CoGetMalloc(1), CoTaskMemAlloc). Blocks carry a 16-byte header with
// their size, so IMalloc::GetSize and DidAlloc answer exactly.
#include <cstdlib>
#include <new>

#include "base/comobject.h"
#include "base/fault.h"
#include "com/objbase.h"

namespace {

constexpr uint64_t kBlockMagic = 0x4B534154'4D454D43ULL;  // "CMEMTASK"

struct alignas(16) BlockHeader {
    uint64_t size;
    uint64_t magic;
};
static_assert(sizeof(BlockHeader) == 16);

BlockHeader* HeaderOf(void* pv) { return static_cast<BlockHeader*>(pv) - 1; }

void* AllocateBlock(SIZE_T cb) {
    if (cb > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    auto* header = static_cast<BlockHeader*>(std::malloc(sizeof(BlockHeader) + cb));
    if (!header) return nullptr;
    header->size = cb;
    header->magic = kBlockMagic;
    return header + 1;
}

void FreeBlock(void* pv) {
    if (!pv) return;
    BlockHeader* header = HeaderOf(pv);
    header->magic = 0;
    std::free(header);
}

void* ReallocateBlock(void* pv, SIZE_T cb) {
    if (!pv) return AllocateBlock(cb);
    if (cb == 0) {
        FreeBlock(pv);
        return nullptr;
    }
    if (cb > SIZE_MAX - sizeof(BlockHeader)) return nullptr;
    auto* header = static_cast<BlockHeader*>(std::realloc(HeaderOf(pv), sizeof(BlockHeader) + cb));
    if (!header) return nullptr;
    header->size = cb;
    return header + 1;
}

// The process's one task allocator; it is never destroyed, so its count is nominal.
class TaskAllocator final : public platform::StaticComObject<platform::Serves<IMalloc, IID_IMalloc>> {
public:
    STDMETHODIMP_(void*) Alloc(SIZE_T cb) override { return CoTaskMemAlloc(cb); }
    STDMETHODIMP_(void*) Realloc(void* pv, SIZE_T cb) override { return CoTaskMemRealloc(pv, cb); }
    STDMETHODIMP_(void) Free(void* pv) override { CoTaskMemFree(pv); }
    STDMETHODIMP_(SIZE_T) GetSize(void* pv) override {
        if (!pv || HeaderOf(pv)->magic != kBlockMagic) return static_cast<SIZE_T>(-1);
        return HeaderOf(pv)->size;
    }
    STDMETHODIMP_(int) DidAlloc(void* pv) override {
        if (!pv) return -1;
        return HeaderOf(pv)->magic == kBlockMagic ? 1 : 0;
    }
    STDMETHODIMP_(void) HeapMinimize() override {}
};

TaskAllocator g_taskAllocator;

}  // namespace

WINOLEAPI CoGetMalloc(DWORD dwMemContext, LPMALLOC* ppMalloc) {
    if (!ppMalloc) return E_INVALIDARG;
    *ppMalloc = nullptr;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoGetMalloc", hr)) return hr;
    if (dwMemContext != MEMCTX_TASK) return E_INVALIDARG;
    *ppMalloc = &g_taskAllocator;
    return S_OK;
}

WINOLEAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoTaskMemAlloc", hr)) return nullptr;
    return AllocateBlock(cb);
}

WINOLEAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoTaskMemRealloc", hr)) return nullptr;
    return ReallocateBlock(pv, cb);
}

WINOLEAPI_(void) CoTaskMemFree(LPVOID pv) { FreeBlock(pv); }
