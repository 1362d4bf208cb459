// The module's diagnostics log: one object per load of the module, g_errLog, through which
// failures are appended to the per-user log file shared by every process of the host.
//
// A caller fills a LogEntryHeader with the local time, the result code and the category, and
// calls g_errLog.Write with the reporting function's name, the message and a null module
// name; the result says whether the entry was written, and callers go on either way.
#pragma once

#include <windows.h>
#include <stdio.h>

#include <atomic>
#include <cstdio>


#include "lock.h"
#include "log_format.h"

class ErrLog {
public:
    static constexpr size_t kPathCapacity = MAX_PATH + 1;  // 260 characters and a terminator
    static constexpr DWORD kOpenAttempts = 20;
    static constexpr DWORD kRetryMilliseconds = 1000;
    static constexpr ULONGLONG kSizeLimit = 0x60000000ULL;  // 1.5 GiB

    ErrLog();
    virtual ~ErrLog();
    ErrLog(const ErrLog&) = delete;
    ErrLog& operator=(const ErrLog&) = delete;

    // Appends one entry. header: in and out (the caller's local time, result and category in;
    // the plain lengths out). moduleName: null, or a name that replaces the stored one.
    bool Write(LogEntryHeader* header, LPCWSTR functionName, LPCWSTR message, LPCWSTR moduleName);

    // The once-per-object initialisation: log path, module name and quiet flag.
    void EnsureInitialised(LPCWSTR moduleName);
    // The once-per-load size check with backup, and the repair of a damaged log.
    void CheckLogFile();
    // Writes one entry at the file's position; true when every block was written whole.
    bool WriteEntry(LogEntryHeader* header, LPCWSTR functionName, LPCWSTR message, FILE* file);

    const WCHAR* LogPath() const { return m_logPath; }

private:
    friend void ErrLogTestingRestartLoad();

    void ShowFailure(const WCHAR* text);

    // Whether this load's size check has run; set once, never cleared by the module.
    static std::atomic<bool> s_logFileChecked;

    bool m_bQuiet;
    WCHAR m_moduleName[kPathCapacity];
    WCHAR m_logPath[kPathCapacity];
    utility::CCriticalSection m_lock;
    DWORD m_moduleNameBytes;
    bool m_bInitialised;
};

extern ErrLog g_errLog;
