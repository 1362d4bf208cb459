// MAPI's start count and its buffer allocators.
//
// A buffer from MAPIAllocateBuffer heads a chain: every MAPIAllocateMore block linked to it is
// freed together with it by MAPIFreeBuffer. Blocks carry a header with a kind marker so that a
// pointer that is not a chain head is recognised and left alone.
#include <atomic>
#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

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
    BufferHeader* nextMore;  // chain of blocks linked to this head, newest first
    uint64_t size;           // bytes after the header (of a chunk: its capacity)
    uint64_t lock;           // a head's chain lock; a chunk's bytes handed out
};
static_assert(sizeof(BufferHeader) == 32);

BufferHeader* HeaderOf(void* pv) { return static_cast<BufferHeader*>(pv) - 1; }

// A head's chain is guarded by a lock word of its own (the header's `lock`), so buffers built on
// different threads never wait for each other.
class ChainLockHeld {
public:
    explicit ChainLockHeld(BufferHeader* head) : word_(head->lock) {
        while (word_.exchange(1, std::memory_order_acquire) != 0) {
        }
    }
    ~ChainLockHeld() { word_.store(0, std::memory_order_release); }
    ChainLockHeld(const ChainLockHeld&) = delete;
    ChainLockHeld& operator=(const ChainLockHeld&) = delete;

private:
    std::atomic_ref<uint64_t> word_;
};

std::atomic<long> g_liveBuffers{0};
std::atomic<long> g_initializeCount{0};
// MAPIUninitialize calls made while no MAPIInitialize was open: a caller whose starts and stops
// do not pair up.
std::atomic<long> g_unpairedUninitializeCount{0};

BufferHeader* NewBlock(uint64_t cb, uint64_t magic) {
    auto* header = static_cast<BufferHeader*>(std::malloc(sizeof(BufferHeader) + cb));
    if (!header) return nullptr;
    header->magic = magic;
    header->nextMore = nullptr;
    header->size = cb;
    header->lock = 0;
    return header;
}

// MAPIAllocateMore hands out pieces of larger chunks: a message's values are many small
// allocations, and one heap block each made them cost more than reading them. Each piece has a
// header of its own, marked as a linked block, so it is told from a head as before (also once
// freed: only a head's marker is ever taken for a buffer to free).
constexpr uint64_t kChunkCapacity = 1024 - sizeof(BufferHeader);  // one small heap block

uint64_t PieceBytes(ULONG cb) { return sizeof(BufferHeader) + ((uint64_t(cb) + 15) & ~uint64_t(15)); }

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer sees heap blocks, not pieces: what is not handed out yet is kept
// poisoned, so that running past the newest piece is still caught.
void Poison(void* at, uint64_t size) { ASAN_POISON_MEMORY_REGION(at, size); }
void Unpoison(void* at, uint64_t size) { ASAN_UNPOISON_MEMORY_REGION(at, size); }
#else
void Poison(void*, uint64_t) {}
void Unpoison(void*, uint64_t) {}
#endif

// A chunk of `capacity` bytes, nothing of it handed out yet.
BufferHeader* NewChunk(uint64_t capacity) {
    BufferHeader* chunk = NewBlock(capacity, kMoreMagic);
    if (chunk) Poison(chunk + 1, capacity);
    return chunk;
}

// A piece of `cb` bytes (`need` with its header) from `chunk`, or null when it has no room.
BufferHeader* Carve(BufferHeader* chunk, uint64_t need, ULONG cb) {
    if (!chunk || chunk->size - chunk->lock < need) return nullptr;
    auto* piece = reinterpret_cast<BufferHeader*>(reinterpret_cast<BYTE*>(chunk + 1) + chunk->lock);
    chunk->lock += need;
    Unpoison(piece, sizeof(BufferHeader) + cb);
    piece->magic = kMoreMagic;
    piece->nextMore = nullptr;
    piece->size = cb;
    piece->lock = 0;
    return piece;
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
    BufferHeader* head = HeaderOf(lpObject);
    const uint64_t need = PieceBytes(cbSize);
    {
        ChainLockHeld lock(head);
        if (BufferHeader* piece = Carve(head->nextMore, need, cbSize)) {
            *lppBuffer = piece + 1;
            return S_OK;
        }
    }
    // A value larger than a chunk gets a chunk of its own size; it is linked behind the newest
    // chunk so that the small values after it still fill that one.
    const bool large = need > kChunkCapacity / 4;
    BufferHeader* chunk = NewChunk(large ? need : kChunkCapacity);
    if (!chunk) return MAPI_E_NOT_ENOUGH_MEMORY;
    ChainLockHeld lock(head);
    BufferHeader*& link = large && head->nextMore ? head->nextMore->nextMore : head->nextMore;
    chunk->nextMore = link;
    link = chunk;
    *lppBuffer = Carve(chunk, need, cbSize) + 1;
    return S_OK;
}

STDAPI_(ULONG) MAPIFreeBuffer(LPVOID lpBuffer) {
    if (!lpBuffer) return 0;
    BufferHeader* head = HeaderOf(lpBuffer);
    // Only chain heads are freed; a linked block goes with its head.
    if (head->magic != kHeadMagic) return 0;
    BufferHeader* more;
    {
        ChainLockHeld lock(head);
        more = head->nextMore;
        head->nextMore = nullptr;
    }
    while (more) {
        BufferHeader* next = more->nextMore;
        Unpoison(more + 1, more->size);
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
