// The module's COM object model: reference counting with a single- or multi-threaded model,
// interface tables, the plain and aggregated object wrappers, creators, class factories and
// the module lock count that keeps the library loaded while anything of it is in use.
#pragma once

#include <atomic>
#include <new>

#include <windows.h>
#include <objbase.h>

namespace msgplugin {

// ---- The module ----------------------------------------------------------------------------

// Module-wide state: the lock count and the lock that serialises the creation of cached class
// factories.
class ComModule {
public:
    ComModule();
    ~ComModule();
    ComModule(const ComModule&) = delete;
    ComModule& operator=(const ComModule&) = delete;

    LONG Lock() { return InterlockedIncrement(&m_lockCount); }
    LONG Unlock() { return InterlockedDecrement(&m_lockCount); }
    // Read as one atomic step: the runtime asks from any thread while others lock and unlock.
    LONG GetLockCount() const { return InterlockedCompareExchange(&m_lockCount, 0, 0); }

    CRITICAL_SECTION& ObjectMapLock() { return m_objectMapLock; }

    GUID m_libid = GUID_NULL;
    HMODULE m_instance = nullptr;

private:
    mutable volatile LONG m_lockCount = 0;
    CRITICAL_SECTION m_objectMapLock;
};

ComModule& Module();

// Holds one module lock for a scope: a destruction runs with the module pinned.
class ModuleLockHolder {
public:
    ModuleLockHolder() { Module().Lock(); }
    ~ModuleLockHolder() { Module().Unlock(); }
    ModuleLockHolder(const ModuleLockHolder&) = delete;
    ModuleLockHolder& operator=(const ModuleLockHolder&) = delete;
};

// Initialises a critical section with a spin count of 0. A failure becomes the HRESULT of its
// last error, where a zero last error counts as success; *initialised says whether the section
// is usable (and must be deleted).
HRESULT InitializeLock(CRITICAL_SECTION* section, bool* initialised);

// The module's objects live on the process heap: their allocation is the platform's, so a
// failing allocation takes the same road as on Windows (and can be provoked in a test).
#define MSGPLUGIN_HEAP_ALLOCATED                                                              \
    static void* operator new(size_t size, const std::nothrow_t&) noexcept {                 \
        return HeapAlloc(GetProcessHeap(), 0, size);                                          \
    }                                                                                         \
    static void* operator new(size_t size) {                                                  \
        if (void* block = HeapAlloc(GetProcessHeap(), 0, size)) return block;                 \
        throw std::bad_alloc();                                                               \
    }                                                                                         \
    static void operator delete(void* block) noexcept { HeapFree(GetProcessHeap(), 0, block); } \
    static void operator delete(void* block, const std::nothrow_t&) noexcept {                \
        HeapFree(GetProcessHeap(), 0, block);                                                 \
    }

// ---- Threading models ----------------------------------------------------------------------

struct SingleThreadModel {
    static ULONG Increment(volatile LONG* count) {
        const LONG value = *count + 1;
        *count = value;
        return static_cast<ULONG>(value);
    }
    static ULONG Decrement(volatile LONG* count) {
        const LONG value = *count - 1;
        *count = value;
        return static_cast<ULONG>(value);
    }
    static constexpr bool kHasObjectLock = false;
};

struct MultiThreadModel {
    static ULONG Increment(volatile LONG* count) { return static_cast<ULONG>(InterlockedIncrement(count)); }
    static ULONG Decrement(volatile LONG* count) { return static_cast<ULONG>(InterlockedDecrement(count)); }
    static constexpr bool kHasObjectLock = true;
};

// ---- Interface tables ----------------------------------------------------------------------

// One row of a class's interface table. Either the interface lies at `offset` from the object,
// or `resolve` finds it (an aggregated inner object, for instance).
struct InterfaceEntry {
    const IID* iid;
    ptrdiff_t offset;
    HRESULT (*resolve)(void* object, REFIID riid, void** ppv);
};

// The entry for interface I of class C.
template <class C, class I>
constexpr InterfaceEntry InterfaceOf(const IID& iid) {
    // The offset of the I base within C, computed on a fake non-null address.
    return InterfaceEntry{&iid,
                          reinterpret_cast<ptrdiff_t>(static_cast<I*>(reinterpret_cast<C*>(0x1000))) - 0x1000,
                          nullptr};
}

// Walks a table ended by an entry with a null iid. The first entry is the object's identity,
// also returned for IID_IUnknown. A found interface is AddRef'd.
HRESULT QueryInterfaceTable(void* object, const InterfaceEntry* entries, REFIID riid, void** ppv);

// The sentinel deposited in a dying object's count, so a Release during destruction cannot
// destroy it a second time.
inline constexpr LONG kDestructionCount = static_cast<LONG>(0xC0000001);

// ---- Object roots --------------------------------------------------------------------------

// The base of every COM class of the module: its reference count (or, when aggregated, the
// outer object), and for the multi-threaded model an object lock.
template <class ThreadModel>
class ComObjectRoot {
public:
    ComObjectRoot() = default;
    ComObjectRoot(const ComObjectRoot&) = delete;
    ComObjectRoot& operator=(const ComObjectRoot&) = delete;
    ~ComObjectRoot() {
        if constexpr (ThreadModel::kHasObjectLock) {
            if (m_objectLockInitialised) DeleteCriticalSection(&m_objectLock);
        }
    }

