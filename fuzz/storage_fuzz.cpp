// Opens a byte buffer as a compound file and walks and reads everything in it.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/comptr.h"
#include "platform_testing.h"
#include "storage/storage_walk.h"
#include "windows.h"

namespace {

using platform::ComPtr;

// Keeps one input's work small: a hostile image may claim many large streams.
constexpr uint64_t kReadBudget = 256 << 10;

void Walk(IStorage* storage, uint64_t* budget) {
    platform::storage::WalkStorage(
        storage, 32,
        [](IStorage* each, IEnumSTATSTG* elements) {
            STATSTG self;
            if (SUCCEEDED(each->Stat(&self, STATFLAG_DEFAULT))) CoTaskMemFree(self.pwcsName);
            ComPtr<IEnumSTATSTG> clone;
            if (SUCCEEDED(elements->Clone(clone.Put()))) clone->Skip(1);
        },
        [&](IStream* stream) {
            BYTE buffer[4096];
            ULONG got = 0;
            while (*budget > 0 && SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got > 0)
                *budget -= std::min<uint64_t>(*budget, got);
            LARGE_INTEGER back;
            back.QuadPart = -1;
            stream->Seek(back, STREAM_SEEK_END, nullptr);
            ComPtr<IStream> copy;
            if (SUCCEEDED(stream->Clone(copy.Put()))) copy->Read(buffer, 16, &got);
        });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ComPtr<IStorage> storage;
    if (FAILED(platform::testing::OpenStorageOnMemory(data, size, storage.Put()))) return 0;
    uint64_t budget = kReadBudget;
    Walk(storage.Get(), &budget);
    return 0;
}
