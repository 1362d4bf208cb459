// The free-threaded marshaler: an aggregatable object that answers IMarshal for its outer
// object. Within one process every apartment shares the same objects directly, so the layer
// never has to marshal an interface pointer; the IMarshal methods report that.
#include <atomic>
#include <new>

#include "base/fault.h"
#include "com/objbase.h"

namespace {

class FreeThreadedMarshaler {
public:
    explicit FreeThreadedMarshaler(IUnknown* outer) : outer_(outer ? outer : &inner_), inner_(this), marshal_(this) {}

    IUnknown* NonDelegating() { return &inner_; }

private:
    // The non-delegating IUnknown: the object's own identity and reference count.
    struct Inner final : IUnknown {
        explicit Inner(FreeThreadedMarshaler* owner) : owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
            if (!ppv) return E_POINTER;
            if (IsEqualIID(riid, IID_IUnknown)) {
                *ppv = static_cast<IUnknown*>(this);
            } else if (IsEqualIID(riid, IID_IMarshal)) {
                *ppv = static_cast<IMarshal*>(&owner->marshal_);
            } else {
                *ppv = nullptr;
                return E_NOINTERFACE;
            }
            static_cast<IUnknown*>(*ppv)->AddRef();
            return S_OK;
        }
        STDMETHODIMP_(ULONG) AddRef() override { return ++count; }
        STDMETHODIMP_(ULONG) Release() override {
            ULONG remaining = --count;
            if (remaining == 0) delete owner;
            return remaining;
        }
        FreeThreadedMarshaler* owner;
        std::atomic<ULONG> count{1};
    };

    // IMarshal, whose IUnknown delegates to the outer object.
    struct Marshal final : IMarshal {
        explicit Marshal(FreeThreadedMarshaler* owner) : owner(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return owner->outer_->QueryInterface(riid, ppv); }
        STDMETHODIMP_(ULONG) AddRef() override { return owner->outer_->AddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner->outer_->Release(); }
        STDMETHODIMP GetUnmarshalClass(REFIID, void*, DWORD, void*, DWORD, CLSID* pCid) override {
            if (pCid) *pCid = GUID_NULL;
            return E_NOTIMPL;
        }
        STDMETHODIMP GetMarshalSizeMax(REFIID, void*, DWORD, void*, DWORD, DWORD* pSize) override {
            if (pSize) *pSize = 0;
            return E_NOTIMPL;
        }
        STDMETHODIMP MarshalInterface(IUnknown*, REFIID, void*, DWORD, void*, DWORD) override { return E_NOTIMPL; }
        STDMETHODIMP UnmarshalInterface(IUnknown*, REFIID, void** ppv) override {
            if (ppv) *ppv = nullptr;
            return E_NOTIMPL;
        }
        STDMETHODIMP ReleaseMarshalData(IUnknown*) override { return E_NOTIMPL; }
        STDMETHODIMP DisconnectObject(DWORD) override { return S_OK; }
        FreeThreadedMarshaler* owner;
    };

    IUnknown* outer_;
    Inner inner_;
    Marshal marshal_;
};

}  // namespace

WINOLEAPI CoCreateFreeThreadedMarshaler(LPUNKNOWN punkOuter, LPUNKNOWN* ppunkMarshal) {
    if (!ppunkMarshal) return E_INVALIDARG;
    *ppunkMarshal = nullptr;
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoCreateFreeThreadedMarshaler", hr)) return hr;
    auto* marshaler = new (std::nothrow) FreeThreadedMarshaler(punkOuter);
    if (!marshaler) return E_OUTOFMEMORY;
    *ppunkMarshal = marshaler->NonDelegating();  // created with its one reference
    return S_OK;
}