    ULONG InternalAddRef() { return ThreadModel::Increment(&m_refCount); }
    ULONG InternalRelease() { return ThreadModel::Decrement(&m_refCount); }

    // First step of creation: the object lock.
    HRESULT InitialConstruct() {
        if constexpr (ThreadModel::kHasObjectLock) {
            return InitializeLock(&m_objectLock, &m_objectLockInitialised);
        } else {
            return S_OK;
        }
    }
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
    // A class whose construction hands out and drops references (the multi-threaded ones)
    // holds one across it; the single-threaded ones need none.
    void InternalFinalConstructAddRef() {}
    void InternalFinalConstructRelease() {}

    // The outer object when aggregated, set by the aggregated wrapper.
    void SetOuter(IUnknown* outer) { m_outer = outer; }
    IUnknown* Outer() const { return m_outer; }
    ULONG OuterAddRef() { return m_outer->AddRef(); }
    ULONG OuterRelease() { return m_outer->Release(); }
    HRESULT OuterQueryInterface(REFIID riid, void** ppv) { return m_outer->QueryInterface(riid, ppv); }

    LONG RefCountForTesting() const { return m_refCount; }

protected:
    volatile LONG m_refCount = 0;
    IUnknown* m_outer = nullptr;
    CRITICAL_SECTION m_objectLock{};
    bool m_objectLockInitialised = false;
};

// ---- Wrappers ------------------------------------------------------------------------------

// The plain (not aggregated) object: its own count, one module lock from construction to
// destruction.
template <class Base>
class ComObject final : public Base {
public:
    MSGPLUGIN_HEAP_ALLOCATED
    explicit ComObject(void* = nullptr) { Module().Lock(); }
    ~ComObject() override {
        this->m_refCount = kDestructionCount;
        this->FinalRelease();
        Module().Unlock();
    }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceTable(static_cast<Base*>(this), Base::Interfaces(), riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return this->InternalAddRef(); }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG remaining = this->InternalRelease();
        if (remaining == 0) {
            ModuleLockHolder pin;
            delete this;
        }
        return remaining;
    }
};

// The contained object of an aggregate: its IUnknown delegates to the outer object.
template <class Base>
class ComContainedObject final : public Base {
public:
    explicit ComContainedObject(IUnknown* outer) { this->SetOuter(outer); }
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override { return this->OuterQueryInterface(riid, ppv); }
    STDMETHODIMP_(ULONG) AddRef() override { return this->OuterAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return this->OuterRelease(); }
    HRESULT InnerQueryInterface(REFIID riid, void** ppv) {
        return QueryInterfaceTable(static_cast<Base*>(this), Base::Interfaces(), riid, ppv);
    }
};

// The aggregated object: a non-delegating IUnknown with its own count, around the contained
// object; one module lock for its life.
template <class Base>
class ComAggObject final : public IUnknown {
public:
    MSGPLUGIN_HEAP_ALLOCATED
    explicit ComAggObject(void* outer) : m_contained(static_cast<IUnknown*>(outer)) { Module().Lock(); }
    virtual ~ComAggObject() {
        m_refCount = kDestructionCount;
        m_contained.FinalRelease();
        Module().Unlock();
    }
    ComAggObject(const ComAggObject&) = delete;
    ComAggObject& operator=(const ComAggObject&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *ppv = static_cast<IUnknown*>(this);
            AddRef();
            return S_OK;
        }
        return m_contained.InnerQueryInterface(riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return MultiThreadModel::Increment(&m_refCount); }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG remaining = MultiThreadModel::Decrement(&m_refCount);
        if (remaining == 0) {
            ModuleLockHolder pin;
            delete this;
        }
        return remaining;
    }

    HRESULT InitialConstruct() { return m_contained.InitialConstruct(); }
    HRESULT FinalConstruct() { return m_contained.FinalConstruct(); }
    void InternalFinalConstructAddRef() {}
    void InternalFinalConstructRelease() {}
    ComContainedObject<Base>& Contained() { return m_contained; }

