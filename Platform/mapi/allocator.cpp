// MAPI's start count and its buffer allocators.
//
// A buffer from MAPIAllocateBuffer heads a chain: every MAPIAllocateMore block linked to it is
// freed together with it by MAPIFreeBuffer. Blocks carry a header with a kind marker so that a
// pointer that is not a chain head is recognised and left alone.
#include <atomic>
#include <cstdlib>

#include "base/comobject.h"
#include "base/fault.h"
#include "base/sized_blocks.h"
#include "kernel/winbase.h"
#include "mapi/mapi.h"
#include "platform_testing.h"

namespace {

constexpr uint64_t kHeadMagic = 0x44414548'4950414DULL;  // "MAPIHEAD"
constexpr uint64_t kMoreMagic = 0x45524F4D'4950414DULL;  // "MAPIMORE"

struct alignas(16) BufferHeader {
    uint64_t magic;
    BufferHeader* nextMore;  // chain of blocks linked to this head
    uint64_t size;
    uint64_t reserved;
};
static_assert(sizeof(BufferHeader) == 32);

BufferHeader* HeaderOf(void* pv) { return static_cast<BufferHeader*>(pv) - 1; }

// Guards the chains of MAPIAllocateMore blocks: the system's critical section, so that the
// Windows build of the store needs no C++ threads library.
class ChainLock {
public:
    ChainLock() { InitializeCriticalSection(&m_section); }
    ~ChainLock() { DeleteCriticalSection(&m_section); }
    ChainLock(const ChainLock&) = delete;
    ChainLock& operator=(const ChainLock&) = delete;
    void Enter() { EnterCriticalSection(&m_section); }
    void Leave() { LeaveCriticalSection(&m_section); }

private:
    CRITICAL_SECTION m_section;
};

ChainLock& TheChainLock() {
    static ChainLock lock;
    return lock;
}

class ChainLockHeld {
public:
    ChainLockHeld() { TheChainLock().Enter(); }
    ~ChainLockHeld() { TheChainLock().Leave(); }
    ChainLockHeld(const ChainLockHeld&) = delete;
    ChainLockHeld& operator=(const ChainLockHeld&) = delete;
};
std::atomic<long> g_liveBuffers{0};
std::atomic<long> g_initializeCount{0};
// MAPIUninitialize calls made while no MAPIInitialize was open: a caller whose starts and stops
// do not pair up.
std::atomic<long> g_unpairedUninitializeCount{0};

BufferHeader* NewBlock(ULONG cb, uint64_t magic) {
    auto* header = static_cast<BufferHeader*>(std::malloc(sizeof(BufferHeader) + cb));
    if (!header) return nullptr;
    header->magic = magic;
    header->nextMore = nullptr;
    header->size = cb;
    header->reserved = 0;
    return header;
}

// The default IMalloc of MAPI: plain heap blocks with a size header.
class MapiMalloc final : public platform::StaticComObject<platform::Serves<IMalloc, IID_IMalloc>> {
public:
    STDMETHODIMP_(void*) Alloc(SIZE_T cb) override { return Blocks::Allocate(cb); }
    STDMETHODIMP_(void*) Realloc(void* pv, SIZE_T cb) override { return Blocks::Reallocate(pv, cb); }
    STDMETHODIMP_(void) Free(void* pv) override { Blocks::Free(pv); }
    STDMETHODIMP_(SIZE_T) GetSize(void* pv) override { return Blocks::SizeOf(pv); }
    STDMETHODIMP_(int) DidAlloc(void* pv) override { return Blocks::Owns(pv); }
    STDMETHODIMP_(void) HeapMinimize() override {}

private:
    using Blocks = platform::SizedBlocks<0x434F4C4C'4950414DULL>;  // "MAPILLOC"
};

MapiMalloc g_mapiMalloc;

// The flags of the last MAPIInitialize call's block, failed or not; -1 for no block.
std::atomic<long> g_lastInitializeFlags{-1};

void ResetMapiControls() {
    g_initializeCount.store(0);
    g_unpairedUninitializeCount.store(0);
    g_lastInitializeFlags.store(-1);
}

[[maybe_unused]] const bool g_resetRegistered = [] {
    platform::testing::RegisterResetHook(&ResetMapiControls);
    return true;
}();

}  // namespace

