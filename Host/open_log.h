// The plug-in's log entry of one open: where the log stood before the open, and the entry the
// plug-in then wrote for the file. The host tells a newer entry of a file from an older one by
// where the log stood, so a failure that a file met yesterday is never taken for today's.
#pragma once

#include <optional>
#include <string>

#include <windows.h>

#include "wide_string.h"

namespace cardhost {

// The log the plug-in writes, named as the plug-in names it; empty when it has no folder.
WString LogPath();

// What the plug-in logged for a failed open: the call that failed and its result.
struct LoggedFailure {
    std::string call;  // "StgOpenStorage", "OpenIMsgOnIStg", ...
    HRESULT code = S_OK;
};

// Where the log stood before an open.
struct LogMark {
    ULONGLONG length = 0;  // 0 when there was no log yet
    FILETIME time{};       // the local time then, as entries carry it
};

LogMark MarkLog(const WString& logPath);

// The failure the plug-in logged for the open of `file` (the path as it was handed to the
// plug-in) that followed `mark`: the first opening entry after the mark that names the file.
// When the log was begun afresh (its backup) or cut back (the repair of a damaged end) since
// the mark, the whole log is read, and only entries written since the mark's time count.
std::optional<LoggedFailure> FindLoggedFailure(const WString& logPath, const LogMark& mark, const WString& file);

}  // namespace cardhost
