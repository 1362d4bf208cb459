// IStorage on a storage of an open compound file (with the platform's direct reading of its
// streams), by its directory index.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>

#include "base/clock.h"
#include "base/comobject.h"
#include "base/comptr.h"
#include "base/fault.h"
#include "storage/storage_direct.h"
#include "storage/storage_objects.h"

namespace platform::storage {
namespace {

class StorageObject final
    : public ElementObject<Serves<IStorage, IID_IStorage>, Serves<IStorageDirectRead, IID_IStorageDirectRead>> {
public:
    StorageObject(Document* document, uint32_t id, DWORD mode, bool counted)
        : ElementObject(document, id, mode, counted) {}

    uint32_t Id() const { return id_; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv && riid == IID_PlatformStorageObject) {
            *ppv = this;  // no reference: for identification inside this file only
            return S_OK;
        }
        return ElementObject::QueryInterface(riid, ppv);
    }

    STDMETHODIMP CreateStream(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                              IStream** ppstm) override {
        return Child(true, "IStorage::CreateStream", pwcsName, kTypeStream, grfMode, reserved1 || reserved2, ppstm,
                     [&](uint32_t id, DWORD mode) { return NewStreamObject(document_, id, mode, true, 0); });
    }

    STDMETHODIMP OpenStream(const OLECHAR* pwcsName, void* reserved1, DWORD grfMode, DWORD reserved2,
                            IStream** ppstm) override {
        // The stream's sector chain is followed when it is read, as Windows does: a damaged
        // chain fails the reads (STG_E_DOCFILECORRUPT), not the open.
        return Child(false, "IStorage::OpenStream", pwcsName, kTypeStream, grfMode, reserved1 || reserved2, ppstm,
                     [&](uint32_t id, DWORD mode) { return NewStreamObject(document_, id, mode, true, 0); });
    }

    STDMETHODIMP CreateStorage(const OLECHAR* pwcsName, DWORD grfMode, DWORD reserved1, DWORD reserved2,
                               IStorage** ppstg) override {
        return Child(true, "IStorage::CreateStorage", pwcsName, kTypeStorage, grfMode, reserved1 || reserved2, ppstg,
                     [&](uint32_t id, DWORD mode) { return NewStorageObject(id, mode); });
    }

