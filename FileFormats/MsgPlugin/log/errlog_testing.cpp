// Test-only: built into the tests' own library, never into the module.
#include "errlog_testing.h"

#include <cstring>

#include "errlog.h"

void ErrLogTestingRestartLoad() {
    utility::CSingleLock lock(&g_errLog.m_lock, true);
    ErrLog::s_logFileChecked.store(false);
    g_errLog.m_bInitialised = false;
    g_errLog.m_bQuiet = false;
    g_errLog.m_moduleNameBytes = 0;
    std::memset(g_errLog.m_moduleName, 0, sizeof g_errLog.m_moduleName);
    std::memset(g_errLog.m_logPath, 0, sizeof g_errLog.m_logPath);
}
