// Tests only: a storage that passes every call to another one but answers QueryInterface for
// IStorage alone, as a storage of another implementation would. The message store over it
// reads through IStorage and IStream only. Storages opened or created through it are wrapped
// in turn.
#pragma once

#include "base/comobject.h"
#include "base/comptr.h"
#include "mapi/mapi.h"

namespace mapitest {

class PublicOnlyStorage final : public platform::ComObject<platform::Serves<IStorage, IID_IStorage>> {
public:
    // Takes a reference of its own to `inner`.
    explicit PublicOnlyStorage(IStorage* inner) : ComObject(1), inner_(inner) {}

    // The wrapper of `inner` with one reference for the caller (null for null).
    static IStorage* Wrap(IStorage* inner) { return inner ? new PublicOnlyStorage(inner) : nullptr; }

    STDMETHODIMP CreateStream(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2, IStream** out) override {
        return inner_->CreateStream(name, mode, r1, r2, out);
    }
    STDMETHODIMP OpenStream(const OLECHAR* name, void* r1, DWORD mode, DWORD r2, IStream** out) override {
        return inner_->OpenStream(name, r1, mode, r2, out);
    }
    STDMETHODIMP CreateStorage(const OLECHAR* name, DWORD mode, DWORD r1, DWORD r2, IStorage** out) override {
        IStorage* created = nullptr;
        HRESULT hr = inner_->CreateStorage(name, mode, r1, r2, &created);
        *out = Wrap(created);
        if (created) created->Release();
        return hr;
    }
    STDMETHODIMP OpenStorage(const OLECHAR* name, IStorage* priority, DWORD mode, SNB exclude, DWORD reserved,
                             IStorage** out) override {
        IStorage* opened = nullptr;
        HRESULT hr = inner_->OpenStorage(name, priority, mode, exclude, reserved, &opened);
        *out = Wrap(opened);
        if (opened) opened->Release();
        return hr;
    }
    STDMETHODIMP CopyTo(DWORD count, const IID* excluded, SNB names, IStorage* destination) override {
        return inner_->CopyTo(count, excluded, names, destination);
    }
    STDMETHODIMP MoveElementTo(const OLECHAR* name, IStorage* destination, const OLECHAR* newName,
                               DWORD flags) override {
        return inner_->MoveElementTo(name, destination, newName, flags);
    }
    STDMETHODIMP Commit(DWORD flags) override { return inner_->Commit(flags); }
    STDMETHODIMP Revert() override { return inner_->Revert(); }
    STDMETHODIMP EnumElements(DWORD r1, void* r2, DWORD r3, IEnumSTATSTG** out) override {
        return inner_->EnumElements(r1, r2, r3, out);
    }
    STDMETHODIMP DestroyElement(const OLECHAR* name) override { return inner_->DestroyElement(name); }
    STDMETHODIMP RenameElement(const OLECHAR* oldName, const OLECHAR* newName) override {
        return inner_->RenameElement(oldName, newName);
    }
    STDMETHODIMP SetElementTimes(const OLECHAR* name, const FILETIME* c, const FILETIME* a,
                                 const FILETIME* m) override {
        return inner_->SetElementTimes(name, c, a, m);
    }
    STDMETHODIMP SetClass(REFCLSID clsid) override { return inner_->SetClass(clsid); }
    STDMETHODIMP SetStateBits(DWORD bits, DWORD mask) override { return inner_->SetStateBits(bits, mask); }
    STDMETHODIMP Stat(STATSTG* stat, DWORD flags) override { return inner_->Stat(stat, flags); }

private:
    ~PublicOnlyStorage() = default;

    platform::ComPtr<IStorage> inner_;
};

}  // namespace mapitest
