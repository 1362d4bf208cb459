// Helpers of the log's tests: temporary folders, entry bytes built independently of the
// writer, and sparse files.
#pragma once

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <windows.h>

#include "log_reader.h"
#include "testing/processes.h"

namespace logtest {

namespace fs = std::filesystem;

inline std::u16string Wide(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

inline std::string Narrow(const std::u16string& ascii) {
    std::string out;
    for (char16_t c : ascii) out.push_back(static_cast<char>(c));
    return out;
}

inline void PutLe(std::vector<BYTE>& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<BYTE>(value >> (8 * i)));
}

inline void PutText(std::vector<BYTE>& out, const std::u16string& text) {
    for (char16_t c : text) PutLe(out, c, 2);
}

struct EntrySpec {
    SYSTEMTIME time{2026, 12, 1, 7, 6, 57, 30, 250};
    int32_t result = static_cast<int32_t>(0x80030020);
    uint32_t category = 0x2000;
    std::u16string module = u"MsgHost.exe";
    std::u16string function = u"CMsgFile::mhInitialize";
    std::u16string message = u"Failed: StgOpenStorage /x.msg";
    bool flags = true;  // bit 31 in the three length words
};

// The bytes of one entry, laid out field by field as the format describes them.
inline std::vector<BYTE> EntryBytes(const EntrySpec& spec) {
    std::vector<BYTE> out;
    uint32_t m = static_cast<uint32_t>(spec.module.size() * 2), f = static_cast<uint32_t>(spec.function.size() * 2),
             s = static_cast<uint32_t>(spec.message.size() * 2);
    uint32_t flag = spec.flags ? 0x80000000u : 0;
    PutLe(out, 40 + m + f + s, 4);
    for (WORD w : {spec.time.wYear, spec.time.wMonth, spec.time.wDayOfWeek, spec.time.wDay, spec.time.wHour,
                   spec.time.wMinute, spec.time.wSecond, spec.time.wMilliseconds})
        PutLe(out, w, 2);
    PutLe(out, static_cast<uint32_t>(spec.result), 4);
    PutLe(out, spec.category, 4);
    PutLe(out, m | flag, 4);
    PutLe(out, f | flag, 4);
    PutLe(out, s | flag, 4);
    PutText(out, spec.module);
    PutText(out, spec.function);
    PutText(out, spec.message);
    return out;
}

// A header whose message is `messageBytes` long; the message itself is left to the file's holes.
inline std::vector<BYTE> HugeEntryHeader(uint32_t messageBytes) {
    std::vector<BYTE> out;
    PutLe(out, 40ULL + messageBytes, 4);
    for (int i = 0; i < 8; ++i) PutLe(out, 1, 2);
    PutLe(out, 0, 4);
    PutLe(out, 0x2000, 4);
    PutLe(out, 0x80000000u, 4);
    PutLe(out, 0x80000000u, 4);
    PutLe(out, 0x80000000u | messageBytes, 4);
    return out;
}

inline void Append(std::vector<BYTE>& to, const std::vector<BYTE>& from) { to.insert(to.end(), from.begin(), from.end()); }

inline void WriteFile(const std::string& path, const std::vector<BYTE>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<BYTE> ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<BYTE>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes bytes at offset of a file without filling what lies before (a sparse file).
inline void WriteAt(const std::string& path, uint64_t offset, const std::vector<BYTE>& bytes) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0) std::abort();
    if (pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) != static_cast<ssize_t>(bytes.size()))
        std::abort();
    close(fd);
}

// Sets a file's length; growing leaves a hole, so nothing is written to disk.
inline void SetLength(const std::string& path, uint64_t length) {
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(length)) != 0) std::abort();
    close(fd);
}

inline uint64_t Length(const std::string& path) { return fs::file_size(path); }

// Runs `body` in a child process whose files may grow to `limit` bytes and no further (a write
// beyond fails, as on a full disk, rather than ending the process): 0 when body returned true,
// 1 when false, -1 when the child did not end normally.
inline int InChildWithFileSizeLimit(uint64_t limit, const std::function<bool()>& body) {
    const pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        rlimit sizes{};
        getrlimit(RLIMIT_FSIZE, &sizes);
        sizes.rlim_cur = limit;
        if (setrlimit(RLIMIT_FSIZE, &sizes) != 0) _exit(3);
        _exit(body() ? 0 : 1);
    }
    return platform::testing::ExitCodeOf(child);
}

}  // namespace logtest

#include <ctime>
#include <memory>

#include <gtest/gtest.h>

#include "errlog.h"
#include "errlog_testing.h"
#include "platform_testing.h"
#include "testing/test_files.h"

