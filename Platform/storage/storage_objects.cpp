// The COM objects on an open compound file: IStorage (with the platform's direct reading of
// its streams), IStream and IEnumSTATSTG. Each names its element by its directory index.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "base/clock.h"
#include "base/comptr.h"
#include "base/fault.h"
#include "base/native_name.h"
#include "storage/storage_direct.h"
#include "storage/storage_internal.h"

namespace platform::storage {

namespace {

// Answers QueryInterface with the object itself, so storages can recognise their own kind.
DEFINE_GUID(IID_PlatformStorageObject, 0x5C1D6B8E, 0x93A4, 0x4F0B, 0x8E, 0x61, 0x2D, 0x7A, 0x0C, 0x35, 0x9B, 0x14);

bool CanRead(DWORD mode) { return (mode & 3) != STGM_WRITE; }
bool CanWrite(DWORD mode) { return (mode & 3) == STGM_WRITE || (mode & 3) == STGM_READWRITE; }

std::u16string WideToString(const OLECHAR* text) {
    std::u16string out;
    while (*text && out.size() <= kMaxNameChars) out.push_back(*text++);
    return out;
}

// A name for a new element: 1 to 31 characters, none of the separators compound files reserve.
HRESULT CheckNewName(const OLECHAR* name) {
    if (!name) return STG_E_INVALIDPOINTER;
    size_t length = 0;
    for (const OLECHAR* p = name; *p; ++p, ++length) {
        if (length >= kMaxNameChars) return STG_E_INVALIDNAME;
        if (*p == u'/' || *p == u'\\' || *p == u':' || *p == u'!') return STG_E_INVALIDNAME;
    }
    return length == 0 ? STG_E_INVALIDNAME : S_OK;
}

// A name to look up: 1 to 31 characters; its length through `length`.
HRESULT CheckLookupName(const OLECHAR* name, size_t* length = nullptr) {
    if (!name) return STG_E_INVALIDPOINTER;
    size_t count = 0;
    for (const OLECHAR* p = name; *p; ++p)
        if (++count > kMaxNameChars) return STG_E_INVALIDNAME;
    if (length) *length = count;
    return count == 0 ? STG_E_INVALIDNAME : S_OK;
}

// The mode of an element opened or created inside a storage.
HRESULT CheckElementMode(DWORD mode, DWORD parentMode, bool stream) {
    const DWORD known = 3 | 0x70 | STGM_CREATE | STGM_TRANSACTED | STGM_DIRECT_SWMR;
    if ((mode & ~known) || (mode & 3) == 3) return STG_E_INVALIDFLAG;
    if ((mode & 0x70) != STGM_SHARE_EXCLUSIVE) return STG_E_INVALIDFLAG;
    if (mode & STGM_DIRECT_SWMR) return STG_E_INVALIDFLAG;
    if ((mode & STGM_TRANSACTED) && (stream || CanWrite(mode))) return STG_E_INVALIDFLAG;
    if (CanWrite(mode) && !CanWrite(parentMode)) return STG_E_ACCESSDENIED;
    return S_OK;
}

bool IsWithin(const Directory& directory, uint32_t id, uint32_t ancestor) {
    for (; id != kNoStream; id = directory.At(id).parent)
        if (id == ancestor) return true;
    return false;
}

HRESULT AllocateName(const std::u16string& name, LPOLESTR* out) {
    *out = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
    if (!*out) return STG_E_INSUFFICIENTMEMORY;
    std::memcpy(*out, name.data(), name.size() * sizeof(OLECHAR));
    (*out)[name.size()] = 0;
    return S_OK;
}

FILETIME FileTimeAt(const BYTE* p) { return {Load32(p), Load32(p + 4)}; }
void StoreFileTime(BYTE* p, const FILETIME& time) {
    Store32(p, time.dwLowDateTime);
    Store32(p + 4, time.dwHighDateTime);
}

HRESULT FillStat(Document& document, uint32_t id, DWORD mode, DWORD flag, STATSTG* stat) {
    std::memset(stat, 0, sizeof *stat);
    const Directory& directory = document.directory;
    const BYTE type = directory.Type(id);
    if (flag != STATFLAG_NONAME) {
        // A root opened from a file is named by the file's path, as Windows names it.
        std::u16string name = type == kTypeRoot && !document.path.empty() ? platform::names::FromNative(document.ResolvedPath())
                                                                           : directory.Name(id);
        HRESULT hr = AllocateName(name, &stat->pwcsName);
        if (FAILED(hr)) return hr;
    }
    const BYTE* entry = directory.Entry(id);
    stat->type = directory.IsStorage(id) ? STGTY_STORAGE : STGTY_STREAM;
    stat->cbSize.QuadPart = type == kTypeStream ? document.Content(id).size : 0;
    stat->mtime = FileTimeAt(entry + 108);
    stat->ctime = FileTimeAt(entry + 100);
    stat->grfMode = mode;
    std::memcpy(&stat->clsid, entry + 80, sizeof stat->clsid);
    stat->grfStateBits = Load32(entry + 96);
    return S_OK;
}

// ---- IStream -------------------------------------------------------------------------------

class StreamObject final : public IStream {
public:
    StreamObject(Document* document, uint32_t id, DWORD mode, bool counted, uint64_t position)
        : document_(document), id_(id), mode_(mode), counted_(counted), position_(position) {
        document_->AddRef();
        if (counted_) ++Self().openCount;
    }
    ~StreamObject() {
        {
            std::lock_guard lock(document_->mutex);
            if (counted_ && Self().openCount) --Self().openCount;
        }
        document_->Release();
    }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_ISequentialStream || riid == IID_IStream) {
            *ppv = static_cast<IStream*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Read", hr)) return hr;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (!CanRead(mode_)) return STG_E_ACCESSDENIED;
            size_t read = 0;
            HRESULT result = document_->ReadStream(id_, position_, pv, cb, &read);
            if (FAILED(result)) return result;
            position_ += read;
            if (pcbRead) *pcbRead = ULONG(read);
            return S_OK;
        });
    }

    STDMETHODIMP Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pcbWritten) *pcbWritten = 0;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Write", hr)) return hr;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            if (cb == 0) return S_OK;
            HRESULT result = document_->WriteStream(id_, position_, pv, cb);
            if (FAILED(result)) return result;
            position_ += cb;
            if (pcbWritten) *pcbWritten = cb;
            return S_OK;
        });
    }

    STDMETHODIMP Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin, ULARGE_INTEGER* plibNewPosition) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Seek", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        if (Self().destroyed) return STG_E_REVERTED;
        int64_t base;
        switch (dwOrigin) {
            case STREAM_SEEK_SET:
                base = 0;
                break;
            case STREAM_SEEK_CUR:
                base = int64_t(position_);
                break;
            case STREAM_SEEK_END:
                base = int64_t(document_->Content(id_).size);
                break;
            default:
                return STG_E_INVALIDFUNCTION;
        }
        int64_t target;
        if (__builtin_add_overflow(base, dlibMove.QuadPart, &target) || target < 0) return STG_E_INVALIDFUNCTION;
        position_ = uint64_t(target);
        if (plibNewPosition) plibNewPosition->QuadPart = position_;
        return S_OK;
    }

    STDMETHODIMP SetSize(ULARGE_INTEGER libNewSize) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::SetSize", hr)) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            return document_->ResizeStream(id_, libNewSize.QuadPart);
        });
    }

    STDMETHODIMP CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                        ULARGE_INTEGER* pcbWritten) override {
        if (pcbRead) pcbRead->QuadPart = 0;
        if (pcbWritten) pcbWritten->QuadPart = 0;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::CopyTo", hr)) return hr;
        if (!pstm) return STG_E_INVALIDPOINTER;
        return Guarded([&]() -> HRESULT {
            std::vector<BYTE> buffer(64 * 1024);
            uint64_t left = cb.QuadPart, read = 0, written = 0;
            HRESULT result = S_OK;
            while (left > 0) {
                ULONG got = 0;
                result = Read(buffer.data(), ULONG(std::min<uint64_t>(left, buffer.size())), &got);
                if (FAILED(result) || got == 0) break;
                read += got;
                ULONG put = 0;
                result = pstm->Write(buffer.data(), got, &put);
                written += put;
                if (FAILED(result)) break;
                left -= got;
            }
            if (pcbRead) pcbRead->QuadPart = read;
            if (pcbWritten) pcbWritten->QuadPart = written;
            return FAILED(result) ? result : S_OK;
        });
    }

    STDMETHODIMP Commit(DWORD) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Commit", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        // Direct mode: written bytes already belong to the file's next image.
        return Self().destroyed ? STG_E_REVERTED : S_OK;
    }
    STDMETHODIMP Revert() override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Revert", hr)) return hr;
        return S_OK;
    }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::LockRegion", hr)) return hr;
        return STG_E_INVALIDFUNCTION;  // compound-file streams have no region locks
    }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::UnlockRegion", hr)) return hr;
        return STG_E_INVALIDFUNCTION;
    }
    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Stat", hr)) return hr;
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        if (grfStatFlag > STATFLAG_NOOPEN) return STG_E_INVALIDFLAG;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            return FillStat(*document_, id_, mode_, grfStatFlag, pstatstg);
        });
    }
    STDMETHODIMP Clone(IStream** ppstm) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Clone", hr)) return hr;
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            *ppstm = new StreamObject(document_, id_, mode_, false, position_);
            return S_OK;
        });
    }

