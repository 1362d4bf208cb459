// In-process servers found through the registry (HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32)
// and program ids (HKEY_CLASSES_ROOT\{progid}\CLSID). Until the registry service is wired in,
// nothing is registered there, so every lookup answers as Windows does for an unknown class.
#include "com/objbase.h"

HRESULT GetInprocClassObjectFromRegistry(REFCLSID /*rclsid*/, REFIID /*riid*/, LPVOID* ppv) {
    *ppv = nullptr;
    return REGDB_E_CLASSNOTREG;
}

WINOLEAPI CLSIDFromProgID(LPCOLESTR lpszProgID, LPCLSID lpclsid) {
    if (!lpszProgID || !lpclsid) return E_INVALIDARG;
    *lpclsid = GUID_NULL;
    return CO_E_CLASSSTRING;
}

WINOLEAPI_(void) CoFreeUnusedLibraries() {}
