// IEnumSTATSTG over the children of a storage of an open compound file.
#include <new>

#include "base/comobject.h"
#include "base/fault.h"
#include "storage/storage_objects.h"

namespace platform::storage {
namespace {

class EnumObject final : public ComObject<Serves<IEnumSTATSTG, IID_IEnumSTATSTG>> {
public:
    EnumObject(Document* document, uint32_t storage, size_t position)
        : ComObject(1), document_(document), storage_(storage), position_(position) {
        document_->AddRef();
        entries_ = document_->directory.Children(storage_);
    }
    ~EnumObject() { document_->Release(); }


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
    Document* document_;
    uint32_t storage_;
    std::vector<uint32_t> entries_;
    size_t position_;
};

}  // namespace

IEnumSTATSTG* NewEnumObject(Document* document, uint32_t storage, size_t position) {
    return new EnumObject(document, storage, position);
}

}  // namespace platform::storage