private:
    Element& Self() { return document_->directory.At(id_); }

    std::atomic<ULONG> refs_{1};
    Document* document_;
    uint32_t id_;
    DWORD mode_;
    bool counted_;
    uint64_t position_;
};

// ---- IEnumSTATSTG --------------------------------------------------------------------------

class EnumObject final : public IEnumSTATSTG {
public:
    EnumObject(Document* document, uint32_t storage, size_t position)
        : document_(document), storage_(storage), position_(position) {
        document_->AddRef();
        entries_ = document_->directory.Children(storage_);
    }
    ~EnumObject() { document_->Release(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IEnumSTATSTG) {
            *ppv = static_cast<IEnumSTATSTG*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP Next(ULONG celt, STATSTG* rgelt, ULONG* pceltFetched) override {
        if (pceltFetched) *pceltFetched = 0;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IEnumSTATSTG::Next", hr)) return hr;
        if (!rgelt && celt) return STG_E_INVALIDPOINTER;
        if (celt > 1 && !pceltFetched) return STG_E_INVALIDPARAMETER;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            ULONG fetched = 0;
            while (fetched < celt && position_ < entries_.size()) {
                const uint32_t id = entries_[position_];
                if (document_->directory.At(id).destroyed) {  // destroyed since the snapshot
                    ++position_;
                    continue;
                }
                HRESULT result = FillStat(*document_, id, 0, STATFLAG_DEFAULT, &rgelt[fetched]);
                if (FAILED(result)) {
                    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(rgelt[i].pwcsName);
                    return result;
                }
                ++fetched;
                ++position_;
            }
            if (pceltFetched) *pceltFetched = fetched;
            return fetched == celt ? S_OK : S_FALSE;
        });
    }
    STDMETHODIMP Skip(ULONG celt) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IEnumSTATSTG::Skip", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        size_t left = entries_.size() - position_;
        position_ += std::min<size_t>(left, celt);
        return celt <= left ? S_OK : S_FALSE;
    }
    STDMETHODIMP Reset() override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IEnumSTATSTG::Reset", hr)) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            entries_ = document_->directory.Children(storage_);
            position_ = 0;
            return S_OK;
        });
    }
    STDMETHODIMP Clone(IEnumSTATSTG** ppenum) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IEnumSTATSTG::Clone", hr)) return hr;
        if (!ppenum) return STG_E_INVALIDPOINTER;
        *ppenum = nullptr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            auto* clone = new EnumObject(document_, storage_, position_);
            clone->entries_ = entries_;
            *ppenum = clone;
            return S_OK;
        });
    }

