// Tests and tools only: a walk through everything below a storage, for the readers that go
// through a whole file (the benchmark's reading, the fuzzer's).
#pragma once

#include <string>

#include "base/comptr.h"
#include "windows.h"

namespace platform::storage {

// Depth first below `storage`: `onStorage(storage, elements)` for it and each child storage
// that opens for reading and lists its elements, `onStream(stream)` for each stream that opens
// for reading. Storages deeper than `maxDepth` are not entered.
template <typename OnStorage, typename OnStream>
void WalkStorage(IStorage* storage, int maxDepth, OnStorage onStorage, OnStream onStream, int depth = 0) {
    if (depth > maxDepth) return;
    platform::ComPtr<IEnumSTATSTG> elements;
    if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Put()))) return;
    onStorage(storage, elements.Get());
    STATSTG stat;
    while (elements->Next(1, &stat, nullptr) == S_OK) {
        const std::u16string name(stat.pwcsName);
        CoTaskMemFree(stat.pwcsName);
        if (stat.type == STGTY_STREAM) {
            platform::ComPtr<IStream> stream;
            if (SUCCEEDED(storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put())))
                onStream(stream.Get());
        } else {
            platform::ComPtr<IStorage> child;
            if (SUCCEEDED(storage->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                               child.Put())))
                WalkStorage(child.Get(), maxDepth, onStorage, onStream, depth + 1);
        }
    }
}

}  // namespace platform::storage
