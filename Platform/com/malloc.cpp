// The task allocator (CoGetMalloc(1), CoTaskMemAlloc), on blocks that carry their size.
#include <cstdlib>
#include <new>

#include "base/comobject.h"
#include "base/fault.h"
#include "base/sized_blocks.h"
#include "com/objbase.h"

namespace {

// The task allocator's blocks, marked "CMEMTASK".
using TaskBlocks = platform::SizedBlocks<0x4B534154'4D454D43ULL>;

// The process's one task allocator; it is never destroyed, so its count is nominal.
class TaskAllocator final : public platform::StaticComObject<platform::Serves<IMalloc, IID_IMalloc>> {
public:
    STDMETHODIMP_(void*) Alloc(SIZE_T cb) override { return CoTaskMemAlloc(cb); }
    STDMETHODIMP_(void*) Realloc(void* pv, SIZE_T cb) override { return CoTaskMemRealloc(pv, cb); }
    STDMETHODIMP_(void) Free(void* pv) override { CoTaskMemFree(pv); }
    STDMETHODIMP_(SIZE_T) GetSize(void* pv) override { return TaskBlocks::SizeOf(pv); }
    STDMETHODIMP_(int) DidAlloc(void* pv) override { return TaskBlocks::Owns(pv); }
    STDMETHODIMP_(void) HeapMinimize() override {}
};

TaskAllocator g_taskAllocator;

}  // namespace

WINOLEAPI CoGetMalloc(DWORD dwMemContext, LPMALLOC* ppMalloc) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("CoGetMalloc", ppMalloc, E_INVALIDARG, &hr)) return hr;
    if (dwMemContext != MEMCTX_TASK) return E_INVALIDARG;
    *ppMalloc = &g_taskAllocator;
    return S_OK;
}

WINOLEAPI_(LPVOID) CoTaskMemAlloc(SIZE_T cb) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoTaskMemAlloc", hr)) return nullptr;
    return TaskBlocks::Allocate(cb);
}

WINOLEAPI_(LPVOID) CoTaskMemRealloc(LPVOID pv, SIZE_T cb) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoTaskMemRealloc", hr)) return nullptr;
    return TaskBlocks::Reallocate(pv, cb);
}

WINOLEAPI_(void) CoTaskMemFree(LPVOID pv) { TaskBlocks::Free(pv); }