STDAPI MAPIInitialize(LPVOID lpMapiInit) {
    g_lastInitializeFlags.store(lpMapiInit ? static_cast<long>(static_cast<const MAPIINIT_0*>(lpMapiInit)->ulFlags) : -1);
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("MAPIInitialize", hr)) return hr;
    if (lpMapiInit) {
        const auto* init = static_cast<const MAPIINIT_0*>(lpMapiInit);
        if (init->ulVersion != MAPI_INIT_VERSION) return MAPI_E_VERSION;
        const ULONG known = MAPI_MULTITHREAD_NOTIFICATIONS | MAPI_NO_COINIT | MAPI_NT_SERVICE;
        if (init->ulFlags & ~known) return MAPI_E_UNKNOWN_FLAGS;
    }
    g_initializeCount.fetch_add(1);
    return S_OK;
}

STDAPI_(void) MAPIUninitialize() {
    long count = g_initializeCount.load();
    while (count > 0 && !g_initializeCount.compare_exchange_weak(count, count - 1)) {
    }
    if (count <= 0) g_unpairedUninitializeCount.fetch_add(1);  // never below zero, but noted
}

STDAPI_(SCODE) MAPIAllocateBuffer(ULONG cbSize, LPVOID* lppBuffer) {
    if (!lppBuffer) return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("MAPIAllocateBuffer", hr)) return hr;
    BufferHeader* header = NewBlock(cbSize, kHeadMagic);
    if (!header) return MAPI_E_NOT_ENOUGH_MEMORY;
    g_liveBuffers.fetch_add(1);
    *lppBuffer = header + 1;
    return S_OK;
}

STDAPI_(SCODE) MAPIAllocateMore(ULONG cbSize, LPVOID lpObject, LPVOID* lppBuffer) {
    if (!lppBuffer) return MAPI_E_INVALID_PARAMETER;
    *lppBuffer = nullptr;
    if (!lpObject || HeaderOf(lpObject)->magic != kHeadMagic) return MAPI_E_INVALID_PARAMETER;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("MAPIAllocateMore", hr)) return hr;
    BufferHeader* block = NewBlock(cbSize, kMoreMagic);
    if (!block) return MAPI_E_NOT_ENOUGH_MEMORY;
    BufferHeader* head = HeaderOf(lpObject);
    {
        ChainLockHeld lock;
        block->nextMore = head->nextMore;
        head->nextMore = block;
    }
    *lppBuffer = block + 1;
    return S_OK;
}

STDAPI_(ULONG) MAPIFreeBuffer(LPVOID lpBuffer) {
    if (!lpBuffer) return 0;
    BufferHeader* head = HeaderOf(lpBuffer);
    // Only chain heads are freed; a linked block goes with its head.
    if (head->magic != kHeadMagic) return 0;
    BufferHeader* more;
    {
        ChainLockHeld lock;
        more = head->nextMore;
        head->nextMore = nullptr;
    }
    while (more) {
        BufferHeader* next = more->nextMore;
        more->magic = 0;
        std::free(more);
        more = next;
    }
    head->magic = 0;
    std::free(head);
    g_liveBuffers.fetch_sub(1);
    return 0;
}

STDAPI_(LPMALLOC) MAPIGetDefaultMalloc() {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("MAPIGetDefaultMalloc", hr)) return nullptr;
    return &g_mapiMalloc;
}

namespace platform::testing {

long MapiBuffersInUse() { return g_liveBuffers.load(); }
long MapiInitializeCount() { return g_initializeCount.load(); }
long MapiUnpairedUninitializeCount() { return g_unpairedUninitializeCount.load(); }
long MapiLastInitializeFlags() { return g_lastInitializeFlags.load(); }

}  // namespace platform::testing
