// The message store's reading of streams: the platform storage's direct interface, or
// IStorage and IStream.
#include "mapi/storage_reader.h"

#include <algorithm>
#include <cstring>
#include <iterator>

#include "storage/storage_direct.h"

namespace platform::mapi {

StorageReader::StorageReader() = default;
StorageReader::~StorageReader() { Reset(nullptr); }
StorageReader::StorageReader(const StorageReader& other) { *this = other; }
StorageReader& StorageReader::operator=(const StorageReader& other) {
    if (this == &other) return *this;
    Reset(other.storage_);
    valueStreams_ = other.valueStreams_;
    listed_ = other.listed_;
    return *this;
}

void StorageReader::Reset(IStorage* storage) {
    Forget();
    if (direct_) direct_->Release();
    direct_ = nullptr;
    storage_ = storage;
    void* direct = nullptr;
    if (storage_ && SUCCEEDED(storage_->QueryInterface(IID_IStorageDirectRead, &direct)))
        direct_ = static_cast<IStorageDirectRead*>(direct);
}

HRESULT StorageReader::FindByName(const WCHAR* name, Stream& stream) const {
    stream = Stream{};
    STGELEMENT element{};
    HRESULT hr = direct_->FindElement(name, &element);
    if (FAILED(hr)) return hr;
    if (element.type != STGTY_STREAM) return STG_E_FILENOTFOUND;
    stream.id = element.id;
    stream.size = element.cbSize.QuadPart;
    return S_OK;
}

HRESULT StorageReader::FindAgain(Stream& stream) const {
    // Replaced by a write through another object since the listing: what is there now is read
    // if it is what was checked, as a look-up by name would have found it.
    Forget();
    Stream found;
    HRESULT hr = FindByName(ValueStreamName(stream.tag).c_str(), found);
    if (hr == STG_E_FILENOTFOUND) return MAPI_E_NOT_FOUND;
    if (FAILED(hr)) return hr;
    if (found.size != stream.size) return MAPI_E_CORRUPT_DATA;
    stream.id = found.id;
    stream.remembered = false;
    return S_OK;
}

HRESULT StorageReader::Open(const WCHAR* name, Stream& stream) const {
    ULONG tag = 0;
    if (direct_ && ValueStreamTag(name, tag)) return OpenValueStream(tag, stream);
    stream = Stream{};
    return direct_ ? FindByName(name, stream) : OpenThroughIStream(name, stream);
}

HRESULT StorageReader::OpenValueStream(ULONG tag, Stream& stream) const {
    stream = Stream{};
    if (!direct_) return OpenThroughIStream(ValueStreamName(tag).c_str(), stream);
    if (!listed_) List(nullptr);
    auto found = std::lower_bound(valueStreams_.begin(), valueStreams_.end(), tag,
                                  [](const ValueStream& v, ULONG t) { return v.tag < t; });
    if (found != valueStreams_.end() && found->tag == tag) {
        stream.id = found->id;
        stream.size = found->size;
        stream.remembered = true;
        stream.tag = tag;
        return S_OK;
    }
    return FindByName(ValueStreamName(tag).c_str(), stream);
}

HRESULT StorageReader::OpenThroughIStream(const WCHAR* name, Stream& stream) const {
    HRESULT hr = storage_->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.stream.Put());
    if (FAILED(hr)) return hr;
    STATSTG stat{};
    if (FAILED(hr = stream.stream->Stat(&stat, STATFLAG_NONAME))) return hr;
    stream.size = stat.cbSize.QuadPart;
    return S_OK;
}

HRESULT StorageReader::List(const std::function<void(const WCHAR* name)>* each) const {
    valueStreams_.clear();
    valueStreams_.reserve(32);  // a message's usual count of value streams, without regrowing
    ULONG position = 0;
    STGELEMENT batch[16];
    HRESULT hr;
    do {
        ULONG fetched = 0;
        hr = direct_->NextElements(&position, 0, ULONG(std::size(batch)), batch, &fetched);
        if (FAILED(hr)) break;
        for (ULONG i = 0; i < fetched; ++i) {
            const STGELEMENT& element = batch[i];
            ULONG tag = 0;
            if (element.type == STGTY_STORAGE) {
                if (each) (*each)(element.name);
            } else if (ValueStreamTag(element.name, tag)) {
                valueStreams_.push_back({tag, element.id, element.cbSize.QuadPart});
            }
        }
    } while (hr == S_OK);
    if (FAILED(hr)) {
        // Nothing is remembered then: every stream is looked up by name.
        valueStreams_.clear();
        listed_ = true;
        return hr;
    }
    std::sort(valueStreams_.begin(), valueStreams_.end(),
              [](const ValueStream& a, const ValueStream& b) { return a.tag < b.tag; });
    listed_ = true;
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
            if (hr == STG_E_INVALIDPARAMETER && stream.remembered) {
                if (FAILED(hr = FindAgain(stream))) return hr;
                continue;
            }
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

HRESULT StorageReader::ForEachStorage(const std::function<void(const WCHAR* name)>& each) const {
    if (direct_) return List(&each);
    return EnumerateElements(storage_, STGTY_STORAGE, each);
}

HRESULT EnumerateElements(IStorage* storage, DWORD type, const std::function<void(const WCHAR* name)>& each) {
    ComPtr<IEnumSTATSTG> elements;
    HRESULT hr = storage->EnumElements(0, nullptr, 0, elements.Put());
    if (FAILED(hr)) return hr;
    for (;;) {
        STATSTG stat{};
        ULONG fetched = 0;
        hr = elements->Next(1, &stat, &fetched);
        if (FAILED(hr)) return hr;
        if (fetched == 0) break;
        if (stat.type == type && stat.pwcsName) each(stat.pwcsName);
        CoTaskMemFree(stat.pwcsName);
        if (hr != S_OK) break;
    }
    return S_OK;
}

}  // namespace platform::mapi