namespace logtest {

// A test's own temporary folder and registry for the life of this object, with the
// application-data folder (and so the log) inside the temporary folder:
// <folder>/data/ORVANE/ORVANE KESTREL/ORVANE KESTREL.mlg.
class PrivateFolders {
public:
    explicit PrivateFolders(const std::string& prefix) : folder_(prefix) {
        if (folder_.Made()) environment_.Set("XDG_DATA_HOME", (folder_.Path() / "data").string());
    }
    bool Made() const { return folder_.Made(); }
    const fs::path& Path() const { return folder_.Path(); }
    std::string LogFolder() const { return (Path() / "data/ORVANE/ORVANE KESTREL").string(); }
    std::string LogPath() const { return LogFolder() + "/ORVANE KESTREL.mlg"; }

private:
    platform::testing::TempFolder folder_;
    platform::testing::ScopedTempRegistry registry_;
    platform::testing::ScopedEnvironment environment_;
};

// Each test gets its own application-data folder and registry, a fresh load of the log, UTC as
// the local zone and silent message boxes (still counted).
class LogFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folders_.Made());
        setenv("TZ", "UTC", 1);
        tzset();
        platform::testing::SetMessageBoxesSilent(true);
        ErrLogTestingRestartLoad();
    }
    void TearDown() override { ErrLogTestingRestartLoad(); }

    std::string Folder() const { return folders_.LogFolder(); }
    std::string LogPath() const { return folders_.LogPath(); }
    LogContents ReadLog(size_t limit = kLogDefaultStringLimitBytes) const {
        return ReadLogFile(Wide(LogPath()).c_str(), 1000000, limit);
    }

    static LogEntryHeader HeaderNow(HRESULT result = E_FAIL, DWORD category = kLogCategoryOpening) {
        LogEntryHeader header{};
        GetLocalTime(&header.localTime);
        header.resultCode = result;
        header.category = category;
        return header;
    }

    PrivateFolders folders_{"log_test"};
    const std::string dir_ = folders_.Path().string();
};

// The size of log that the first write of a load moves aside, or repairs when it cannot.
constexpr uint64_t kLimit = 0x60000000;
constexpr char16_t kDamagedNotice[] = u"The log has been truncated! Damaged entry was detected!";

// The once-per-load size check, at a fixed moment, with the log's folder made.
class SizeCheck : public LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        fs::create_directories(Folder());
        // 06:57:30 on 7 December 2026, local time (the zone is UTC).
        platform::testing::SetNow(SYSTEMTIME{2026, 12, 1, 7, 6, 57, 30, 0});
    }
    std::string BackupPath() const { return Folder() + "/ORVANE KESTREL(Backup 2026-12-07 06.57).mlg"; }

    bool WriteCallerEntry() {
        LogEntryHeader header = HeaderNow();
        return g_errLog.Write(&header, u"CMsgFile::mhInitialize", u"the caller's entry", nullptr);
    }
    static void ExpectCallerEntry(const LogEntry& entry) {
        EXPECT_EQ(entry.functionName, u"CMsgFile::mhInitialize");
        EXPECT_EQ(entry.message, u"the caller's entry");
    }
    // Writes the caller's entry: the log then reads sound (in windows of `window` bytes), its
    // `count` entries ending in the caller's, at `offset`.
    void WriteCallerEntryAndExpectItLast(size_t window, size_t count, uint64_t offset) {
        ASSERT_TRUE(WriteCallerEntry());
        LogContents log = ReadLog(window);
        EXPECT_FALSE(log.summary.DamagedTail());
        ASSERT_EQ(log.entries.size(), count);
        EXPECT_EQ(log.entries.back().offset, offset);
        ExpectCallerEntry(log.entries.back());
    }
    static void ExpectDamagedNotice(const LogEntry& entry) {
        EXPECT_EQ(entry.stored.entryLength, 150u);
        EXPECT_EQ(static_cast<uint32_t>(entry.resultCode), 0x8000FFFFu);
        EXPECT_EQ(entry.category, 0x2000u);
        EXPECT_EQ(entry.stored.moduleNameLength, 0x80000000u);
        EXPECT_EQ(entry.stored.functionNameLength, 0x80000000u);
        EXPECT_EQ(entry.stored.messageLength, 0x8000006Eu);
        EXPECT_EQ(entry.message, kDamagedNotice);
        EXPECT_EQ(entry.localTime.wYear, 2026);
        EXPECT_EQ(entry.localTime.wMinute, 57);
    }
    // A small sound entry, then a sound entry that brings the log to `total` bytes (its
    // message a hole).
    std::vector<BYTE> WriteSoundLog(uint64_t total) {
        std::vector<BYTE> small = EntryBytes(EntrySpec{});
        WriteAt(LogPath(), 0, small);
        uint64_t messageBytes = total - small.size() - 40;
        WriteAt(LogPath(), small.size(), HugeEntryHeader(static_cast<uint32_t>(messageBytes)));
        SetLength(LogPath(), total);
        return small;
    }
};

}  // namespace logtest
