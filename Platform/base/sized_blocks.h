// Heap blocks that carry their size in a 16-byte header, for the platform's IMalloc objects:
// GetSize and DidAlloc answer exactly, and the header's marker tells an allocator's own blocks
// from other pointers. Plain C++, for the services built for Windows too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace platform {

template <uint64_t Marker>
class SizedBlocks {
public:
    // A block of `size` bytes; null when there is no memory.
    static void* Allocate(size_t size) {
        if (size > SIZE_MAX - sizeof(Header)) return nullptr;
        auto* header = static_cast<Header*>(std::malloc(sizeof(Header) + size));
        if (!header) return nullptr;
        header->size = size;
        header->marker = Marker;
        return header + 1;
    }

    // As realloc: a null block is allocated, a size of 0 frees; null (and the block kept) when
    // there is no memory.
    static void* Reallocate(void* block, size_t size) {
        if (!block) return Allocate(size);
        if (size == 0) {
            Free(block);
            return nullptr;
        }
        if (size > SIZE_MAX - sizeof(Header)) return nullptr;
        auto* header = static_cast<Header*>(std::realloc(HeaderOf(block), sizeof(Header) + size));
        if (!header) return nullptr;
        header->size = size;
        return header + 1;
    }

    static void Free(void* block) {
        if (!block) return;
        Header* header = HeaderOf(block);
        header->marker = 0;
        std::free(header);
    }

    // IMalloc::GetSize: the size of one of these blocks, (size_t)-1 for anything else.
    static size_t SizeOf(void* block) { return Owns(block) == 1 ? size_t(HeaderOf(block)->size) : size_t(-1); }

    // IMalloc::DidAlloc: 1 for one of these blocks, 0 for another pointer, -1 for null.
    static int Owns(void* block) {
        if (!block) return -1;
        return HeaderOf(block)->marker == Marker ? 1 : 0;
    }

private:
    struct alignas(16) Header {
        uint64_t size;
        uint64_t marker;
    };
    static_assert(sizeof(Header) == 16);

    static Header* HeaderOf(void* block) { return static_cast<Header*>(block) - 1; }
};

}  // namespace platform
