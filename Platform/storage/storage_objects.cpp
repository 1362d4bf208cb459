// The COM objects on an open compound file (IStorage, IStream, IEnumSTATSTG) and the
// functions that open and create files.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <new>

#include "base/clock.h"
#include "base/comptr.h"
#include "base/fault.h"
#include "platform_testing.h"
#include "storage/storage_internal.h"

namespace platform::storage {

namespace {

// Answers QueryInterface with the object itself, so storages can recognise their own kind.
DEFINE_GUID(IID_PlatformStorageObject, 0x5C1D6B8E, 0x93A4, 0x4F0B, 0x8E, 0x61, 0x2D, 0x7A, 0x0C, 0x35, 0x9B, 0x14);

std::atomic<unsigned> g_newSectorSize{512};

template <class Body>
HRESULT Guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return STG_E_INSUFFICIENTMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

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

HRESULT CheckLookupName(const OLECHAR* name) {
    if (!name) return STG_E_INVALIDPOINTER;
    size_t length = 0;
    for (const OLECHAR* p = name; *p; ++p)
        if (++length > kMaxNameChars) return STG_E_INVALIDNAME;
    return length == 0 ? STG_E_INVALIDNAME : S_OK;
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

void MarkDestroyed(Node& node) {
    node.destroyed = true;
    for (const NodePtr& child : node.children) MarkDestroyed(*child);
}

bool IsWithin(const Node* node, const Node* ancestor) {
    for (; node; node = node->parent)
        if (node == ancestor) return true;
    return false;
}

HRESULT AllocateName(const std::u16string& name, LPOLESTR* out) {
    *out = static_cast<LPOLESTR>(CoTaskMemAlloc((name.size() + 1) * sizeof(OLECHAR)));
    if (!*out) return STG_E_INSUFFICIENTMEMORY;
    std::memcpy(*out, name.data(), name.size() * sizeof(OLECHAR));
    (*out)[name.size()] = 0;
    return S_OK;
}

std::u16string WideFromPath(const std::string& path) {
    std::u16string out;
    for (size_t i = 0; i < path.size();) {
        unsigned char c = static_cast<unsigned char>(path[i]);
        char32_t code = c;
        size_t extra = c < 0x80 ? 0 : c < 0xE0 ? 1 : c < 0xF0 ? 2 : 3;
        if (c >= 0x80) code = c & (0x3F >> extra);
        for (size_t k = 1; k <= extra && i + k < path.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(path[i + k]) & 0x3F);
        i += extra + 1;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back(char16_t(0xD800 + (code >> 10)));
            out.push_back(char16_t(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back(char16_t(code));
        }
    }
    return out;
}

HRESULT FillStat(Document& document, const Node& node, DWORD mode, DWORD flag, STATSTG* stat) {
    std::memset(stat, 0, sizeof *stat);
    if (flag != STATFLAG_NONAME) {
        // A root opened from a file is named by the file's path, as Windows names it.
        std::u16string name = node.type == kTypeRoot && !document.path.empty() ? WideFromPath(document.path) : node.name;
        HRESULT hr = AllocateName(name, &stat->pwcsName);
        if (FAILED(hr)) return hr;
    }
    stat->type = node.IsStorage() ? STGTY_STORAGE : STGTY_STREAM;
    stat->cbSize.QuadPart = node.type == kTypeStream ? node.content.size : 0;
    stat->mtime = node.mtime;
    stat->ctime = node.ctime;
    stat->grfMode = mode;
    stat->clsid = node.clsid;
    stat->grfStateBits = node.stateBits;
    return S_OK;
}

// ---- IStream -------------------------------------------------------------------------------

class StreamObject final : public IStream {
public:
    StreamObject(Document* document, NodePtr node, DWORD mode, bool counted, uint64_t position)
        : document_(document), node_(std::move(node)), mode_(mode), counted_(counted), position_(position) {
        document_->AddRef();
        if (counted_) ++node_->openCount;
    }
    ~StreamObject() {
        {
            std::lock_guard lock(document_->mutex);
            if (counted_ && node_->openCount) --node_->openCount;
            node_.reset();
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
            if (node_->destroyed) return STG_E_REVERTED;
            if (!CanRead(mode_)) return STG_E_ACCESSDENIED;
            size_t read = 0;
            HRESULT result = document_->ReadStream(*node_, position_, pv, cb, &read);
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
            if (node_->destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            if (cb == 0) return S_OK;
            HRESULT result = document_->WriteStream(*node_, position_, pv, cb);
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
        if (node_->destroyed) return STG_E_REVERTED;
        int64_t base;
        switch (dwOrigin) {
            case STREAM_SEEK_SET:
                base = 0;
                break;
            case STREAM_SEEK_CUR:
                base = int64_t(position_);
                break;
            case STREAM_SEEK_END:
                base = int64_t(node_->content.size);
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
            if (node_->destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            return document_->ResizeStream(*node_, libNewSize.QuadPart);
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
        return node_->destroyed ? STG_E_REVERTED : S_OK;
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
            if (node_->destroyed) return STG_E_REVERTED;
            return FillStat(*document_, *node_, mode_, grfStatFlag, pstatstg);
        });
    }
    STDMETHODIMP Clone(IStream** ppstm) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStream::Clone", hr)) return hr;
        if (!ppstm) return STG_E_INVALIDPOINTER;
        *ppstm = nullptr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (node_->destroyed) return STG_E_REVERTED;
            *ppstm = new StreamObject(document_, node_, mode_, false, position_);
            return S_OK;
        });
    }

private:
    std::atomic<ULONG> refs_{1};
    Document* document_;
    NodePtr node_;
    DWORD mode_;
    bool counted_;
    uint64_t position_;
};

// ---- IEnumSTATSTG --------------------------------------------------------------------------

class EnumObject final : public IEnumSTATSTG {
public:
    EnumObject(Document* document, NodePtr storage, size_t position)
        : document_(document), storage_(std::move(storage)), position_(position) {
        document_->AddRef();
        entries_ = storage_->children;
    }
    ~EnumObject() {
        {
            std::lock_guard lock(document_->mutex);
            entries_.clear();
            storage_.reset();
        }
        document_->Release();
    }

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
                const NodePtr& node = entries_[position_];
                if (node->destroyed) {  // destroyed since the snapshot
                    ++position_;
                    continue;
                }
                HRESULT result = FillStat(*document_, *node, 0, STATFLAG_DEFAULT, &rgelt[fetched]);
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
            entries_ = storage_->children;
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
    NodePtr storage_;
    std::vector<NodePtr> entries_;
    size_t position_;
};

// ---- IStorage ------------------------------------------------------------------------------

class StorageObject final : public IStorage {
public:
    StorageObject(Document* document, NodePtr node, DWORD mode, bool counted)
        : document_(document), node_(std::move(node)), mode_(mode), counted_(counted) {
        document_->AddRef();
        if (counted_) ++node_->openCount;
    }
    ~StorageObject() {
        {
            std::lock_guard lock(document_->mutex);
            if (counted_ && node_->openCount) --node_->openCount;
            node_.reset();
        }
        document_->Release();
    }

    Node* NodeOf() const { return node_.get(); }

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
            if (node_->destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            NodePtr stream;
            HRESULT result = MakeChild(WideToString(pwcsName), kTypeStream, grfMode, &stream);
            if (FAILED(result)) return result;
            *ppstm = new StreamObject(document_, std::move(stream), grfMode & ~STGM_CREATE, true, 0);
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
        if (FAILED(hr = CheckLookupName(pwcsName))) return hr;
        if (grfMode & STGM_CREATE) return STG_E_INVALIDFLAG;
        if (FAILED(hr = CheckElementMode(grfMode, mode_, true))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (node_->destroyed) return STG_E_REVERTED;
            auto found = node_->Find(WideToString(pwcsName));
            if (found == node_->children.end() || (*found)->type != kTypeStream) return STG_E_FILENOTFOUND;
            if ((*found)->openCount) return STG_E_ACCESSDENIED;
            HRESULT result = document_->ResolveExtents(**found);
            if (FAILED(result)) return result;
            *ppstm = new StreamObject(document_, *found, grfMode, true, 0);
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
            if (node_->destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            NodePtr storage;
            HRESULT result = MakeChild(WideToString(pwcsName), kTypeStorage, grfMode, &storage);
            if (FAILED(result)) return result;
            *ppstg = new StorageObject(document_, std::move(storage), grfMode & ~STGM_CREATE, true);
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
        if (FAILED(hr = CheckLookupName(pwcsName))) return hr;
        if (grfMode & STGM_CREATE) return STG_E_INVALIDFLAG;
        if (FAILED(hr = CheckElementMode(grfMode, mode_, false))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (node_->destroyed) return STG_E_REVERTED;
            auto found = node_->Find(WideToString(pwcsName));
            if (found == node_->children.end() || (*found)->type != kTypeStorage) return STG_E_FILENOTFOUND;
            if ((*found)->openCount) return STG_E_ACCESSDENIED;
            *ppstg = new StorageObject(document_, *found, grfMode, true);
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
            if (node_->destroyed) return STG_E_REVERTED;
            if (IntoOwnSubtree(pstgDest)) return STG_E_ACCESSDENIED;
            std::vector<NodePtr> children = node_->children;
            for (const NodePtr& child : children) {
                if (snbExclude && Excluded(snbExclude, child->name)) continue;
                if (child->type == kTypeStream ? skipStreams : skipStorages) continue;
                HRESULT result = CopyElement(*child, pstgDest, child->name);
                if (FAILED(result)) return result;
            }
            HRESULT result = pstgDest->SetClass(node_->clsid);
            if (SUCCEEDED(result)) result = pstgDest->SetStateBits(node_->stateBits, 0xFFFFFFFF);
            return result;
        });
    }

    STDMETHODIMP MoveElementTo(const OLECHAR* pwcsName, IStorage* pstgDest, const OLECHAR* pwcsNewName,
                               DWORD grfFlags) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::MoveElementTo", hr)) return hr;
        if (!pstgDest) return STG_E_INVALIDPOINTER;
        if (grfFlags != STGMOVE_MOVE && grfFlags != STGMOVE_COPY) return STG_E_INVALIDFLAG;
        if (FAILED(hr = CheckLookupName(pwcsName))) return hr;
        if (FAILED(hr = CheckNewName(pwcsNewName))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (node_->destroyed) return STG_E_REVERTED;
            if (grfFlags == STGMOVE_MOVE && !CanWrite(mode_)) return STG_E_ACCESSDENIED;
            auto found = node_->Find(WideToString(pwcsName));
            if (found == node_->children.end()) return STG_E_FILENOTFOUND;
            NodePtr element = *found;
            if (element->IsStorage() && IntoSubtree(pstgDest, element.get())) return STG_E_ACCESSDENIED;
            std::u16string newName = WideToString(pwcsNewName);
            // Moving onto itself changes nothing.
            void* raw = nullptr;
            if (SUCCEEDED(pstgDest->QueryInterface(IID_PlatformStorageObject, &raw)) &&
                static_cast<StorageObject*>(raw)->NodeOf() == node_.get() && CompareNames(newName, element->name) == 0)
                return S_OK;
            HRESULT result = CopyElement(*element, pstgDest, newName);
            if (FAILED(result)) return result;
            if (grfFlags == STGMOVE_MOVE) RemoveChild(element->name);
            return S_OK;
        });
    }

    STDMETHODIMP Commit(DWORD grfCommitFlags) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::Commit", hr)) return hr;
        if (grfCommitFlags & ~DWORD(0xF)) return STG_E_INVALIDFLAG;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (node_->destroyed) return STG_E_REVERTED;
            if (node_->type != kTypeRoot || !CanWrite(mode_) || !document_->dirty) return S_OK;
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
            if (node_->destroyed) return STG_E_REVERTED;
            *ppenum = new EnumObject(document_, node_, 0);
            return S_OK;
        });
    }

    STDMETHODIMP DestroyElement(const OLECHAR* pwcsName) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::DestroyElement", hr)) return hr;
        if (FAILED(hr = CheckLookupName(pwcsName))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (node_->destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            std::u16string name = WideToString(pwcsName);
            if (node_->Find(name) == node_->children.end()) return STG_E_FILENOTFOUND;
            RemoveChild(name);
            return S_OK;
        });
    }

    STDMETHODIMP RenameElement(const OLECHAR* pwcsOldName, const OLECHAR* pwcsNewName) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::RenameElement", hr)) return hr;
        if (FAILED(hr = CheckLookupName(pwcsOldName))) return hr;
        if (FAILED(hr = CheckNewName(pwcsNewName))) return hr;
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (node_->destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            auto found = node_->Find(WideToString(pwcsOldName));
            if (found == node_->children.end()) return STG_E_FILENOTFOUND;
            std::u16string newName = WideToString(pwcsNewName);
            if (node_->Find(newName) != node_->children.end()) return STG_E_ACCESSDENIED;
            NodePtr element = *found;
            node_->children.erase(found);
            element->SetName(newName);
            element->rawNameValid = false;
            node_->Insert(element);
            document_->dirty = true;
            return S_OK;
        });
    }

    STDMETHODIMP SetElementTimes(const OLECHAR* pwcsName, const FILETIME* pctime, const FILETIME* patime,
                                 const FILETIME* pmtime) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::SetElementTimes", hr)) return hr;
        if (pwcsName && FAILED(hr = CheckLookupName(pwcsName))) return hr;
        (void)patime;  // the format keeps no access time
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (node_->destroyed) return STG_E_REVERTED;
            if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
            Node* target = node_.get();
            if (pwcsName) {
                auto found = node_->Find(WideToString(pwcsName));
                if (found == node_->children.end()) return STG_E_FILENOTFOUND;
                target = found->get();
            }
            if (pctime) target->ctime = *pctime;
            if (pmtime) target->mtime = *pmtime;
            if (pctime || pmtime) document_->dirty = true;
            return S_OK;
        });
    }

    STDMETHODIMP SetClass(REFCLSID clsid) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::SetClass", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        if (node_->destroyed) return STG_E_REVERTED;
        if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
        if (node_->clsid != clsid) {
            node_->clsid = clsid;
            document_->dirty = true;
        }
        return S_OK;
    }

    STDMETHODIMP SetStateBits(DWORD grfStateBits, DWORD grfMask) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::SetStateBits", hr)) return hr;
        std::lock_guard lock(document_->mutex);
        if (node_->destroyed) return STG_E_REVERTED;
        if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
        DWORD bits = (node_->stateBits & ~grfMask) | (grfStateBits & grfMask);
        if (bits != node_->stateBits) {
            node_->stateBits = bits;
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
            if (node_->destroyed) return STG_E_REVERTED;
            return FillStat(*document_, *node_, mode_, grfStatFlag, pstatstg);
        });
    }

