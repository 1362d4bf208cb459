#include "open_log.h"

#include <memory>

#include <shlwapi.h>

#include "errlog.h"
#include "log_reader.h"
#include "text.h"

namespace cardhost {

namespace {

// Messages are a path and a few words; a bound keeps a damaged log from costing memory.
constexpr size_t kStringLimitBytes = 256 * 1024;

ULONGLONG Ticks(const FILETIME& time) {
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The call named by an opening entry of the file ("Failed: <call> <path>").
bool EntryOfFile(const LogEntry& entry, const WString& file, LoggedFailure* failure) {
    static const WString prefix = OLESTR("Failed: ");
    if (entry.category != kLogCategoryOpening || SUCCEEDED(entry.resultCode)) return false;
    const WString& message = entry.message;
    const WString suffix = OLESTR(" ") + file;
    if (entry.stringsCut || message.size() < prefix.size() + suffix.size() + 1 ||
        message.compare(0, prefix.size(), prefix) != 0 ||
        message.compare(message.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const WString call = message.substr(prefix.size(), message.size() - prefix.size() - suffix.size());
    if (call.find(WCHAR(' ')) != WString::npos) return false;  // another file, whose name ends in this one
    failure->call = ToUtf8(call);
    failure->code = entry.resultCode;
    return true;
}

}  // namespace

WString LogPath() {
    auto log = std::make_unique<ErrLog>();
    log->EnsureInitialised(nullptr);
    const WString path = log->LogPath();
    return PathFindFileNameW(path.c_str()) == path.c_str() ? WString() : path;
}

LogMark MarkLog(const WString& logPath) {
    LogMark mark;
    SYSTEMTIME now{};
    GetLocalTime(&now);
    SystemTimeToFileTime(&now, &mark.time);
    if (!logPath.empty() && !LogFileLength(logPath.c_str(), mark.length)) mark.length = 0;
    return mark;
}

std::optional<LoggedFailure> FindLoggedFailure(const WString& logPath, const LogMark& mark, const WString& file) {
    if (logPath.empty()) return std::nullopt;
    std::optional<LoggedFailure> found;
    LogSummary summary;
    DecodeLogFile(logPath.c_str(), [&](const LogEntry& entry) {
        LoggedFailure failure;
        if (!EntryOfFile(entry, file, &failure)) return true;
        found = failure;
        return false;
    }, summary, kStringLimitBytes, mark.length);
    if (found || !summary.opened) return found;
    const bool begunAfresh = summary.fileLength < mark.length;
    const bool cutBack = summary.entryCount == 0 && summary.DamagedTail();  // nothing sound where the mark is
    if (!begunAfresh && !cutBack) return std::nullopt;
    DecodeLogFile(logPath.c_str(), [&](const LogEntry& entry) {
        FILETIME written{};
        LoggedFailure failure;
        if (!SystemTimeToFileTime(&entry.localTime, &written) || Ticks(written) < Ticks(mark.time) ||
            !EntryOfFile(entry, file, &failure))
            return true;
        found = failure;
        return false;
    }, summary, kStringLimitBytes);
    return found;
}

}  // namespace cardhost
