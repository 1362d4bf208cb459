// Opens a byte buffer as a compound file and walks and reads everything in it.
#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "base/comptr.h"
#include "platform_testing.h"
#include "windows.h"

namespace {

using platform::ComPtr;

// Keeps one input's work small: a hostile image may claim many large streams.
constexpr uint64_t kReadBudget = 256 << 10;

void Walk(IStorage* storage, int depth, uint64_t* budget) {
    if (depth > 32) return;
    STATSTG self;
    if (SUCCEEDED(storage->Stat(&self, STATFLAG_DEFAULT))) CoTaskMemFree(self.pwcsName);
    ComPtr<IEnumSTATSTG> elements;
    if (FAILED(storage->EnumElements(0, nullptr, 0, elements.Put()))) return;
    ComPtr<IEnumSTATSTG> clone;
    if (SUCCEEDED(elements->Clone(clone.Put()))) clone->Skip(1);
    STATSTG stat;
    while (elements->Next(1, &stat, nullptr) == S_OK) {
        std::u16string name(stat.pwcsName);
        CoTaskMemFree(stat.pwcsName);
        if (stat.type == STGTY_STREAM) {
            ComPtr<IStream> stream;
            if (FAILED(storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put())))
                continue;
            BYTE buffer[4096];
            ULONG got = 0;
            while (*budget > 0 && SUCCEEDED(stream->Read(buffer, sizeof buffer, &got)) && got > 0)
                *budget -= std::min<uint64_t>(*budget, got);
            LARGE_INTEGER back;
            back.QuadPart = -1;
            stream->Seek(back, STREAM_SEEK_END, nullptr);
            ComPtr<IStream> copy;
            if (SUCCEEDED(stream->Clone(copy.Put()))) copy->Read(buffer, 16, &got);
        } else {
            ComPtr<IStorage> child;
            if (SUCCEEDED(storage->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                               child.Put())))
                Walk(child.Get(), depth + 1, budget);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ComPtr<IStorage> storage;
    if (FAILED(platform::testing::OpenStorageOnMemory(data, size, storage.Put()))) return 0;
    uint64_t budget = kReadBudget;
    Walk(storage.Get(), 0, &budget);
    return 0;
}
