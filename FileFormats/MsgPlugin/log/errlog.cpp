#include "errlog.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include <io.h>
#include <share.h>
#include <shlwapi.h>
#include <strsafe.h>
#include <sys/stat.h>
#include <wchar.h>

#include "log_location.h"
#include "wide_string.h"

ErrLog g_errLog;

std::atomic<bool> ErrLog::s_logFileChecked{false};

namespace {

constexpr size_t kFailureTextCapacity = 359;  // 358 characters and a terminator
constexpr const WCHAR kBackupFormat[] = OLESTR("(Backup %04d-%02d-%02d %02d.%02d)");
constexpr const WCHAR kBackupNotice[] = OLESTR("The log has been truncated! File backed up at: \n");
constexpr const WCHAR kDamagedNotice[] = OLESTR("The log has been truncated! Damaged entry was detected!");
constexpr DWORD kDamagedNoticeBytes = (sizeof kDamagedNotice / sizeof(WCHAR) - 1) * sizeof(WCHAR);
static_assert(kDamagedNoticeBytes == 110);
constexpr DWORD kDamagedEntryBytes = kLogHeaderBytes + kDamagedNoticeBytes;
static_assert(kDamagedEntryBytes == 150);

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};
using FileHolder = std::unique_ptr<FILE, FileCloser>;

bool WriteBlock(FILE* file, const void* data, size_t bytes) {
    return bytes == 0 || std::fwrite(data, 1, bytes, file) == bytes;
}

// Entries go to the operating system as they are written: nothing is left in a stream buffer
// that a later flush could write after the file was cut back.
void Unbuffer(FILE* file) { std::setvbuf(file, nullptr, _IONBF, 0); }

}  // namespace

ErrLog::ErrLog() : m_bQuiet(false), m_moduleNameBytes(0), m_bInitialised(false) {
    std::memset(m_moduleName, 0, sizeof m_moduleName);
    std::memset(m_logPath, 0, sizeof m_logPath);
}

ErrLog::~ErrLog() = default;

void ErrLog::EnsureInitialised(LPCWSTR moduleName) {
    utility::CSingleLock lock(&m_lock, true);
    if (moduleName) {
        StringCchCopyW(m_moduleName, kPathCapacity, moduleName);  // cut at 260 characters
        m_moduleNameBytes = static_cast<DWORD>(lstrlenW(m_moduleName)) * sizeof(WCHAR);
    }
    if (m_bInitialised) return;

    // A folder that cannot be used leaves the log path empty: the log is then never opened, least
    // of all in the current folder.
    const bool folderNamed = GetLogFolder(m_logPath, kPathCapacity - 1);
    // The file name is the product name and ".mlg"; a name that is not a plain file name (one
    // that would name another folder or a device, say), before or after it is cut to the room
    // the path leaves, or that the file system does not take, gives way to the default.
    size_t folderLength = static_cast<size_t>(lstrlenW(m_logPath));
    constexpr size_t kExtensionLength = 4;
    WString fileName;
    if (folderNamed && folderLength + kExtensionLength < kPathCapacity - 1) {
        const size_t room = kPathCapacity - 1 - kExtensionLength - folderLength;
        fileName = LogFileName(m_logPath, GetProductName(kDefaultProductName), room);
    }
    // No room for any name, or no usable one: refused, and the log cannot be opened.
    if (fileName.empty() || FAILED(StringCchCatW(m_logPath, kPathCapacity, fileName.c_str()))) m_logPath[0] = 0;

    if (!moduleName) {
        ProcessIdentity identity = IdentifyProcess();
        StringCchCopyW(m_moduleName, kPathCapacity, identity.moduleName.c_str());
        m_moduleNameBytes = static_cast<DWORD>(lstrlenW(m_moduleName)) * sizeof(WCHAR);
        m_bQuiet = identity.isServer;
    }
    m_bInitialised = true;
}

bool ErrLog::WriteEntry(LogEntryHeader* header, LPCWSTR functionName, LPCWSTR message, FILE* file) {
    ULONGLONG functionBytes = static_cast<ULONGLONG>(lstrlenW(functionName)) * sizeof(WCHAR);
    ULONGLONG messageBytes = static_cast<ULONGLONG>(lstrlenW(message)) * sizeof(WCHAR);
    ULONGLONG entryBytes = kLogHeaderBytes + ULONGLONG{m_moduleNameBytes} + functionBytes + messageBytes;
    // A length that needs bit 31, or an entry beyond 32 bits, cannot be stored.
    if (functionBytes > kLogLengthMask || messageBytes > kLogLengthMask || entryBytes > 0xFFFFFFFFULL) return false;

    header->moduleNameLength = m_moduleNameBytes;
    header->functionNameLength = static_cast<DWORD>(functionBytes);
    header->messageLength = static_cast<DWORD>(messageBytes);
    header->entryLength = static_cast<DWORD>(entryBytes);
    header->moduleNameLength |= kLogLengthFlag;
    header->functionNameLength |= kLogLengthFlag;
    header->messageLength |= kLogLengthFlag;

    bool whole = WriteBlock(file, header, sizeof *header) && WriteBlock(file, m_moduleName, m_moduleNameBytes) &&
                 WriteBlock(file, functionName, functionBytes) && WriteBlock(file, message, messageBytes);

    header->moduleNameLength &= kLogLengthMask;
    header->functionNameLength &= kLogLengthMask;
    header->messageLength &= kLogLengthMask;
    return whole;
}

