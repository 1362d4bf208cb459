// CoInitializeEx and CoUninitialize. The layer has no apartments to set up, but keeps the
// per-thread initialisation count and concurrency model as Windows reports them.
#include "base/fault.h"
#include "com/objbase.h"

namespace {
thread_local int t_initCount = 0;
thread_local DWORD t_model = 0;
}  // namespace

WINOLEAPI CoInitializeEx(LPVOID /*pvReserved*/, DWORD dwCoInit) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("CoInitializeEx", hr)) return hr;
    DWORD model = dwCoInit & COINIT_APARTMENTTHREADED;
    if (t_initCount > 0) {
        if (model != t_model) return RPC_E_CHANGED_MODE;
        ++t_initCount;
        return S_FALSE;
    }
    t_model = model;
    t_initCount = 1;
    return S_OK;
}

WINOLEAPI CoInitialize(LPVOID pvReserved) { return CoInitializeEx(pvReserved, COINIT_APARTMENTTHREADED); }

WINOLEAPI_(void) CoUninitialize() {
    if (t_initCount > 0) --t_initCount;
}