private:
    std::atomic<ULONG> refs_{1};
    Document* document_;
    uint32_t storage_;
    std::vector<uint32_t> entries_;
    size_t position_;
};

// ---- IStorage ------------------------------------------------------------------------------

class StorageObject final : public IStorage, public IStorageDirectRead {
public:
    StorageObject(Document* document, uint32_t id, DWORD mode, bool counted)
        : document_(document), id_(id), mode_(mode), counted_(counted) {
        document_->AddRef();
        if (counted_) ++Self().openCount;
    }
    ~StorageObject() {
        {
            std::lock_guard lock(document_->mutex);
            if (counted_ && Self().openCount) --Self().openCount;
        }
        document_->Release();
    }

    uint32_t Id() const { return id_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_PlatformStorageObject) {
            *ppv = this;  // no reference: for identification inside this file only
            return S_OK;
        }
        if (riid == IID_IUnknown || riid == IID_IStorage) {
            *ppv = static_cast<IStorage*>(this);
            AddRef();
            return S_OK;
        }
        if (riid == IID_IStorageDirectRead) {
            *ppv = static_cast<IStorageDirectRead*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++refs_; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = --refs_;
        if (left == 0) delete this;
        return left;
    }

    STDMETHODIMP CreateStream(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                              IStream** ppstm) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::CreateStream", hr)) return hr;
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        if (reserved1 || reserved2) return STG_E_INVALIDPARAMETER;
        if (FAILED(hr = CheckNewName(pwcsName))) return hr;
        if (FAILED(hr = CheckElementMode(grfMode, mode_, true))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            uint32_t stream = kNoStream;
            HRESULT result = MakeChild(WideToString(pwcsName), kTypeStream, grfMode, &stream);
            if (FAILED(result)) return result;
            *ppstm = new StreamObject(document_, stream, grfMode & ~STGM_CREATE, true, 0);
            return S_OK;
        });
    }

    STDMETHODIMP OpenStream(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                            IStream** ppstm) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::OpenStream", hr)) return hr;
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        if (reserved1 || reserved2) return STG_E_INVALIDPARAMETER;
        size_t length = 0;
        if (FAILED(hr = CheckLookupName(pwcsName, &length))) return hr;
        if (grfMode & STGM_CREATE) return STG_E_INVALIDFLAG;
        if (FAILED(hr = CheckElementMode(grfMode, mode_, true))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            Directory& directory = document_->directory;
            const uint32_t found = directory.Find(id_, pwcsName, length);
            if (found == kNoStream || directory.Type(found) != kTypeStream) return STG_E_FILENOTFOUND;
            if (directory.At(found).openCount) return STG_E_ACCESSDENIED;
            // The stream's sector chain is followed when it is read, as Windows does: a damaged
            // chain fails the reads (STG_E_DOCFILECORRUPT), not the open.
            *ppstm = new StreamObject(document_, found, grfMode, true, 0);
            return S_OK;
        });
    }

    STDMETHODIMP CreateStorage(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                               IStorage** ppstg) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::CreateStorage", hr)) return hr;
        if (!ppstg) return STG_E_INVALIDPOINTER;
        *ppstg = nullptr;
        if (reserved1 || reserved2) return STG_E_INVALIDPARAMETER;
        if (FAILED(hr = CheckNewName(pwcsName))) return hr;
        if (FAILED(hr = CheckElementMode(grfMode, mode_, false))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            uint32_t storage = kNoStream;
            HRESULT result = MakeChild(WideToString(pwcsName), kTypeStorage, grfMode, &storage);
            if (FAILED(result)) return result;
            *ppstg = static_cast<IStorage*>(new StorageObject(document_, storage, grfMode & ~STGM_CREATE, true));
            return S_OK;
        });
    }

    STDMETHODIMP OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                             DWORD reserved, IStorage** ppstg) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::OpenStorage", hr)) return hr;
        if (!ppstg) return STG_E_INVALIDPOINTER;
        *ppstg = nullptr;
        if (pstgPriority || snbExclude || reserved) return STG_E_INVALIDPARAMETER;
        size_t length = 0;
        if (FAILED(hr = CheckLookupName(pwcsName, &length))) return hr;
        if (grfMode & STGM_CREATE) return STG_E_INVALIDFLAG;
        if (FAILED(hr = CheckElementMode(grfMode, mode_, false))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            Directory& directory = document_->directory;
            const uint32_t found = directory.Find(id_, pwcsName, length);
            if (found == kNoStream || directory.Type(found) != kTypeStorage) return STG_E_FILENOTFOUND;
            if (directory.At(found).openCount) return STG_E_ACCESSDENIED;
            *ppstg = static_cast<IStorage*>(new StorageObject(document_, found, grfMode, true));
            return S_OK;
        });
    }

    STDMETHODIMP CopyTo(DWORD ciidExclude, const IID* rgiidExclude, SNB snbExclude, IStorage* pstgDest) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::CopyTo", hr)) return hr;
        if (!pstgDest) return STG_E_INVALIDPOINTER;
        if (ciidExclude && !rgiidExclude) return STG_E_INVALIDPOINTER;
        bool skipStorages = false, skipStreams = false;
        for (DWORD i = 0; i < ciidExclude; ++i) {
            if (rgiidExclude[i] == IID_IStorage) skipStorages = true;
            if (rgiidExclude[i] == IID_IStream) skipStreams = true;
        }
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (IntoSubtree(pstgDest, id_)) return STG_E_ACCESSDENIED;
            Directory& directory = document_->directory;
            // A copy: the destination may be in this file, and adding to it moves elements.
            const std::vector<uint32_t> children = directory.Children(id_);
            for (uint32_t child : children) {
                const std::u16string name = directory.Name(child);
                if (snbExclude && Excluded(snbExclude, name)) continue;
                if (directory.Type(child) == kTypeStream ? skipStreams : skipStorages) continue;
                HRESULT result = CopyElement(child, pstgDest, name);
                if (FAILED(result)) return result;
            }
            CLSID clsid;
            std::memcpy(&clsid, directory.Entry(id_) + 80, sizeof clsid);
            HRESULT result = pstgDest->SetClass(clsid);
            if (SUCCEEDED(result)) result = pstgDest->SetStateBits(Load32(directory.Entry(id_) + 96), 0xFFFFFFFF);
            return result;
        });
    }

    STDMETHODIMP MoveElementTo(const OLECHAR* pwcsName, IStorage* pstgDest, const OLECHAR* pwcsNewName,
                               DWORD grfFlags) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::MoveElementTo", hr)) return hr;
        if (!pstgDest) return STG_E_INVALIDPOINTER;
        if (grfFlags != STGMOVE_MOVE && grfFlags != STGMOVE_COPY) return STG_E_INVALIDFLAG;
        size_t length = 0;
        if (FAILED(hr = CheckLookupName(pwcsName, &length))) return hr;
        if (FAILED(hr = CheckNewName(pwcsNewName))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (grfFlags == STGMOVE_MOVE && !CanWrite(mode_)) return STG_E_ACCESSDENIED;
            Directory& directory = document_->directory;
            const uint32_t element = directory.Find(id_, pwcsName, length);
            if (element == kNoStream) return STG_E_FILENOTFOUND;
            if (directory.IsStorage(element) && IntoSubtree(pstgDest, element)) return STG_E_ACCESSDENIED;
            std::u16string newName = WideToString(pwcsNewName);
            // Moving onto itself changes nothing.
            void* raw = nullptr;
            if (SUCCEEDED(pstgDest->QueryInterface(IID_PlatformStorageObject, &raw)) &&
                static_cast<StorageObject*>(raw)->document_ == document_ &&
                static_cast<StorageObject*>(raw)->id_ == id_ && directory.Compare(newName.data(), newName.size(), element) == 0)
                return S_OK;
            HRESULT result = CopyElement(element, pstgDest, newName);
            if (FAILED(result)) return result;
            if (grfFlags == STGMOVE_MOVE && !directory.At(element).destroyed) RemoveChild(element);
            return S_OK;
        });
    }

    STDMETHODIMP Commit(DWORD grfCommitFlags) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::Commit", hr)) return hr;
        if (grfCommitFlags & ~DWORD(0xF)) return STG_E_INVALIDFLAG;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (document_->directory.Type(id_) != kTypeRoot || !CanWrite(mode_) || !document_->dirty) return S_OK;
            return document_->Save();
        });
    }

    STDMETHODIMP Revert() override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::Revert", hr)) return hr;
        return S_OK;  // direct mode: nothing is held back to undo
    }

    STDMETHODIMP EnumElements(DWORD reserved1, void* reserved2, DWORD reserved3, IEnumSTATSTG** ppenum) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::EnumElements", hr)) return hr;
        if (!ppenum) return STG_E_INVALIDPOINTER;
        *ppenum = nullptr;
        if (reserved1 || reserved2 || reserved3) return STG_E_INVALIDPARAMETER;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            *ppenum = new EnumObject(document_, id_, 0);
            return S_OK;
        });
    }

    STDMETHODIMP DestroyElement(const OLECHAR* pwcsName) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::DestroyElement", hr)) return hr;
        size_t length = 0;
        if (FAILED(hr = CheckLookupName(pwcsName, &length))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            const uint32_t found = document_->directory.Find(id_, pwcsName, length);
            if (found == kNoStream) return STG_E_FILENOTFOUND;
            RemoveChild(found);
            return S_OK;
        });
    }

    STDMETHODIMP RenameElement(const OLECHAR* pwcsOldName, const OLECHAR* pwcsNewName) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::RenameElement", hr)) return hr;
        size_t length = 0;
        if (FAILED(hr = CheckLookupName(pwcsOldName, &length))) return hr;
        if (FAILED(hr = CheckNewName(pwcsNewName))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            Directory& directory = document_->directory;
            const uint32_t found = directory.Find(id_, pwcsOldName, length);
            if (found == kNoStream) return STG_E_FILENOTFOUND;
            std::u16string newName = WideToString(pwcsNewName);
            if (directory.Find(id_, newName.data(), newName.size()) != kNoStream) return STG_E_ACCESSDENIED;
            directory.Rename(found, newName);
            document_->dirty = true;
            return S_OK;
        });
    }

    STDMETHODIMP SetElementTimes(const OLECHAR* pwcsName, const FILETIME* pctime, const FILETIME* patime,
                                 const FILETIME* pmtime) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::SetElementTimes", hr)) return hr;
        size_t length = 0;
        if (pwcsName && FAILED(hr = CheckLookupName(pwcsName, &length))) return hr;
        (void)patime;  // the format keeps no access time
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            uint32_t target = id_;
            if (pwcsName) {
                target = document_->directory.Find(id_, pwcsName, length);
                if (target == kNoStream) return STG_E_FILENOTFOUND;
            }
            BYTE* entry = document_->directory.Entry(target);
            if (pctime) StoreFileTime(entry + 100, *pctime);
            if (pmtime) StoreFileTime(entry + 108, *pmtime);
            if (pctime || pmtime) document_->dirty = true;
            return S_OK;
        });
    }

    STDMETHODIMP SetClass(REFCLSID clsid) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::SetClass", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        if (Self().destroyed) return STG_E_REVERTED;
        if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
        BYTE* entry = document_->directory.Entry(id_);
        if (std::memcmp(entry + 80, &clsid, sizeof clsid) != 0) {
            std::memcpy(entry + 80, &clsid, sizeof clsid);
            document_->dirty = true;
        }
        return S_OK;
    }

    STDMETHODIMP SetStateBits(DWORD grfStateBits, DWORD grfMask) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::SetStateBits", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        if (Self().destroyed) return STG_E_REVERTED;
        if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
        BYTE* entry = document_->directory.Entry(id_);
        const DWORD old = Load32(entry + 96);
        const DWORD bits = (old & ~grfMask) | (grfStateBits & grfMask);
        if (bits != old) {
            Store32(entry + 96, bits);
            document_->dirty = true;
        }
        return S_OK;
    }

    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::Stat", hr)) return hr;
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        if (grfStatFlag > STATFLAG_NOOPEN) return STG_E_INVALIDFLAG;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            return FillStat(*document_, id_, mode_, grfStatFlag, pstatstg);
        });
    }

    // ---- IStorageDirectRead ----

    STDMETHODIMP FindElement(const OLECHAR* pwcsName, STGELEMENT* pElement) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorageDirectRead::FindElement", hr)) return hr;
        if (!pElement) return STG_E_INVALIDPOINTER;
        size_t length = 0;
        if (FAILED(hr = CheckLookupName(pwcsName, &length))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            const uint32_t found = document_->directory.Find(id_, pwcsName, length);
            if (found == kNoStream) return STG_E_FILENOTFOUND;
            Describe(found, pElement);
            pElement->name[0] = 0;
            return S_OK;
        });
    }

    STDMETHODIMP NextElement(ULONG* pPosition, DWORD type, STGELEMENT* pElement) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorageDirectRead::NextElement", hr)) return hr;
        if (!pPosition || !pElement) return STG_E_INVALIDPOINTER;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            Directory& directory = document_->directory;
            const std::vector<uint32_t>& children = directory.Children(id_);
            for (; *pPosition < children.size(); ++*pPosition) {
                const uint32_t id = children[*pPosition];
                Describe(id, pElement);
                if (type && pElement->type != type) continue;
                const size_t length = directory.At(id).nameLength;
                const BYTE* entry = directory.Entry(id);
                for (size_t i = 0; i < length; ++i) pElement->name[i] = OLECHAR(Load16(entry + 2 * i));
                pElement->name[length] = 0;
                ++*pPosition;
                return S_OK;
            }
            return S_FALSE;
        });
    }

    STDMETHODIMP ReadElement(ULONG id, ULARGE_INTEGER offset, void* pv, ULONG cb, ULONG* pcbRead) override {
        if (pcbRead) *pcbRead = 0;
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorageDirectRead::ReadElement", hr)) return hr;
        if (!pv && cb) return STG_E_INVALIDPOINTER;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            Directory& directory = document_->directory;
            if (id >= directory.Count() || directory.At(id).parent != id_ || directory.At(id).destroyed ||
                directory.Type(id) != kTypeStream)
                return STG_E_INVALIDPARAMETER;
            size_t read = 0;
            HRESULT result = document_->ReadStream(id, offset.QuadPart, pv, cb, &read);
            if (FAILED(result)) return result;
            if (pcbRead) *pcbRead = ULONG(read);
            return S_OK;
        });
    }