    STDMETHODIMP OpenStorage(const OLECHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                             DWORD reserved, IStorage** ppstg) override {
        const bool unsupported = pstgPriority || snbExclude || reserved;
        return Child(false, "IStorage::OpenStorage", pwcsName, kTypeStorage, grfMode, unsupported, ppstg,
                     [&](uint32_t id, DWORD mode) { return NewStorageObject(id, mode); });
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
        return WhileLive([&]() -> HRESULT {
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
        return WhileLive([&]() -> HRESULT {
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
        return WhileLive([&]() -> HRESULT {
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
        return WhileLive([&]() -> HRESULT {
            *ppenum = NewEnumObject(document_, id_, 0);
            return S_OK;
        });
    }

    STDMETHODIMP DestroyElement(const OLECHAR* pwcsName) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::DestroyElement", hr)) return hr;
        size_t length = 0;
        if (FAILED(hr = CheckLookupName(pwcsName, &length))) return hr;
        return WhileLive([&]() -> HRESULT {
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
        return WhileLive([&]() -> HRESULT {
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
        return WhileLive([&]() -> HRESULT {
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
        return ChangeOwnEntry("IStorage::SetClass", [&](BYTE* entry) {
            if (std::memcmp(entry + 80, &clsid, sizeof clsid) == 0) return false;
            std::memcpy(entry + 80, &clsid, sizeof clsid);
            return true;
        });
    }

    STDMETHODIMP SetStateBits(DWORD grfStateBits, DWORD grfMask) override {
        return ChangeOwnEntry("IStorage::SetStateBits", [&](BYTE* entry) {
            const DWORD old = Load32(entry + 96);
            const DWORD bits = (old & ~grfMask) | (grfStateBits & grfMask);
            if (bits == old) return false;
            Store32(entry + 96, bits);
            return true;
        });
    }

    STDMETHODIMP Stat(STATSTG* pstatstg, DWORD grfStatFlag) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorage::Stat", hr)) return hr;
        return StatElement(pstatstg, grfStatFlag);
    }

    // ---- IStorageDirectRead ----

    STDMETHODIMP FindElement(const OLECHAR* pwcsName, STGELEMENT* pElement) override {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT("IStorageDirectRead::FindElement", hr)) return hr;
        if (!pElement) return STG_E_INVALIDPOINTER;
        size_t length = 0;
        if (FAILED(hr = CheckLookupName(pwcsName, &length))) return hr;
        return WhileLive([&]() -> HRESULT {
            const uint32_t found = document_->directory.Find(id_, pwcsName, length);
            if (found == kNoStream) return STG_E_FILENOTFOUND;
            Describe(found, pElement);
            pElement->name[0] = 0;
            return S_OK;
        });
    }

    STDMETHODIMP NextElements(ULONG* pPosition, DWORD type, ULONG celt, STGELEMENT* rgelt,
                              ULONG* pceltFetched) override {
        HRESULT hr = S_OK;
        if (pceltFetched) *pceltFetched = 0;
        if (PLATFORM_FAULT("IStorageDirectRead::NextElements", hr)) return hr;
        if (!pPosition || !pceltFetched || (celt && !rgelt)) return STG_E_INVALIDPOINTER;
        return WhileLive([&]() -> HRESULT {
            Directory& directory = document_->directory;
            const std::vector<uint32_t>& children = directory.Children(id_);
            ULONG fetched = 0;
            for (; fetched < celt && *pPosition < children.size(); ++*pPosition) {
                const uint32_t id = children[*pPosition];
                STGELEMENT& element = rgelt[fetched];
                Describe(id, &element);
                if (type && element.type != type) continue;
                const size_t length = directory.At(id).nameLength;
                const BYTE* entry = directory.Entry(id);
                for (size_t i = 0; i < length; ++i) element.name[i] = OLECHAR(Load16(entry + 2 * i));
                element.name[length] = 0;
                ++fetched;
            }
            *pceltFetched = fetched;
            return fetched == celt ? S_OK : S_FALSE;
        });
    }

    STDMETHODIMP ReadElement(ULONG id, ULARGE_INTEGER offset, void* pv, ULONG cb, ULONG* pcbRead) override {
        HRESULT hr = S_OK;
        if (EndsAtTransferStart("IStorageDirectRead::ReadElement", pv, cb, pcbRead, &hr)) return hr;
        return WhileLive([&]() -> HRESULT {
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
    void Describe(uint32_t id, STGELEMENT* element) {
        const Directory& directory = document_->directory;
        element->id = id;
        element->type = directory.IsStorage(id) ? STGTY_STORAGE : STGTY_STREAM;
        // A stream nobody has touched has the size its entry gives.
        element->cbSize.QuadPart = element->type != STGTY_STREAM              ? 0
                                   : directory.At(id).content == kNoStream ? directory.StoredSize(id)
                                                                            : document_->Content(id).size;
    }

    IStorage* NewStorageObject(uint32_t id, DWORD mode) {
        return static_cast<IStorage*>(new StorageObject(document_, id, mode, true));
    }

    // SetClass and SetStateBits: `change(entry)` on this storage's own directory entry, under the
    // lock, while the storage exists and may be written; it answers whether it changed anything.
    template <class Change>
    HRESULT ChangeOwnEntry(const char* operation, Change change) {
        HRESULT hr = S_OK;
        if (PLATFORM_FAULT(operation, hr)) return hr;
        std::lock_guard lock(document_->mutex);
        if (Self().destroyed) return STG_E_REVERTED;
        if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
        if (change(document_->directory.Entry(id_))) document_->dirty = true;
        return S_OK;
    }

    // What every call handing out a child's object checks first: its fault, its out pointer
    // (emptied) and its reserved arguments; true when the call ends there, with *result.
    template <class Interface>
    static bool EndsAtChildStart(const char* operation, bool reserved, Interface** out, HRESULT* result) {
        if (PLATFORM_FAULT(operation, *result)) return true;
        if (!out) {
            *result = STG_E_INVALIDPOINTER;
            return true;
        }
        *out = nullptr;
        *result = reserved ? STG_E_INVALIDPARAMETER : S_OK;
        return reserved;
    }

    // CreateStream and CreateStorage (`create`), OpenStream and OpenStorage: checks the call,
    // makes (or, with STGM_CREATE, replaces) or finds the child of `type`, and hands out
    // `make(child, mode)`, its object.
    template <class Interface, class Make>
    HRESULT Child(bool create, const char* operation, const OLECHAR* name, BYTE type, DWORD grfMode, bool reserved,
                  Interface** out, Make make) {
        HRESULT hr = S_OK;
        if (EndsAtChildStart(operation, reserved, out, &hr)) return hr;
        size_t length = 0;
        if (FAILED(hr = create ? CheckNewName(name) : CheckLookupName(name, &length))) return hr;
        if (!create && (grfMode & STGM_CREATE)) return STG_E_INVALIDFLAG;
        if (FAILED(hr = CheckElementMode(grfMode, mode_, type == kTypeStream))) return hr;
        return WhileLive([&]() -> HRESULT {
            uint32_t child = kNoStream;
            const HRESULT result = create ? NewChild(name, type, grfMode, &child) : FindChild(name, length, type, &child);
            if (FAILED(result)) return result;
            *out = make(child, grfMode & ~STGM_CREATE);
            return S_OK;
        });
    }

    HRESULT NewChild(const OLECHAR* name, BYTE type, DWORD grfMode, uint32_t* child) {
        if (!CanWrite(mode_)) return STG_E_ACCESSDENIED;
        return MakeChild(WideToString(name), type, grfMode, child);
    }

    // A child of `type` that is not open already.
    HRESULT FindChild(const OLECHAR* name, size_t length, BYTE type, uint32_t* child) {
        Directory& directory = document_->directory;
        const uint32_t found = directory.Find(id_, name, length);
        if (found == kNoStream || directory.Type(found) != type) return STG_E_FILENOTFOUND;
        if (directory.At(found).openCount) return STG_E_ACCESSDENIED;
        *child = found;
        return S_OK;
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

};

}  // namespace

HRESULT CreateStorageObject(Document* document, uint32_t id, DWORD mode, bool counted, IStorage** storage) {
    *storage = static_cast<IStorage*>(new StorageObject(document, id, mode, counted));
    return S_OK;
}

}  // namespace platform::storage
