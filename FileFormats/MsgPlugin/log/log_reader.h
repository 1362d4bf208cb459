// Reading a diagnostics log back: every sound entry in order, and how much of the file's end is
// damaged (a partly written or corrupted entry and everything after it), without failing on it.
#pragma once

#include <windows.h>

#include <functional>
#include <vector>

#include "log_format.h"
#include "wide_string.h"

struct LogEntry {
    ULONGLONG offset = 0;       // where the entry starts in the file
    LogEntryHeader stored{};    // the header as stored, length flags included
    SYSTEMTIME localTime{};
    HRESULT resultCode = 0;
    DWORD category = 0;
    WString moduleName;
    WString functionName;
    WString message;
    bool stringsCut = false;    // a string was longer than the reader's limit and was cut
};

struct LogSummary {
    bool opened = false;        // the file could be opened and measured
    bool readError = false;     // reading stopped on an I/O error, not on damage
    ULONGLONG fileLength = 0;
    ULONGLONG soundLength = 0;  // where the sound entries end, read from the start (or from `from`)
    ULONGLONG entryCount = 0;

    bool DamagedTail() const { return opened && !readError && soundLength < fileLength; }
    ULONGLONG DamagedBytes() const { return fileLength - soundLength; }
};

// Strings longer than this are cut (and the entry marked) so that a reader's memory stays
// bounded whatever an entry claims.
constexpr size_t kLogDefaultStringLimitBytes = 1024 * 1024;

// Calls onEntry for each sound entry, in file order, until it returns false (the summary then
// counts the entries seen). The file is opened for reading and shared with writers. The result
// is summary.opened. Reading starts at offset `from`, which should be where an entry starts
// (the log's length at an earlier time, say); summary.soundLength then ends the sound entries
// from there. A `from` past the file's end reads nothing.
bool DecodeLogFile(LPCWSTR path, const std::function<bool(const LogEntry&)>& onEntry, LogSummary& summary,
                   size_t stringLimitBytes = kLogDefaultStringLimitBytes, ULONGLONG from = 0);

// The log's length now; false when it cannot be opened and measured (there is no log yet, say).
bool LogFileLength(LPCWSTR path, ULONGLONG& length);

// One entry as one line of text: local time, result code, category, module, function and
// message, separated by tabs; line breaks and tabs inside the strings are shown as \n, \r, \t.
WString FormatLogEntry(const LogEntry& entry);

struct LogContents {
    LogSummary summary;
    std::vector<LogEntry> entries;
};

// The whole log in memory, at most maxEntries entries (for small logs, tests and tools).
LogContents ReadLogFile(LPCWSTR path, size_t maxEntries = 1000000,
                        size_t stringLimitBytes = kLogDefaultStringLimitBytes);
