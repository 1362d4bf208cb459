// The message store's reading of streams: the platform storage's direct interface, or
// IStorage and IStream.
#include "mapi/storage_reader.h"

#include <algorithm>

#include "storage/storage_direct.h"

namespace platform::mapi {

StorageReader::StorageReader() = default;
StorageReader::~StorageReader() { Reset(nullptr); }
StorageReader::StorageReader(const StorageReader& other) { Reset(other.storage_); }
StorageReader& StorageReader::operator=(const StorageReader& other) {
    if (this != &other) Reset(other.storage_);
    return *this;
}

void StorageReader::Reset(IStorage* storage) {
    if (direct_) direct_->Release();
    direct_ = nullptr;
    storage_ = storage;
    void* direct = nullptr;
    if (storage_ && SUCCEEDED(storage_->QueryInterface(IID_IStorageDirectRead, &direct)))
        direct_ = static_cast<IStorageDirectRead*>(direct);
}

HRESULT StorageReader::Open(const char16_t* name, Stream& stream) const {
    stream = Stream{};
    if (direct_) {
        STGELEMENT element{};
        HRESULT hr = direct_->FindElement(name, &element);
        if (FAILED(hr)) return hr;
        if (element.type != STGTY_STREAM) return STG_E_FILENOTFOUND;
        stream.id = element.id;
        stream.size = element.cbSize.QuadPart;
        return S_OK;
    }
    HRESULT hr = storage_->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.stream.Put());
    if (FAILED(hr)) return hr;
    STATSTG stat{};
    if (FAILED(hr = stream.stream->Stat(&stat, STATFLAG_NONAME))) return hr;
    stream.size = stat.cbSize.QuadPart;
    return S_OK;
}

HRESULT StorageReader::Read(Stream& stream, uint64_t offset, BYTE* out, size_t size) const {
    if (!direct_ && stream.position != offset) {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        HRESULT hr = stream.stream->Seek(at, STREAM_SEEK_SET, nullptr);
        if (FAILED(hr)) return hr;
        stream.position = offset;
    }
    size_t done = 0;
    while (done < size) {
        const ULONG chunk = static_cast<ULONG>(std::min<size_t>(size - done, 1u << 20));
        ULONG got = 0;
        HRESULT hr;
        if (direct_) {
            ULARGE_INTEGER at;
            at.QuadPart = offset + done;
            hr = direct_->ReadElement(stream.id, at, out + done, chunk, &got);
        } else {
            hr = stream.stream->Read(out + done, chunk, &got);
            stream.position += got;
        }
        if (FAILED(hr)) return hr;
        if (got == 0) return MAPI_E_CORRUPT_DATA;  // shorter than its directory entry says
        done += got;
    }
    return S_OK;
}

HRESULT StorageReader::ForEachStorage(const std::function<void(const char16_t* name)>& each) const {
    if (direct_) {
        ULONG position = 0;
        STGELEMENT element{};
        HRESULT hr;
        while ((hr = direct_->NextElement(&position, STGTY_STORAGE, &element)) == S_OK) each(element.name);
        return FAILED(hr) ? hr : S_OK;
    }
    ComPtr<IEnumSTATSTG> elements;
    HRESULT hr = storage_->EnumElements(0, nullptr, 0, elements.Put());
    if (FAILED(hr)) return hr;
    for (;;) {
        STATSTG stat{};
        ULONG fetched = 0;
        hr = elements->Next(1, &stat, &fetched);
        if (FAILED(hr)) return hr;
        if (fetched == 0) break;
        if (stat.type == STGTY_STORAGE && stat.pwcsName) each(stat.pwcsName);
        CoTaskMemFree(stat.pwcsName);
        if (hr != S_OK) break;
    }
    return S_OK;
}

}  // namespace platform::mapi