void ErrLog::CheckLogFile() {
    if (s_logFileChecked.exchange(true)) return;

    struct _stat64 status {};
    if (_wstat64(m_logPath, &status) != 0 || static_cast<ULONGLONG>(status.st_size) < kSizeLimit) return;

    SYSTEMTIME now{};
    GetLocalTime(&now);
    WCHAR backupPath[kPathCapacity];
    WCHAR suffix[64];
    bool named = SUCCEEDED(StringCchCopyW(backupPath, kPathCapacity, m_logPath));
    if (named) {
        PathRemoveExtensionW(backupPath);
        named = SUCCEEDED(StringCchPrintfW(suffix, 64, kBackupFormat, now.wYear, now.wMonth, now.wDay, now.wHour,
                                           now.wMinute)) &&
                SUCCEEDED(StringCchCatW(backupPath, kPathCapacity, suffix)) &&
                SUCCEEDED(StringCchCatW(backupPath, kPathCapacity, OLESTR(".mlg")));
    }
    // A backup name that does not fit is not cut into another name: no backup then.
    if (named && _wrename(m_logPath, backupPath) == 0) {
        WCHAR notice[sizeof kBackupNotice / sizeof(WCHAR) + kPathCapacity];
        StringCchCopyW(notice, sizeof notice / sizeof(WCHAR), kBackupNotice);
        StringCchCatW(notice, sizeof notice / sizeof(WCHAR), backupPath);
        LogEntryHeader header{};
        GetLocalTime(&header.localTime);
        header.resultCode = 0;
        header.category = kLogCategoryNotice;
        Write(&header, OLESTR(""), notice, nullptr);
    }

    // Scan and cut through one open that denies other writers, so no entry is completed (or
    // appended) between finding the damage and cutting it away.
    FileHolder file(_wfsopen(m_logPath, OLESTR("r+b"), _SH_DENYWR));
    if (!file) return;
    Unbuffer(file.get());
    ULONGLONG soundLength = 0;
    {
        // Find the sound prefix without holding the log in memory.
        LogScanner scanner(file.get());
        if (!scanner.Start()) return;
        LogEntryHeader header{};
        ULONGLONG offset = 0;
        while (scanner.Next(header, offset)) {
        }
        if (scanner.ReadFailed() || scanner.SoundLength() == scanner.FileLength()) return;
        soundLength = scanner.SoundLength();
    }

    // Cut the log back to its sound entries and append the damaged-entry notice.
    LogEntryHeader header{};
    header.entryLength = kDamagedEntryBytes;
    GetLocalTime(&header.localTime);
    header.resultCode = E_UNEXPECTED;
    header.category = kLogCategoryOpening;
    header.moduleNameLength = kLogLengthFlag;
    header.functionNameLength = kLogLengthFlag;
    header.messageLength = kLogLengthFlag | kDamagedNoticeBytes;
    BYTE notice[kDamagedEntryBytes];
    std::memcpy(notice, &header, sizeof header);
    std::memcpy(notice + sizeof header, kDamagedNotice, kDamagedNoticeBytes);

    int descriptor = _fileno(file.get());
    if (descriptor < 0 || _chsize_s(descriptor, static_cast<__int64>(soundLength)) != 0) return;
    if (_fseeki64(file.get(), static_cast<__int64>(soundLength), SEEK_SET) != 0 ||
        !WriteBlock(file.get(), &notice, sizeof notice))
        _chsize_s(descriptor, static_cast<__int64>(soundLength));  // no partial notice either
}

void ErrLog::ShowFailure(const WCHAR* text) {
    if (m_bQuiet) return;
    WString caption = GetProductName(kDefaultProductName);
    MessageBoxW(nullptr, text, caption.c_str(), MB_ICONHAND | MB_SYSTEMMODAL);
}

bool ErrLog::Write(LogEntryHeader* header, LPCWSTR functionName, LPCWSTR message, LPCWSTR moduleName) {
    try {
        EnsureInitialised(moduleName);
        CheckLogFile();

        FileHolder file;
        // A refused log path is not tried: no wait would make it usable.
        for (DWORD attempt = 1; attempt <= kOpenAttempts && m_logPath[0] != 0; ++attempt) {
            file.reset(_wfsopen(m_logPath, OLESTR("a+b"), _SH_DENYWR));
            if (file) break;
            Sleep(kRetryMilliseconds);
        }
        WCHAR text[kFailureTextCapacity];
        if (!file) {
            StringCchCopyW(text, kFailureTextCapacity, OLESTR("Can't open log file "));
            StringCchCatW(text, kFailureTextCapacity, m_logPath);
            ShowFailure(text);
            return false;
        }
        Unbuffer(file.get());
        __int64 start = -1;
        if (_fseeki64(file.get(), 0, SEEK_END) == 0) start = _ftelli64(file.get());
        bool whole = WriteEntry(header, functionName, message, file.get());
        if (!whole && start >= 0) {
            // No partial entry is left for readers: back to the length before this one.
            int descriptor = _fileno(file.get());
            if (descriptor >= 0) _chsize_s(descriptor, start);
        }
        file.reset();
        if (whole) return true;
        StringCchCopyW(text, kFailureTextCapacity, OLESTR("Can't write to log file "));
        StringCchCatW(text, kFailureTextCapacity, m_logPath);
        ShowFailure(text);
        return false;
    } catch (...) {
        // Out of memory on the way (a product name, a caption): the entry is lost, quietly.
        return false;
    }
}