private:
    volatile LONG m_refCount = 0;
    ComContainedObject<Base> m_contained;
};

// ---- Creation ------------------------------------------------------------------------------

// Creates one W (a wrapper), runs its construction steps and asks it for riid. Anything but
// S_OK destroys the half-made object. No exception leaves.
template <class W>
HRESULT CreateWrapped(void* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    W* object = nullptr;
    try {
        object = new (std::nothrow) W(outer);
    } catch (...) {
        object = nullptr;
    }
    if (!object) return E_OUTOFMEMORY;
    // A count held across construction, so a reference taken and dropped inside it (the
    // aggregated marshaler's, say) cannot destroy the object.
    object->InternalFinalConstructAddRef();
    HRESULT hr = object->InitialConstruct();
    if (SUCCEEDED(hr)) hr = object->FinalConstruct();
    object->InternalFinalConstructRelease();
    if (hr == S_OK) hr = object->QueryInterface(riid, ppv);
    if (hr != S_OK) {
        *ppv = nullptr;
        delete object;
    }
    return hr;
}

// The class's creator: the plain wrapper, or the aggregated one when there is an outer object.
template <class Base>
HRESULT CreateObject(void* outer, REFIID riid, void** ppv) {
    if (outer) return CreateWrapped<ComAggObject<Base>>(outer, riid, ppv);
    return CreateWrapped<ComObject<Base>>(outer, riid, ppv);
}

using CreatorFunction = HRESULT (*)(void* outer, REFIID riid, void** ppv);

// ---- Class factories -----------------------------------------------------------------------

class ClassFactory : public ComObjectRoot<MultiThreadModel>, public IClassFactory {
public:
    static const InterfaceEntry* Interfaces();
    explicit ClassFactory(void* creator) : m_creator(reinterpret_cast<CreatorFunction>(creator)) {}
    virtual ~ClassFactory() = default;

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override;
    STDMETHODIMP LockServer(BOOL lock) override;

    void InternalFinalConstructAddRef() { InternalAddRef(); }
    void InternalFinalConstructRelease() { InternalRelease(); }

private:
    CreatorFunction m_creator;
};

// The cached class factory: the module keeps one reference, which does not hold the module;
// every outside reference does (a lock taken at 1 -> 2, given back at 2 -> 1).
class CachedClassFactory final : public ClassFactory {
public:
    MSGPLUGIN_HEAP_ALLOCATED
    explicit CachedClassFactory(void* creator) : ClassFactory(creator) {}
    ~CachedClassFactory() override { m_refCount = kDestructionCount; }

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        return QueryInterfaceTable(static_cast<ClassFactory*>(this), Interfaces(), riid, ppv);
    }
    STDMETHODIMP_(ULONG) AddRef() override {
        ULONG count = InternalAddRef();
        if (count == 2) Module().Lock();
        return count;
    }
    STDMETHODIMP_(ULONG) Release() override {
        ULONG count = InternalRelease();
        if (count == 0) {
            delete this;
        } else if (count == 1) {
            Module().Unlock();
        }
        return count;
    }
};

// Creates a cached class factory around `creator` and asks it for riid.
HRESULT CreateClassFactory(CreatorFunction creator, REFIID riid, void** ppv);

// ---- Object map ----------------------------------------------------------------------------

struct ObjectMapEntry {
    const CLSID* clsid;
    UINT registryResource;          // registration script resource id
    CreatorFunction createInstance;  // the class's creator
    std::atomic<IUnknown*> cachedFactory;  // created on first request, released at module stop
    void (*objectMain)(bool starting);
};

// The module's classes, in registration order; ended by an entry with a null clsid.
ObjectMapEntry* ObjectMap();

// The class factory for clsid, created once under the object map lock.
HRESULT GetClassObjectFromMap(REFCLSID clsid, REFIID riid, void** ppv);

// Module stop: releases the cached factories and runs each entry's stop hook.
void ReleaseObjectMap();

}  // namespace msgplugin