private:
    Element& Self() { return document_->directory.At(id_); }

    void Describe(uint32_t id, STGELEMENT* element) {
        const Directory& directory = document_->directory;
        element->id = id;
        element->type = directory.IsStorage(id) ? STGTY_STORAGE : STGTY_STREAM;
        // A stream nobody has touched has the size its entry gives.
        element->cbSize.QuadPart = element->type != STGTY_STREAM              ? 0
                                   : directory.At(id).content == kNoStream ? directory.StoredSize(id)
                                                                            : document_->Content(id).size;
    }

    // Makes (or, with STGM_CREATE, replaces) a child element.
    HRESULT MakeChild(const std::u16string& name, BYTE type, DWORD grfMode, uint32_t* out) {
        Directory& directory = document_->directory;
        const uint32_t found = directory.Find(id_, name.data(), name.size());
        if (found != kNoStream) {
            if (!(grfMode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
            if (directory.At(found).openCount) return STG_E_ACCESSDENIED;
            RemoveChild(found);
        }
        *out = directory.Add(id_, name, type);
        document_->dirty = true;
        return S_OK;
    }

    void RemoveChild(uint32_t id) {
        document_->directory.Remove(id);
        document_->dirty = true;
    }

    static bool Excluded(SNB names, const std::u16string& name) {
        for (; *names; ++names)
            if (CompareNames(WideToString(*names), name) == 0) return true;
        return false;
    }

    bool IntoSubtree(IStorage* destination, uint32_t subtree) {
        void* raw = nullptr;
        if (FAILED(destination->QueryInterface(IID_PlatformStorageObject, &raw))) return false;
        auto* other = static_cast<StorageObject*>(raw);
        return other->document_ == document_ && IsWithin(document_->directory, other->id_, subtree);
    }

    // Copies one element of this storage into `destination` under `name`: streams replace,
    // storages merge, as Windows copies them.
    HRESULT CopyElement(uint32_t element, IStorage* destination, const std::u16string& name) {
        const DWORD writeMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
        std::u16string terminated = name;
        if (document_->directory.Type(element) == kTypeStream) {
            IStream* target = nullptr;
            HRESULT hr = destination->CreateStream(terminated.c_str(), writeMode | STGM_CREATE, 0, 0, &target);
            if (FAILED(hr)) return hr;
            platform::ComPtr<IStream> holder = platform::ComPtr<IStream>::Attach(target);
            std::vector<BYTE> buffer(64 * 1024);
            for (uint64_t at = 0; at < document_->Content(element).size;) {
                size_t read = 0;
                hr = document_->ReadStream(element, at, buffer.data(), buffer.size(), &read);
                if (FAILED(hr)) return hr;
                if (read == 0) break;
                hr = target->Write(buffer.data(), ULONG(read), nullptr);
                if (FAILED(hr)) return hr;
                at += read;
            }
            return S_OK;
        }
        IStorage* target = nullptr;
        HRESULT hr = destination->OpenStorage(terminated.c_str(), nullptr, writeMode, nullptr, 0, &target);
        if (hr == STG_E_FILENOTFOUND) hr = destination->CreateStorage(terminated.c_str(), writeMode, 0, 0, &target);
        if (FAILED(hr)) return hr;
        platform::ComPtr<IStorage> holder = platform::ComPtr<IStorage>::Attach(target);
        if (document_->directory.At(element).destroyed) return STG_E_REVERTED;
        platform::ComPtr<StorageObject> source = platform::ComPtr<StorageObject>::Attach(
            new StorageObject(document_, element, mode_ & ~DWORD(3), false));
        return source->CopyTo(0, nullptr, nullptr, target);
    }

    std::atomic<ULONG> refs_{1};
    Document* document_;
    uint32_t id_;
    DWORD mode_;
    bool counted_;
};

}  // namespace

HRESULT CreateStorageObject(Document* document, uint32_t id, DWORD mode, bool counted, IStorage** storage) {
    *storage = static_cast<IStorage*>(new StorageObject(document, id, mode, counted));
    return S_OK;
}

}  // namespace platform::storage
