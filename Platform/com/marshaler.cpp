// The free-threaded marshaler: an aggregatable object that answers IMarshal for its outer
// object. Within one process every apartment shares the same objects directly, so the layer
// never has to marshal an interface pointer; the IMarshal methods report that.
#include <atomic>
#include <new>

#include "base/comobject.h"
#include "base/fault.h"
#include "com/objbase.h"

namespace {

// Its own IUnknown is the non-delegating one: the object's identity and reference count.
class FreeThreadedMarshaler final : public platform::ComObject<platform::Serves<IUnknown>> {
public:
    explicit FreeThreadedMarshaler(IUnknown* outer)
        : ComObject(1), outer_(outer ? outer : Identity()), marshal_(this) {}

    IUnknown* NonDelegating() { return Identity(); }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (ppv && IsEqualIID(riid, IID_IMarshal)) {
            *ppv = static_cast<IMarshal*>(&marshal_);
            marshal_.AddRef();
            return S_OK;
        }
        return ComObject::QueryInterface(riid, ppv);
    }

private:
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
    Marshal marshal_;
};

}  // namespace

WINOLEAPI CoCreateFreeThreadedMarshaler(LPUNKNOWN punkOuter, LPUNKNOWN* ppunkMarshal) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("CoCreateFreeThreadedMarshaler", ppunkMarshal, E_INVALIDARG, &hr)) return hr;
    auto* marshaler = new (std::nothrow) FreeThreadedMarshaler(punkOuter);
    if (!marshaler) return E_OUTOFMEMORY;
    *ppunkMarshal = marshaler->NonDelegating();  // created with its one reference
    return S_OK;
}
