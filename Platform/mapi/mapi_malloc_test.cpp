// MAPI's default IMalloc and its buffer chains: on seeded random sequences of allocations,
// reallocations and frees, every live block keeps its bytes and reports its size as a plain model
// of the blocks says; pointers that are not blocks, or not chain heads, are recognised and left
// alone.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <vector>

#include "mapi/mapi_test_util.h"

namespace {

namespace pt = platform::testing;

TEST(MapiMalloc, BlocksFollowAPlainModelOnRandomSequences) {
    LPMALLOC malloc = MAPIGetDefaultMalloc();
    ASSERT_NE(malloc, nullptr);
    for (unsigned seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        std::map<void*, std::vector<BYTE>> live;  // block -> its bytes
        auto fill = [&](void* block, size_t size) {
            std::vector<BYTE> bytes(size);
            for (BYTE& b : bytes) b = static_cast<BYTE>(random());
            if (size) std::memcpy(block, bytes.data(), size);
            return bytes;
        };
        for (int step = 0; step < 300; ++step) {
            const unsigned action = random() % 4;
            if (action == 0 || live.empty()) {
                const size_t size = random() % 200;
                void* block = malloc->Alloc(size);
                ASSERT_NE(block, nullptr);
                EXPECT_EQ(malloc->DidAlloc(block), 1);
                live[block] = fill(block, size);
                continue;
            }
            auto it = live.begin();
            std::advance(it, static_cast<long>(random() % live.size()));
            void* block = it->first;
            std::vector<BYTE> bytes = it->second;
            if (action == 1) {
                // Grows or shrinks, keeping the bytes both sizes share.
                const size_t size = 1 + random() % 300;
                void* moved = malloc->Realloc(block, size);
                ASSERT_NE(moved, nullptr);
                live.erase(it);
                const size_t kept = std::min(size, bytes.size());
                EXPECT_EQ(kept ? std::memcmp(moved, bytes.data(), kept) : 0, 0);
                bytes.resize(size);
                if (size > kept) std::memcpy(bytes.data() + kept, static_cast<BYTE*>(moved) + kept, size - kept);
                live[moved] = bytes;
            } else if (action == 2) {
                EXPECT_EQ(malloc->GetSize(block), bytes.size());
                EXPECT_EQ(bytes.empty() ? 0 : std::memcmp(block, bytes.data(), bytes.size()), 0);
            } else {
                malloc->Free(block);
                live.erase(it);
            }
        }
        for (auto& [block, bytes] : live) {
            EXPECT_EQ(malloc->GetSize(block), bytes.size());
            malloc->Free(block);
        }
    }
    // Reallocating nothing allocates; reallocating to nothing frees.
    void* block = malloc->Realloc(nullptr, 16);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(malloc->GetSize(block), 16u);
    EXPECT_EQ(malloc->Realloc(block, 0), nullptr);
    // Sizes no block can have, and pointers that are no blocks.
    EXPECT_EQ(malloc->Alloc(static_cast<SIZE_T>(-1)), nullptr);
    void* small = malloc->Alloc(8);
    EXPECT_EQ(malloc->Realloc(small, static_cast<SIZE_T>(-1)), nullptr);
    EXPECT_EQ(malloc->GetSize(small), 8u) << "a refused reallocation leaves the block as it was";
    EXPECT_EQ(malloc->GetSize(nullptr), static_cast<SIZE_T>(-1));
    EXPECT_EQ(malloc->DidAlloc(nullptr), -1);
    alignas(16) BYTE notABlock[64] = {};
    EXPECT_EQ(malloc->DidAlloc(notABlock + 32), 0);
    EXPECT_EQ(malloc->GetSize(notABlock + 32), static_cast<SIZE_T>(-1));
    malloc->Free(small);
    malloc->Free(nullptr);
    malloc->HeapMinimize();
    void* same = nullptr;
    ASSERT_EQ(malloc->QueryInterface(IID_IMalloc, &same), S_OK);
    EXPECT_EQ(same, static_cast<void*>(malloc));
    ASSERT_EQ(malloc->QueryInterface(IID_IUnknown, &same), S_OK);
    EXPECT_EQ(malloc->QueryInterface(IID_IStream, &same), E_NOINTERFACE);
    EXPECT_EQ(same, nullptr);
    EXPECT_EQ(malloc->QueryInterface(IID_IMalloc, nullptr), E_POINTER);
    EXPECT_EQ(malloc->AddRef(), malloc->AddRef()) << "a process-lifetime object";
    malloc->Release();
    malloc->Release();
}

// A block allocated more hangs on its head: no buffer of its own, no blocks of its own, freed
// with the head and never alone.
TEST(MapiMalloc, ChainsFreeOnlyFromTheirHead) {
    const long before = pt::MapiBuffersInUse();
    void* head = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(24, &head), S_OK);
    void* more = nullptr;
    ASSERT_EQ(MAPIAllocateMore(100, head, &more), S_OK);
    std::memset(more, 0xAB, 100);  // usable memory (ASan checks the bounds)
    EXPECT_EQ(pt::MapiBuffersInUse(), before + 1);
    void* moreOfMore = nullptr;
    EXPECT_EQ(MAPIAllocateMore(8, more, &moreOfMore), MAPI_E_INVALID_PARAMETER) << "only a head takes more blocks";
    EXPECT_EQ(moreOfMore, nullptr);
    EXPECT_EQ(MAPIAllocateMore(8, nullptr, &moreOfMore), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(MAPIAllocateMore(8, head, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(MAPIAllocateBuffer(8, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(MAPIFreeBuffer(more), 0u);
    EXPECT_EQ(pt::MapiBuffersInUse(), before + 1) << "a linked block does not free its chain";
    EXPECT_EQ(MAPIFreeBuffer(head), 0u);
    EXPECT_EQ(MAPIFreeBuffer(nullptr), 0u);
    EXPECT_EQ(pt::MapiBuffersInUse(), before);
}

// Blocks allocated more, of random sizes on a few heads at once (small ones share heap blocks,
// large ones have their own): each is usable, aligned, keeps its bytes while the others are
// written, and is no head of its own; each head frees its whole chain.
TEST(MapiMalloc, ChainsKeepEveryBlockOnRandomSequences) {
    const long before = pt::MapiBuffersInUse();
    for (unsigned seed = 1; seed <= 10; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        struct Block {
            BYTE* at;
            std::vector<BYTE> bytes;
        };
        std::vector<void*> heads(1 + random() % 4);
        for (void*& head : heads) ASSERT_EQ(MAPIAllocateBuffer(random() % 64, &head), S_OK);
        std::vector<Block> blocks;
        for (int step = 0; step < 400; ++step) {
            const unsigned kind = random() % 10;
            const ULONG size = kind == 0 ? 300 + random() % 5000 : kind == 1 ? 0 : random() % 120;
            void* more = nullptr;
            ASSERT_EQ(MAPIAllocateMore(size, heads[random() % heads.size()], &more), S_OK);
            ASSERT_NE(more, nullptr);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(more) % 8, 0u) << "aligned for any value";
            Block block{static_cast<BYTE*>(more), std::vector<BYTE>(size)};
            for (BYTE& b : block.bytes) b = static_cast<BYTE>(random());
            if (size) std::memcpy(block.at, block.bytes.data(), size);
            blocks.push_back(std::move(block));
            if (random() % 50 == 0) {
                const Block& some = blocks[random() % blocks.size()];
                void* notAHead = nullptr;
                EXPECT_EQ(MAPIAllocateMore(8, some.at, &notAHead), MAPI_E_INVALID_PARAMETER);
                EXPECT_EQ(MAPIFreeBuffer(some.at), 0u);
            }
        }
        for (const Block& block : blocks)
            ASSERT_EQ(block.bytes.empty() ? 0 : std::memcmp(block.at, block.bytes.data(), block.bytes.size()), 0);
        EXPECT_EQ(pt::MapiBuffersInUse(), before + static_cast<long>(heads.size()));
        for (void* head : heads) EXPECT_EQ(MAPIFreeBuffer(head), 0u);
        EXPECT_EQ(pt::MapiBuffersInUse(), before);
    }
}

}  // namespace