private:
    // Makes (or, with STGM_CREATE, replaces) a child element.
    HRESULT MakeChild(const std::u16string& name, BYTE type, DWORD grfMode, NodePtr* out) {
        auto found = node_->Find(name);
        if (found != node_->children.end()) {
            if (!(grfMode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
            if ((*found)->openCount) return STG_E_ACCESSDENIED;
            RemoveChild(name);
        }
        auto node = std::make_shared<Node>();
        node->SetName(name);
        node->type = type;
        node->content.extentsResolved = true;
        if (type == kTypeStorage) {
            ULONGLONG now = clock::NowFileTime();
            node->ctime = node->mtime = {DWORD(now), DWORD(now >> 32)};
        }
        node_->Insert(node);
        document_->dirty = true;
        *out = std::move(node);
        return S_OK;
    }

    void RemoveChild(const std::u16string& name) {
        auto found = node_->Find(name);
        if (found == node_->children.end()) return;
        NodePtr element = *found;
        node_->children.erase(found);
        MarkDestroyed(*element);
        element->parent = nullptr;
        document_->dirty = true;
    }

    static bool Excluded(SNB names, const std::u16string& name) {
        for (; *names; ++names)
            if (CompareNames(WideToString(*names), name) == 0) return true;
        return false;
    }

    bool IntoSubtree(IStorage* destination, const Node* subtree) {
        void* raw = nullptr;
        if (FAILED(destination->QueryInterface(IID_PlatformStorageObject, &raw))) return false;
        auto* other = static_cast<StorageObject*>(raw);
        return other->document_ == document_ && IsWithin(other->node_.get(), subtree);
    }
    bool IntoOwnSubtree(IStorage* destination) { return IntoSubtree(destination, node_.get()); }

    // Copies one element of this storage into `destination` under `name`: streams replace,
    // storages merge, as Windows copies them.
    HRESULT CopyElement(Node& element, IStorage* destination, const std::u16string& name) {
        const DWORD writeMode = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;
        std::u16string terminated = name;
        if (element.type == kTypeStream) {
            IStream* target = nullptr;
            HRESULT hr = destination->CreateStream(terminated.c_str(), writeMode | STGM_CREATE, 0, 0, &target);
            if (FAILED(hr)) return hr;
            platform::ComPtr<IStream> holder = platform::ComPtr<IStream>::Attach(target);
            std::vector<BYTE> buffer(64 * 1024);
            for (uint64_t at = 0; at < element.content.size;) {
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
        NodePtr self;
        for (const NodePtr& child : element.parent ? element.parent->children : std::vector<NodePtr>{})
            if (child.get() == &element) self = child;
        if (!self) return STG_E_REVERTED;
        platform::ComPtr<StorageObject> source = platform::ComPtr<StorageObject>::Attach(
            new StorageObject(document_, self, mode_ & ~DWORD(3), false));
        return source->CopyTo(0, nullptr, nullptr, target);
    }

    std::atomic<ULONG> refs_{1};
    Document* document_;
    NodePtr node_;
    DWORD mode_;
    bool counted_;
};

// ---- Opening files -------------------------------------------------------------------------

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

HRESULT OpenError(int error, const std::string& path) {
    switch (error) {
        case ENOENT: {
            struct stat folder;
            return ::stat(FolderOf(path).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) ? STG_E_FILENOTFOUND
                                                                                           : STG_E_PATHNOTFOUND;
        }
        case ENOTDIR:
        case ELOOP:
            return STG_E_PATHNOTFOUND;
        case ENAMETOOLONG:
            return STG_E_INVALIDNAME;
        case EACCES:
        case EPERM:
        case EROFS:
            return STG_E_ACCESSDENIED;
        case EMFILE:
        case ENFILE:
            return STG_E_TOOMANYOPENFILES;
        case ENOMEM:
            return STG_E_INSUFFICIENTMEMORY;
        default:
            return STG_E_FILENOTFOUND;
    }
}

// A folder nobody may write to cannot take the new image of a save: treat the file in it as
// read-only, also for a superuser.
bool FolderWritable(const std::string& folder) {
    struct stat st;
    if (::stat(folder.c_str(), &st) != 0 || (st.st_mode & 0222) == 0) return false;
    return ::access(folder.c_str(), W_OK | X_OK) == 0;
}

// Validates StgOpenStorage's mode.
HRESULT CheckOpenMode(DWORD mode) {
    const DWORD known = 3 | 0x70 | STGM_TRANSACTED | STGM_PRIORITY | STGM_NOSCRATCH | STGM_NOSNAPSHOT |
                        STGM_SIMPLE | STGM_DIRECT_SWMR | STGM_CREATE | STGM_CONVERT | STGM_DELETEONRELEASE;
    if ((mode & ~known) || (mode & 3) == 3 || (mode & 0x70) > STGM_SHARE_DENY_NONE) return STG_E_INVALIDFLAG;
    if (mode & (STGM_CREATE | STGM_CONVERT | STGM_DELETEONRELEASE | STGM_PRIORITY | STGM_SIMPLE |
                STGM_DIRECT_SWMR | STGM_NOSCRATCH | STGM_NOSNAPSHOT))
        return STG_E_INVALIDFLAG;
    // Writing is direct, which needs the file to itself.
    if (CanWrite(mode) && ((mode & STGM_TRANSACTED) || (mode & 0x70) != STGM_SHARE_EXCLUSIVE))
        return STG_E_INVALIDFLAG;
    return S_OK;
}

// Removes the temporary images that saves of this file left behind when their process died.
// Called with the file open for writing and share-exclusive: then no save of it can be under
// way anywhere, since a save needs the same open.
void RemoveStaleTemporaries(const std::string& file) {
    size_t slash = file.rfind('/');
    std::string folder = slash == std::string::npos ? "." : (slash == 0 ? "/" : file.substr(0, slash));
    std::string prefix(1, '.');
    prefix.append((slash == std::string::npos ? file : file.substr(slash + 1)).substr(0, 200));
    prefix.push_back('.');
    DIR* listing = ::opendir(folder.c_str());
    if (!listing) return;
    while (struct dirent* entry = ::readdir(listing)) {
        std::string name = entry->d_name;
        if (name.size() != prefix.size() + 6 || name.compare(0, prefix.size(), prefix) != 0) continue;
        bool generated = std::all_of(name.begin() + long(prefix.size()), name.end(),
                                     [](char c) { return std::isalnum(static_cast<unsigned char>(c)); });
        if (generated) ::unlinkat(::dirfd(listing), name.c_str(), 0);
    }
    ::closedir(listing);
}

HRESULT OpenDocument(const std::string& path, DWORD mode, IStorage** out) {
    const bool write = CanWrite(mode);
    const ShareRequest request = ShareRequestFromMode(mode);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return OpenError(errno, path);
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return STG_E_READFAULT;
        }
        auto fail = [&](HRESULT hr) {
            ::close(fd);
            return hr;
        };
        if (S_ISDIR(st.st_mode)) return fail(STG_E_ACCESSDENIED);
        if (!S_ISREG(st.st_mode)) return fail(STG_E_FILENOTFOUND);
        char resolved[PATH_MAX];
        if (!::realpath(path.c_str(), resolved)) return fail(OpenError(errno, path));
        if (write) {
            // A file whose permission bits grant nobody write access is read-only, as the
            // read-only attribute is on Windows, whoever opens it.
            if ((st.st_mode & 0222) == 0 || ::access(resolved, W_OK) != 0) return fail(STG_E_ACCESSDENIED);
            if (!FolderWritable(FolderOf(resolved))) return fail(STG_E_ACCESSDENIED);
        }
        HRESULT hr = AcquireShareLocks(fd, request);
        if (FAILED(hr)) return fail(hr);
        // A save of another open may have replaced the file between our open and our locks:
        // then we hold the old one, and start again on the new one.
        struct stat now;
        if (::stat(resolved, &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
            ::close(fd);
            continue;
        }
        if (request.write && request.denyRead && request.denyWrite) RemoveStaleTemporaries(resolved);
        auto* document = new Document();
        document->path = resolved;
        document->share = request;
        document->writable = write;
        document->mode = mode;
        document->AddRef();  // held while loading
        hr = document->Load(MakeFileSource(fd, uint64_t(st.st_size)));
        if (SUCCEEDED(hr)) *out = new StorageObject(document, document->root, mode, true);
        document->Release();
        return hr;
    }
    return STG_E_LOCKVIOLATION;
}

}  // namespace

bool PathFromWide(const WCHAR* wide, std::string* path) {
    path->clear();
    for (const WCHAR* p = wide; *p; ++p) {
        char32_t code = *p;
        if (code >= 0xD800 && code <= 0xDBFF) {
            if (p[1] < 0xDC00 || p[1] > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (p[1] - 0xDC00);
            ++p;
        } else if (code >= 0xDC00 && code <= 0xDFFF) {
            return false;
        }
        if (code < 0x80) {
            path->push_back(char(code));
        } else if (code < 0x800) {
            path->push_back(char(0xC0 | (code >> 6)));
            path->push_back(char(0x80 | (code & 0x3F)));
        } else if (code < 0x10000) {
            path->push_back(char(0xE0 | (code >> 12)));
            path->push_back(char(0x80 | ((code >> 6) & 0x3F)));
            path->push_back(char(0x80 | (code & 0x3F)));
        } else {
            path->push_back(char(0xF0 | (code >> 18)));
            path->push_back(char(0x80 | ((code >> 12) & 0x3F)));
            path->push_back(char(0x80 | ((code >> 6) & 0x3F)));
            path->push_back(char(0x80 | (code & 0x3F)));
        }
    }
    return true;
}

HRESULT CreateStorageObject(Document* document, NodePtr node, DWORD mode, bool counted, IStorage** storage) {
    *storage = new StorageObject(document, std::move(node), mode, counted);
    return S_OK;
}

unsigned NewDocfileSectorSize();
void SetNewDocfileSectorSizeValue(unsigned bytes);
unsigned NewDocfileSectorSize() { return g_newSectorSize.load(); }
void SetNewDocfileSectorSizeValue(unsigned bytes) { g_newSectorSize.store(bytes == 4096 ? 4096 : 512); }

}  // namespace platform::storage

using namespace platform::storage;

STDAPI StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                      DWORD reserved, IStorage** ppstgOpen) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("StgOpenStorage", hr)) {
        if (ppstgOpen) *ppstgOpen = nullptr;
        return hr;
    }
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (pstgPriority || snbExclude) return STG_E_INVALIDFUNCTION;
    if (reserved) return STG_E_INVALIDPARAMETER;
    if (!pwcsName) return STG_E_INVALIDNAME;
    if (FAILED(hr = CheckOpenMode(grfMode))) return hr;
    return Guarded([&]() -> HRESULT {
        std::string path;
        if (!PathFromWide(pwcsName, &path) || path.empty()) return STG_E_INVALIDNAME;
        return OpenDocument(path, grfMode, ppstgOpen);
    });
}

