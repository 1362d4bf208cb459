// How the message store reads the streams of a storage: through the direct reading of the
// platform's own compound-file storages when the storage offers it (no stream object per
// value), else through IStorage and IStream, so the store works over any implementation.
//
// On the direct road the reader also lists the storage once and remembers where its value
// streams ("__substg1.0_TTTTtttt") are, so opening one needs no look-up by name. What it
// remembers is a hint: a stream it does not know, or one gone since, is looked up by name.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "base/comptr.h"
#include "mapi/element_names.h"
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
    // Forgets what it remembered of the storage's streams (after writing to it).
    void Forget() const {
        valueStreams_.clear();
        listed_ = false;
    }
    // True when reads go through the storage's direct interface.
    bool Direct() const { return direct_ != nullptr; }

    // One stream of the storage, open for reading.
    struct Stream {
        ComPtr<IStream> stream;  // through IStream
        ULONG id = 0;            // through the direct interface
        uint64_t size = 0;
        uint64_t position = 0;   // of `stream`
        bool remembered = false;  // found among the remembered value streams
        ULONG tag = 0;            // then: its value's tag
    };
    // Opens the stream `name`: S_OK; STG_E_FILENOTFOUND when the storage holds no stream of that
    // name; other failures of the storage.
    HRESULT Open(const WCHAR* name, Stream& stream) const;
    // The same for the value stream of `tag`: found by its tag among the remembered streams,
    // named only when it must be looked up by name.
    HRESULT OpenValueStream(ULONG tag, Stream& stream) const;
    // Reads exactly `size` bytes at `offset`; MAPI_E_CORRUPT_DATA when the stream ends first.
    HRESULT Read(Stream& stream, uint64_t offset, BYTE* out, size_t size) const;
    // Calls `each` with the name of every storage the storage holds.
    HRESULT ForEachStorage(const std::function<void(const WCHAR* name)>& each) const;

private:
    struct ValueStream {
        ULONG tag;
        ULONG id;
        uint64_t size;
    };
    // Lists the storage (direct road), remembering its value streams; storages go to `each`.
    HRESULT List(const std::function<void(const WCHAR* name)>* each) const;
    HRESULT FindByName(const WCHAR* name, Stream& stream) const;
    HRESULT OpenThroughIStream(const WCHAR* name, Stream& stream) const;
    // A remembered stream that is gone since the listing, looked up afresh by its name.
    HRESULT FindAgain(Stream& stream) const;

    IStorage* storage_ = nullptr;            // held by the owner of this reader
    IStorageDirectRead* direct_ = nullptr;   // a reference of its own
    mutable std::vector<ValueStream> valueStreams_;  // by tag
    mutable bool listed_ = false;
};

// Calls `each` with the name of every element of `storage` of kind `type` (STGTY_STREAM or
// STGTY_STORAGE), through IStorage::EnumElements.
HRESULT EnumerateElements(IStorage* storage, DWORD type, const std::function<void(const WCHAR* name)>& each);

}  // namespace platform::mapi
