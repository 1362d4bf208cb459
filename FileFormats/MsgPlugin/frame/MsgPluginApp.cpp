#include "frame/MsgPluginApp.h"

#include <new>

#include "frame/ComObjects.h"
#include "frame/MsgPluginInterfaces.h"

namespace msgplugin {

const LPCWSTR OutlookCategories[5] = {
    OLESTR("{5812C571-53F0-4467-BEFA-0A4F47A9437C}"), OLESTR("{E83B4360-C208-4325-9504-0D23003A74A5}"),
    OLESTR("{1E77DE88-BCAB-4C37-B9E5-073AF52DFD7A}"), OLESTR("{24AAE126-0911-478F-A019-07B875EB9996}"),
    OLESTR("{BC174BAD-2F53-4855-A1D5-0D575C19B1EA}"),
};

CMsgPluginApp& TheApp() {
    static CMsgPluginApp app;
    return app;
}

CMsgPluginApp::~CMsgPluginApp() { FreeProbeAnswer(); }

void CMsgPluginApp::FreeProbeAnswer() { delete m_pHasOutlook64.exchange(nullptr); }

BOOL CMsgPluginApp::InitInstance() {
    FreeProbeAnswer();
    ComModule& module = Module();
    module.m_libid = LIBID_MSGPLUGINLib;
    for (ObjectMapEntry* entry = ObjectMap(); entry->clsid; ++entry)
        if (entry->objectMain) entry->objectMain(true);
    return TRUE;
}

int CMsgPluginApp::ExitInstance() {
    FreeProbeAnswer();
    ReleaseObjectMap();
    return 0;
}

int CMsgPluginApp::mbHasOutlook64() {
    if (int* answer = m_pHasOutlook64.load(std::memory_order_acquire)) return *answer;
    utility::CSingleLock lock(&m_probeLock, true);
    if (int* answer = m_pHasOutlook64.load(std::memory_order_acquire)) return *answer;
    auto* answer = new (std::nothrow) int(0);
    if (!answer) return 0;  // no memory: no usable client, and the probe runs again next time
    mhDetectOutlook64(answer);
    m_pHasOutlook64.store(answer, std::memory_order_release);
    return *answer;
}

HRESULT CMsgPluginApp::mhDetectOutlook64(int* answer) {
    DWORD length = 0;
    *answer = 0;
    for (LPCWSTR category : OutlookCategories) {
        if (MsiProvideQualifiedComponentW(category, OLESTR("outlook.x64.exe"), INSTALLMODE_DEFAULT, nullptr, &length) ==
            ERROR_SUCCESS) {
            *answer = 1;
            return S_OK;
        }
    }
    for (LPCWSTR category : OutlookCategories) {
        if (MsiProvideQualifiedComponentW(category, OLESTR("outlook.exe"), INSTALLMODE_DEFAULT, nullptr, &length) ==
            ERROR_SUCCESS)
            return S_OK;
    }
    return E_FAIL;
}

}  // namespace msgplugin
