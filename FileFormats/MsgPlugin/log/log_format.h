// The diagnostics log's file format: a plain concatenation of entries, each a 40-byte header
// followed by the module name, the function name and the message in UTF-16LE without
// terminators. Integers are little-endian; each length word carries bit 31 when this module
// wrote it, and readers take only the low 31 bits.
#pragma once

#include <windows.h>
#include <stdio.h>

#include <bit>
#include <cstddef>
#include <cstdio>
#include <vector>

struct LogEntryHeader {
    DWORD entryLength;         // 40 + the three string lengths
    SYSTEMTIME localTime;      // the event's local time
    HRESULT resultCode;        // the failing call's result, or 0
    DWORD category;            // kLogCategory...
    DWORD moduleNameLength;    // bytes, bit 31 set in the file
    DWORD functionNameLength;  // bytes, bit 31 set in the file
    DWORD messageLength;       // bytes, bit 31 set in the file
};
static_assert(sizeof(LogEntryHeader) == 40);
static_assert(offsetof(LogEntryHeader, entryLength) == 0);
static_assert(offsetof(LogEntryHeader, localTime) == 4);
static_assert(offsetof(LogEntryHeader, resultCode) == 20);
static_assert(offsetof(LogEntryHeader, category) == 24);
static_assert(offsetof(LogEntryHeader, moduleNameLength) == 28);
static_assert(offsetof(LogEntryHeader, functionNameLength) == 32);
static_assert(offsetof(LogEntryHeader, messageLength) == 36);
// The header goes to the file as it lies in memory.
static_assert(std::endian::native == std::endian::little);

constexpr DWORD kLogHeaderBytes = 40;
constexpr DWORD kLogLengthFlag = 0x80000000u;
constexpr DWORD kLogLengthMask = 0x7FFFFFFFu;

// Categories.
constexpr DWORD kLogCategoryNotice = 0;
constexpr DWORD kLogCategoryBody = 0x1000;     // failures while extracting a message body
constexpr DWORD kLogCategoryOpening = 0x2000;  // failures while opening a message

// Walks the entries of an open log from its start through a bounded window, so a log of any
// size is examined in fixed memory and nothing is read beyond its end.
class LogScanner {
public:
    explicit LogScanner(FILE* file);

    // Finds the file's length; false when it cannot be found. Entries are then walked from
    // offset `from` (the end when it lies past it).
    bool Start(ULONGLONG from = 0);

    // The next sound entry: its header as stored and its offset. False at the end of the file
    // or at the first entry that is not sound (too short for a header, lengths that do not add
    // up, or running past the end), and when reading fails.
    bool Next(LogEntryHeader& header, ULONGLONG& offset);

    // Reads bytes at offset of the file (through the window when they fit in it).
    bool ReadAt(ULONGLONG offset, void* out, size_t bytes);

    ULONGLONG FileLength() const { return fileLength_; }
    // Where the sound entries read so far end (from the file's start, or from where the walk
    // started).
    ULONGLONG SoundLength() const { return soundLength_; }
    bool ReadFailed() const { return readFailed_; }

    // True when the header's lengths add up (the low 31 bits of each string length).
    static bool LengthsAddUp(const LogEntryHeader& header);

private:
    static constexpr size_t kWindowBytes = 64 * 1024;

    FILE* file_;
    std::vector<BYTE> window_;
    ULONGLONG windowStart_ = 0;
    size_t windowLength_ = 0;
    ULONGLONG fileLength_ = 0;
    ULONGLONG soundLength_ = 0;
    bool readFailed_ = false;
};
