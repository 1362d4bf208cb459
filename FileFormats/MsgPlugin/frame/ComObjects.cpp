#include "frame/ComObjects.h"

namespace msgplugin {

ComModule::ComModule() { InitializeCriticalSection(&m_objectMapLock); }

ComModule::~ComModule() { DeleteCriticalSection(&m_objectMapLock); }

ComModule& Module() {
    static ComModule module;
    return module;
}

HRESULT InitializeLock(CRITICAL_SECTION* section, bool* initialised) {
    *initialised = false;
    if (InitializeCriticalSectionAndSpinCount(section, 0)) {
        *initialised = true;
        return S_OK;
    }
    DWORD error = GetLastError();
    return error == 0 ? S_OK : HRESULT_FROM_WIN32(error);
}

HRESULT QueryInterfaceTable(void* object, const InterfaceEntry* entries, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    const bool wantsIdentity = IsEqualIID(riid, IID_IUnknown);
    for (const InterfaceEntry* entry = entries; entry->iid; ++entry) {
        if (!(wantsIdentity && entry == entries) && !IsEqualIID(*entry->iid, riid)) continue;
        if (entry->resolve) return entry->resolve(object, riid, ppv);
        auto* found = reinterpret_cast<IUnknown*>(static_cast<char*>(object) + entry->offset);
        found->AddRef();
        *ppv = found;
        return S_OK;
    }
    return E_NOINTERFACE;
}

const InterfaceEntry* ClassFactory::Interfaces() {
    static const InterfaceEntry entries[] = {
        InterfaceOf<ClassFactory, IClassFactory>(IID_IClassFactory),
        {nullptr, 0, nullptr},
    };
    return entries;
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return m_creator(outer, riid, ppv);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        Module().Lock();
    else
        Module().Unlock();
    return S_OK;
}

HRESULT CreateClassFactory(CreatorFunction creator, REFIID riid, void** ppv) {
    return CreateWrapped<CachedClassFactory>(reinterpret_cast<void*>(creator), riid, ppv);
}

HRESULT GetClassObjectFromMap(REFCLSID clsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (ObjectMapEntry* entry = ObjectMap(); entry->clsid; ++entry) {
        if (!IsEqualCLSID(*entry->clsid, clsid)) continue;
        HRESULT hr = S_OK;
        IUnknown* factory = entry->cachedFactory.load(std::memory_order_acquire);
        if (!factory) {
            // Tested again under the lock, so concurrent first requests create one factory.
            EnterCriticalSection(&Module().ObjectMapLock());
            factory = entry->cachedFactory.load(std::memory_order_acquire);
            if (!factory) {
                void* created = nullptr;
                hr = CreateClassFactory(entry->createInstance, IID_IUnknown, &created);
                if (SUCCEEDED(hr)) {
                    factory = static_cast<IUnknown*>(created);
                    entry->cachedFactory.store(factory, std::memory_order_release);
                }
            }
            LeaveCriticalSection(&Module().ObjectMapLock());
        }
        if (factory) hr = factory->QueryInterface(riid, ppv);
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

void ReleaseObjectMap() {
    for (ObjectMapEntry* entry = ObjectMap(); entry->clsid; ++entry) {
        if (IUnknown* factory = entry->cachedFactory.exchange(nullptr)) factory->Release();
        if (entry->objectMain) entry->objectMain(false);
    }
}

}  // namespace msgplugin
