// The module's one application object: started when the library is loaded, stopped when it is
// unloaded; it keeps the once-per-load answer whether a 64-bit mail client is installed.
#pragma once

#include <atomic>

#include <windows.h>
#include <msi.h>

#include "log/lock.h"

namespace msgplugin {

class CMsgPluginApp {
public:
    CMsgPluginApp() = default;
    CMsgPluginApp(const CMsgPluginApp&) = delete;
    CMsgPluginApp& operator=(const CMsgPluginApp&) = delete;
    ~CMsgPluginApp();

    // Library start and stop.
    BOOL InitInstance();
    int ExitInstance();

    // 1 when a 64-bit mail client is installed, else 0; probed on the first call of a load.
    int mbHasOutlook64();
    // Runs the probe: S_OK when either client was found, E_FAIL when none; *answer is 1 only
    // for the 64-bit client.
    HRESULT mhDetectOutlook64(int* answer);

private:
    void FreeProbeAnswer();

    // Null until the first probe of this load; then the answer. Published once, under
    // m_probeLock, so concurrent first calls store one answer. (Windows' own lock: nothing of a
    // C++ threads runtime is linked into the host's process.)
    std::atomic<int*> m_pHasOutlook64{nullptr};
    utility::CCriticalSection m_probeLock;
};

CMsgPluginApp& TheApp();

// The qualified-component categories of the mail client, tried in this order.
extern const LPCWSTR OutlookCategories[5];

}  // namespace msgplugin