STDAPI StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved, IStorage** ppstgOpen) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("StgCreateDocfile", hr)) {
        if (ppstgOpen) *ppstgOpen = nullptr;
        return hr;
    }
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (reserved) return STG_E_INVALIDPARAMETER;
    const DWORD known = 3 | 0x70 | STGM_CREATE | STGM_DELETEONRELEASE | STGM_TRANSACTED;
    if ((grfMode & ~known) || (grfMode & 3) == 3 || (grfMode & 0x70) > STGM_SHARE_DENY_NONE) return STG_E_INVALIDFLAG;
    if (!CanWrite(grfMode) || (grfMode & STGM_TRANSACTED) || (grfMode & 0x70) != STGM_SHARE_EXCLUSIVE)
        return STG_E_INVALIDFLAG;
    return Guarded([&]() -> HRESULT {
        std::string path;
        bool temporary = !pwcsName;
        DWORD mode = grfMode;
        if (temporary) {
            const char* folder = std::getenv("TMPDIR");
            path = std::string(folder && *folder ? folder : "/tmp") + "/stg-XXXXXX";
            int fd = ::mkostemp(path.data(), O_CLOEXEC);
            if (fd < 0) return OpenError(errno, path);
            ::close(fd);
            mode |= STGM_CREATE | STGM_DELETEONRELEASE;
        } else if (!PathFromWide(pwcsName, &path) || path.empty()) {
            return STG_E_INVALIDNAME;
        }

        auto* document = new Document();
        document->AddRef();
        struct Holder {
            Document* document;
            ~Holder() { document->Release(); }
        } holder{document};
        document->share = ShareRequestFromMode(mode);
        document->writable = true;
        document->mode = mode & ~DWORD(STGM_CREATE | STGM_DELETEONRELEASE);
        document->deleteOnRelease = (mode & STGM_DELETEONRELEASE) != 0;

        std::unique_ptr<Source> existing;
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return STG_E_ACCESSDENIED;
            if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
            if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) return STG_E_ACCESSDENIED;
            char resolved[PATH_MAX];
            if (!::realpath(path.c_str(), resolved)) return OpenError(errno, path);
            document->path = resolved;
            // Hold the old file, locked as this open will hold the new one, until it is replaced.
            int fd = ::open(resolved, O_RDONLY | O_CLOEXEC);
            if (fd < 0) return OpenError(errno, path);
            existing = MakeFileSource(fd, uint64_t(st.st_size));
            HRESULT locked = AcquireShareLocks(fd, document->share);
            if (FAILED(locked)) return locked;
        } else {
            if (errno != ENOENT) return OpenError(errno, path);
            std::string folder = FolderOf(path);
            char resolved[PATH_MAX];
            if (!::realpath(folder.c_str(), resolved)) return STG_E_PATHNOTFOUND;
            size_t slash = path.rfind('/');
            document->path = std::string(resolved) + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
        }
        if (!FolderWritable(FolderOf(document->path))) return STG_E_ACCESSDENIED;
        document->InitEmpty(NewDocfileSectorSize(), std::move(existing));
        ULONGLONG now = platform::clock::NowFileTime();
        document->root->mtime = {DWORD(now), DWORD(now >> 32)};
        document->dirty = true;
        HRESULT saved = document->Save();
        if (FAILED(saved)) {
            document->writable = false;  // nothing more to write on release
            document->deleteOnRelease = false;
            if (temporary) ::unlink(path.c_str());
            return saved;
        }
        *ppstgOpen = new StorageObject(document, document->root, document->mode, true);
        return S_OK;
    });
}

