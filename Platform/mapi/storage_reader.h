// How the message store reads the streams of a storage: through the direct reading of the
// platform's own compound-file storages when the storage offers it (no stream object per
// value), else through IStorage and IStream, so the store works over any implementation.
#pragma once

#include <cstdint>
#include <functional>

#include "base/comptr.h"
#include "mapi/mapi.h"

struct IStorageDirectRead;

namespace platform::mapi {

class StorageReader {
public:
    StorageReader();
    ~StorageReader();
    StorageReader(const StorageReader& other);
    StorageReader& operator=(const StorageReader& other);

    // Reads `storage` from now on (null: nothing).
    void Reset(IStorage* storage);
    // True when reads go through the storage's direct interface.
    bool Direct() const { return direct_ != nullptr; }

    // One stream of the storage, open for reading.
    struct Stream {
        ComPtr<IStream> stream;  // through IStream
        ULONG id = 0;            // through the direct interface
        uint64_t size = 0;
        uint64_t position = 0;   // of `stream`
    };
    // Opens the stream `name`: S_OK; STG_E_FILENOTFOUND when the storage holds no stream of that
    // name; other failures of the storage.
    HRESULT Open(const char16_t* name, Stream& stream) const;
    // Reads exactly `size` bytes at `offset`; MAPI_E_CORRUPT_DATA when the stream ends first.
    HRESULT Read(Stream& stream, uint64_t offset, BYTE* out, size_t size) const;
    // Calls `each` with the name of every storage the storage holds.
    HRESULT ForEachStorage(const std::function<void(const char16_t* name)>& each) const;

private:
    IStorage* storage_ = nullptr;            // held by the owner of this reader
    IStorageDirectRead* direct_ = nullptr;   // a reference of its own
};

}  // namespace platform::mapi
