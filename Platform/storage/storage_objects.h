// What the COM objects on an open compound file share: the rules for element names and modes,
// STATSTG, and how the IStorage object makes the streams and enumerators it hands out.
#pragma once

#include <mutex>
#include <string>

#include "base/comobject.h"
#include "base/fault.h"

#include "storage/storage_internal.h"

namespace platform::storage {

// Answers QueryInterface with the object itself, so storages can recognise their own kind.
DEFINE_GUID(IID_PlatformStorageObject, 0x5C1D6B8E, 0x93A4, 0x4F0B, 0x8E, 0x61, 0x2D, 0x7A, 0x0C, 0x35, 0x9B, 0x14);

bool CanRead(DWORD mode);
bool CanWrite(DWORD mode);

std::u16string WideToString(const OLECHAR* text);

// A name for a new element: 1 to 31 characters, none of the separators compound files reserve.
HRESULT CheckNewName(const OLECHAR* name);

// A name to look up: 1 to 31 characters; its length through `length`.
HRESULT CheckLookupName(const OLECHAR* name, size_t* length = nullptr);

// The mode of an element opened or created inside a storage.
HRESULT CheckElementMode(DWORD mode, DWORD parentMode, bool stream);

bool IsWithin(const Directory& directory, uint32_t id, uint32_t ancestor);

HRESULT AllocateName(const std::u16string& name, LPOLESTR* out);

FILETIME FileTimeAt(const BYTE* p);
void StoreFileTime(BYTE* p, const FILETIME& time);

HRESULT FillStat(Document& document, uint32_t id, DWORD mode, DWORD flag, STATSTG* stat);

// What a call that reads or writes `cb` bytes at `pv` checks first: its count out-parameter
// (zeroed), its fault, its buffer; true when the call ends there, with *result.
inline bool EndsAtTransferStart(const char* operation, const void* pv, ULONG cb, ULONG* count, HRESULT* result) {
    if (count) *count = 0;
    if (PLATFORM_FAULT(operation, *result)) return true;
    *result = !pv && cb ? STG_E_INVALIDPOINTER : S_OK;
    return *result != S_OK;
}

// What an object on one element shares: it holds the document, and a counted one is one of the
// element's open instances for as long as it lives. It starts with its creator's reference.
template <class... Entries>
class ElementObject : public ComObject<Entries...> {
protected:
    ElementObject(Document* document, uint32_t id, DWORD mode, bool counted)
        : ComObject<Entries...>(1), document_(document), id_(id), mode_(mode), counted_(counted) {
        document_->AddRef();
        if (counted_) ++Self().openCount;
    }
    ~ElementObject() override {
        {
            std::lock_guard lock(document_->mutex);
            if (counted_ && Self().openCount) --Self().openCount;
        }
        document_->Release();
    }

    Element& Self() { return document_->directory.At(id_); }

    // Runs `work` under the document's lock while the element still exists (STG_E_REVERTED once
    // it is destroyed); an allocation failure is its result, as Guarded makes it.
    template <typename Work>
    HRESULT WhileLive(Work work) {
        return Guarded([&]() -> HRESULT {
            std::lock_guard lock(document_->mutex);
            if (Self().destroyed) return STG_E_REVERTED;
            return work();
        });
    }

    // Stat of the element, as IStream::Stat and IStorage::Stat answer it.
    HRESULT StatElement(STATSTG* stat, DWORD flag) {
        if (!stat) return STG_E_INVALIDPOINTER;
        if (flag > STATFLAG_NOOPEN) return STG_E_INVALIDFLAG;
        return WhileLive([&] { return FillStat(*document_, id_, mode_, flag, stat); });
    }

    Document* document_;
    uint32_t id_;
    DWORD mode_;
    bool counted_;
};

// The stream object on stream `id`, with the one reference the caller receives. A counted
// object is one of the element's open instances.
IStream* NewStreamObject(Document* document, uint32_t id, DWORD mode, bool counted, uint64_t position);
// The enumerator of storage `storage`'s children, from the `position`th, with one reference.
IEnumSTATSTG* NewEnumObject(Document* document, uint32_t storage, size_t position);

}  // namespace platform::storage
