// IUnknown for the platform's own COM classes, written once.
//
// A class states the interfaces it serves and the IIDs each answers to:
//
//     class StreamObject final : public ComObject<Serves<IStream, IID_IStream, IID_ISequentialStream>> {...};
//
// ComObject derives from every listed interface, answers QueryInterface for the listed IIDs and
// for IID_IUnknown (always through the first interface, so every IUnknown query of one object
// gives the same pointer), keeps an atomic reference count (the objects are free-threaded) and
// deletes the object when the count falls to zero. A new object starts with a count of zero (its
// creator takes the first reference through ComPtr, QueryInterface or AddRef) unless its class
// starts it at one, for creators that hand the new object straight to their caller.
//
// StaticComObject is the same table for objects of process lifetime (class objects, the
// allocators): their count is nominal and nothing is ever deleted.
#pragma once

#include <atomic>
#include <tuple>

#include "com/objbase.h"

namespace platform {

// One interface the object serves, and the IIDs that hand it out.
template <class Interface, const IID&... Iids>
struct Serves {
    using Type = Interface;
    static bool Answers(REFIID riid) noexcept { return (IsEqualIID(riid, Iids) || ...); }
};

// The lookup over a list of Serves entries, shared by both lifetimes.
template <class... Entries>
class ComInterfaceTable : public Entries::Type... {
protected:
    // The interface pointer that answers riid, or null; adds no reference.
    void* FindInterface(REFIID riid) noexcept {
        if (IsEqualIID(riid, IID_IUnknown)) return Identity();
        void* found = nullptr;
        ((found == nullptr && Entries::Answers(riid) ? (found = static_cast<typename Entries::Type*>(this)) : nullptr),
         ...);
        return found;
    }
    // The one IUnknown pointer of the object: the first interface it serves.
    IUnknown* Identity() noexcept { return static_cast<std::tuple_element_t<0, std::tuple<typename Entries::Type...>>*>(this); }

    // The common shape of QueryInterface: null out-pointer is refused, a miss clears it.
    template <class AddRefFn>
    HRESULT Answer(REFIID riid, void** ppv, AddRefFn addRef) noexcept {
        if (!ppv) return E_POINTER;
        *ppv = FindInterface(riid);
        if (!*ppv) return E_NOINTERFACE;
        addRef();
        return S_OK;
    }
};

template <class... Entries>
class ComObject : public ComInterfaceTable<Entries...> {
public:
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return this->Answer(riid, ppv, [this] { AddRef(); });
    }
    STDMETHODIMP_(ULONG) AddRef() override { return refs_.fetch_add(1, std::memory_order_relaxed) + 1; }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (left == 0) delete this;
        return left;
    }

protected:
    ComObject() = default;
    explicit ComObject(ULONG initialCount) : refs_(initialCount) {}
    virtual ~ComObject() = default;

private:
    std::atomic<ULONG> refs_{0};
};

template <class... Entries>
class StaticComObject : public ComInterfaceTable<Entries...> {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return this->Answer(riid, ppv, [this] { this->AddRef(); });
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
};

// A new object of class T (a ComObject that starts at zero) handed out as its `riid` interface,
// as IClassFactory::CreateInstance does: the object goes again when it does not serve `riid`.
template <class T>
HRESULT NewObjectAs(REFIID riid, void** ppv) {
    T* object = new T;
    object->AddRef();
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();
    return hr;
}

}  // namespace platform
