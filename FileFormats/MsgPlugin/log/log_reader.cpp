#include "log_reader.h"

#include <memory>

#include <share.h>
#include <strsafe.h>

namespace {

struct FileCloser {
    void operator()(FILE* file) const { std::fclose(file); }
};

// Reads one string of the entry; an odd trailing byte (which this module never writes) is
// ignored.
bool ReadString(LogScanner& scanner, ULONGLONG offset, DWORD bytes, size_t limit, WString& out, bool& cut) {
    size_t wanted = bytes;
    if (wanted > limit) {
        wanted = limit;
        cut = true;
    }
    out.assign(wanted / sizeof(WCHAR), WCHAR('\0'));
    return scanner.ReadAt(offset, out.data(), out.size() * sizeof(WCHAR));
}

}  // namespace

bool DecodeLogFile(LPCWSTR path, const std::function<bool(const LogEntry&)>& onEntry, LogSummary& summary,
                   size_t stringLimitBytes, ULONGLONG from) {
    summary = LogSummary{};
    std::unique_ptr<FILE, FileCloser> file(_wfsopen(path, OLESTR("rb"), _SH_DENYNO));
    if (!file) return false;
    LogScanner scanner(file.get());
    if (!scanner.Start(from)) return false;
    summary.opened = true;
    summary.fileLength = scanner.FileLength();
    summary.soundLength = scanner.SoundLength();
    LogEntryHeader header{};
    ULONGLONG offset = 0;
    while (scanner.Next(header, offset)) {
        LogEntry entry;
        entry.offset = offset;
        entry.stored = header;
        entry.localTime = header.localTime;
        entry.resultCode = header.resultCode;
        entry.category = header.category;
        DWORD moduleBytes = header.moduleNameLength & kLogLengthMask;
        DWORD functionBytes = header.functionNameLength & kLogLengthMask;
        DWORD messageBytes = header.messageLength & kLogLengthMask;
        ULONGLONG at = offset + kLogHeaderBytes;
        bool read = ReadString(scanner, at, moduleBytes, stringLimitBytes, entry.moduleName, entry.stringsCut) &&
                    ReadString(scanner, at + moduleBytes, functionBytes, stringLimitBytes, entry.functionName,
                               entry.stringsCut) &&
                    ReadString(scanner, at + moduleBytes + functionBytes, messageBytes, stringLimitBytes,
                               entry.message, entry.stringsCut);
        if (!read) {
            summary.soundLength = offset;  // its strings could not be read: not counted
            summary.readError = true;
            return true;
        }
        ++summary.entryCount;
        if (!onEntry(entry)) break;
    }
    summary.soundLength = scanner.SoundLength();
    summary.readError = scanner.ReadFailed();
    return true;
}

bool LogFileLength(LPCWSTR path, ULONGLONG& length) {
    std::unique_ptr<FILE, FileCloser> file(_wfsopen(path, OLESTR("rb"), _SH_DENYNO));
    if (!file) return false;
    LogScanner scanner(file.get());
    if (!scanner.Start()) return false;
    length = scanner.FileLength();
    return true;
}

WString FormatLogEntry(const LogEntry& entry) {
    WCHAR prefix[96];
    const SYSTEMTIME& t = entry.localTime;
    StringCchPrintfW(prefix, 96, OLESTR("%04u-%02u-%02u %02u:%02u:%02u.%03u\t0x%08X\t0x%04X\t"), t.wYear, t.wMonth, t.wDay,
                     t.wHour, t.wMinute, t.wSecond, t.wMilliseconds, static_cast<unsigned>(entry.resultCode),
                     static_cast<unsigned>(entry.category));
    WString line = prefix;
    auto appendEscaped = [&line](const WString& text) {
        for (WCHAR c : text) {
            switch (c) {
            case WCHAR('\n'): line += OLESTR("\\n"); break;
            case WCHAR('\r'): line += OLESTR("\\r"); break;
            case WCHAR('\t'): line += OLESTR("\\t"); break;
            default: line.push_back(c);
            }
        }
    };
    appendEscaped(entry.moduleName);
    line.push_back(WCHAR('\t'));
    appendEscaped(entry.functionName);
    line.push_back(WCHAR('\t'));
    appendEscaped(entry.message);
    return line;
}

LogContents ReadLogFile(LPCWSTR path, size_t maxEntries, size_t stringLimitBytes) {
    LogContents contents;
    DecodeLogFile(
        path,
        [&](const LogEntry& entry) {
            contents.entries.push_back(entry);
            return contents.entries.size() < maxEntries;
        },
        contents.summary, stringLimitBytes);
    return contents;
}
