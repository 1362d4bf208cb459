#include <string>

#include "base/fault.h"
#include "kernel/winbase.h"
#include "registry/winreg.h"
#include "rpc/rpcproxy.h"

STDMETHODIMP CStdPSFactoryBuffer::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPSFactoryBuffer)) {
        *ppv = static_cast<IPSFactoryBuffer*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CStdPSFactoryBuffer::AddRef() { return static_cast<ULONG>(__atomic_add_fetch(&RefCount, 1, __ATOMIC_SEQ_CST)); }

STDMETHODIMP_(ULONG) CStdPSFactoryBuffer::Release() {
    return static_cast<ULONG>(__atomic_sub_fetch(&RefCount, 1, __ATOMIC_SEQ_CST));
}

STDMETHODIMP CStdPSFactoryBuffer::CreateProxy(IUnknown*, REFIID, IRpcProxyBuffer** ppProxy, void** ppv) {
    if (ppProxy) *ppProxy = nullptr;
    if (ppv) *ppv = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP CStdPSFactoryBuffer::CreateStub(REFIID, IUnknown*, IRpcStubBuffer** ppStub) {
    if (ppStub) *ppStub = nullptr;
    return E_NOTIMPL;
}

STDAPI NdrDllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv, PCProxyFileList pProxyFileList,
                            const CLSID* pclsid, CStdPSFactoryBuffer* pPSFactoryBuffer) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("NdrDllGetClassObject", ppv, E_POINTER, &hr)) return hr;
    if (!pclsid || !pPSFactoryBuffer || !IsEqualCLSID(rclsid, *pclsid)) return CLASS_E_CLASSNOTAVAILABLE;
    pPSFactoryBuffer->pProxyFileList = pProxyFileList;
    return pPSFactoryBuffer->QueryInterface(riid, ppv);
}

STDAPI NdrDllCanUnloadNow(CStdPSFactoryBuffer* pPSFactoryBuffer) {
    if (!pPSFactoryBuffer) return S_OK;
    return __atomic_load_n(&pPSFactoryBuffer->RefCount, __ATOMIC_SEQ_CST) == 0 ? S_OK : S_FALSE;
}

namespace {

std::u16string GuidText(REFGUID guid) {
    OLECHAR text[39];
    StringFromGUID2(guid, text, 39);
    return text;
}

std::u16string Widen(const char* text) {
    std::u16string wide;
    for (; text && *text; ++text) wide += static_cast<char16_t>(static_cast<unsigned char>(*text));
    return wide;
}

LONG SetDefaultValue(const std::u16string& keyPath, const std::u16string& name, const std::u16string& data) {
    HKEY key = nullptr;
    LONG status = RegCreateKeyExW(HKEY_CLASSES_ROOT, keyPath.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_WRITE, nullptr, &key, nullptr);
    if (status != ERROR_SUCCESS) return status;
    status = RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(data.c_str()),
                            static_cast<DWORD>((data.size() + 1) * sizeof(char16_t)));
    RegCloseKey(key);
    return status;
}

}  // namespace

// Writes what Windows writes for a proxy/stub: Interface\{IID} with its name, NumMethods and
// ProxyStubClsid32, and the proxy/stub class with its InprocServer32.
STDAPI NdrDllRegisterProxy(HMODULE hDll, PCProxyFileList pProxyFileList, const CLSID* pclsid) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("NdrDllRegisterProxy", hr)) return hr;
    if (!pProxyFileList || !pclsid) return E_INVALIDARG;
    // The module's path, however long: the proxy/stub does not impose the class steps' limit.
    std::u16string modulePath(MAX_PATH, u'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(hDll, modulePath.data(), static_cast<DWORD>(modulePath.size()));
        if (length == 0) return HRESULT_FROM_WIN32(GetLastError());
        if (length < modulePath.size()) {
            modulePath.resize(length);
            break;
        }
        if (modulePath.size() >= 32768) return HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE);
        modulePath.resize(modulePath.size() * 2);
    }

    const std::u16string classId = GuidText(*pclsid);
    for (PCProxyFileList file = pProxyFileList; *file; ++file) {
        for (unsigned short i = 0; i < (*file)->TableSize; ++i) {
            const std::u16string key = u"Interface\\" + GuidText(*(*file)->pIIDs[i]);
            LONG status = SetDefaultValue(key, u"", Widen((*file)->pNamesArray[i]));
            if (status == ERROR_SUCCESS) status = SetDefaultValue(key + u"\\NumMethods", u"", u"3");
            if (status == ERROR_SUCCESS) status = SetDefaultValue(key + u"\\ProxyStubClsid32", u"", classId);
            if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
        }
    }
    const std::u16string classKey = u"CLSID\\" + classId;
    LONG status = SetDefaultValue(classKey, u"", u"PSFactoryBuffer");
    if (status == ERROR_SUCCESS) status = SetDefaultValue(classKey + u"\\InprocServer32", u"", modulePath);
    if (status == ERROR_SUCCESS) status = SetDefaultValue(classKey + u"\\InprocServer32", u"ThreadingModel", u"Both");
    return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

STDAPI NdrDllUnregisterProxy(HMODULE /*hDll*/, PCProxyFileList pProxyFileList, const CLSID* pclsid) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("NdrDllUnregisterProxy", hr)) return hr;
    if (!pProxyFileList || !pclsid) return E_INVALIDARG;
    for (PCProxyFileList file = pProxyFileList; *file; ++file) {
        for (unsigned short i = 0; i < (*file)->TableSize; ++i) {
            const std::u16string key = u"Interface\\" + GuidText(*(*file)->pIIDs[i]);
            RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
        }
    }
    RegDeleteTreeW(HKEY_CLASSES_ROOT, (u"CLSID\\" + GuidText(*pclsid)).c_str());
    return S_OK;
}
