// log: the plug-in's diagnostics log, decoded, and followed as it grows.
#include <chrono>
#include <filesystem>
#include <iostream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include <windows.h>

#include "commands.h"
#include "errlog.h"
#include "log_location.h"
#include "log_reader.h"
#include "open_log.h"
#include "results.h"
#include "system.h"
#include "text.h"

namespace fs = std::filesystem;
// Keys keep the order they are written in.
using json = nlohmann::ordered_json;

namespace cardhost {

namespace {

std::string CategoryName(DWORD category) {
    switch (category) {
    case kLogCategoryNotice: return "notice";
    case kLogCategoryBody: return "body";
    case kLogCategoryOpening: return "opening";
    default: return HexCode(static_cast<HRESULT>(category));
    }
}

void PrintLogEntry(const LogEntry& entry, bool asJson) {
    const std::string time = FormatSystemTime(entry.localTime);
    if (asJson) {
        json line = {{"offset", entry.offset},
                     {"time", time},
                     {"result", HexCode(entry.resultCode)},
                     {"name", ResultName(entry.resultCode)},
                     {"category", CategoryName(entry.category)},
                     {"module", ToUtf8(entry.moduleName)},
                     {"function", ToUtf8(entry.functionName)},
                     {"message", ToUtf8(entry.message)}};
        if (entry.stringsCut) line["cut"] = true;
        std::cout << line.dump() << "\n";
        return;
    }
    std::string name = ResultName(entry.resultCode);
    std::cout << time << "  " << HexCode(entry.resultCode) << (name.empty() ? "" : " " + name) << "  ["
              << CategoryName(entry.category) << "]  " << ToUtf8(entry.moduleName) << "  "
              << ToUtf8(entry.functionName) << "\n";
    std::string message = ToUtf8(entry.message);
    size_t start = 0;
    while (start <= message.size()) {
        size_t end = message.find('\n', start);
        if (end == std::string::npos) end = message.size();
        std::cout << "    " << message.substr(start, end - start) << "\n";
        start = end + 1;
    }
    if (entry.stringsCut) std::cout << "    (strings cut)\n";
}

}  // namespace

int RunLog(size_t tail, bool follow, bool asJson) {
    const WString path = LogPath();
    if (path.empty()) {
        std::cerr << "cardhost: no folder for the log (set HOME or XDG_DATA_HOME)\n";
        return kExitOpenFailed;
    }
    const std::string shownPath = ToUtf8(path);
    const fs::path filePath = FileSystemPath(FileNameFromWide(path));
    if (!asJson) std::cerr << "log: " << shownPath << "\n";
    std::vector<LogEntry> entries;
    LogSummary summary;
    DecodeLogFile(path.c_str(), [&](const LogEntry& entry) {
        entries.push_back(entry);
        if (tail && entries.size() > 4 * tail + 64) entries.erase(entries.begin(), entries.end() - tail);
        return true;
    }, summary);
    if (!summary.opened && !follow) {
        std::cerr << "cardhost: there is no log at " << shownPath << " (nothing was logged yet)\n";
        return kExitSuccess;
    }
    size_t first = tail && entries.size() > tail ? entries.size() - tail : 0;
    for (size_t i = first; i < entries.size(); ++i) PrintLogEntry(entries[i], asJson);
    std::cout.flush();
    auto reportDamage = [&](const LogSummary& s) {
        if (s.readError) std::cerr << "cardhost: reading the log stopped on a read error\n";
        if (s.DamagedTail())
            std::cerr << "cardhost: the last " << s.DamagedBytes() << " bytes of the log are damaged (from offset "
                      << s.soundLength << ")\n";
    };
    reportDamage(summary);
    if (!follow) return kExitSuccess;

    ULONGLONG seen = entries.empty() ? 0 : entries.back().offset + 1;
    ULONGLONG lastLength = summary.fileLength;
    for (;;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::error_code error;
        const auto length = fs::file_size(filePath, error);
        if (error || length == lastLength) continue;
        if (length < lastLength) seen = 0;  // replaced by a new log
        lastLength = length;
        LogSummary now;
        DecodeLogFile(path.c_str(), [&](const LogEntry& entry) {
            if (entry.offset >= seen) {
                PrintLogEntry(entry, asJson);
                seen = entry.offset + 1;
            }
            return true;
        }, now);
        std::cout.flush();
    }
}

}  // namespace cardhost