STDAPI StgIsStorageFile(const WCHAR* pwcsName) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("StgIsStorageFile", hr)) return hr;
    if (!pwcsName) return STG_E_INVALIDNAME;
    return Guarded([&]() -> HRESULT {
        std::string path;
        if (!PathFromWide(pwcsName, &path) || path.empty()) return STG_E_INVALIDNAME;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return OpenError(errno, path);
        struct stat st;
        if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            ::close(fd);
            return STG_E_ACCESSDENIED;
        }
        BYTE header[512];
        ssize_t got = ::pread(fd, header, sizeof header, 0);
        ::close(fd);
        if (got < ssize_t(sizeof header)) return S_FALSE;
        return std::memcmp(header, kSignature, sizeof kSignature) == 0 ? S_OK : S_FALSE;
    });
}

namespace platform::testing {

HRESULT OpenStorageOnMemory(const void* data, size_t size, IStorage** storage) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("OpenStorageOnMemory", hr)) return hr;
    if (!storage) return STG_E_INVALIDPOINTER;
    *storage = nullptr;
    if (!data && size) return STG_E_INVALIDPOINTER;
    return Guarded([&]() -> HRESULT {
        auto* document = new Document();
        document->mode = STGM_READ | STGM_SHARE_DENY_NONE;
        document->AddRef();
        HRESULT result = document->Load(MakeMemorySource(data, size));
        if (SUCCEEDED(result)) *storage = new StorageObject(document, document->root, document->mode, true);
        document->Release();
        return result;
    });
}

void SetNewDocfileSectorSize(unsigned bytes) { storage::SetNewDocfileSectorSizeValue(bytes); }

}  // namespace platform::testing

namespace {
// Test controls of this service return to their defaults between tests.
const bool g_resetRegistered = [] {
    platform::testing::RegisterResetHook([] { platform::storage::SetNewDocfileSectorSizeValue(512); });
    return true;
}();
}  // namespace
