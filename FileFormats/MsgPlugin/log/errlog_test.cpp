// The log writer: entry bytes, retries, failures shown or kept quiet, the once-per-load size
// check with backup and the repair of damaged logs (on sparse files), and entries that cannot
// be written whole.
#include "errlog.h"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "log_location.h"
#include "log_test_support.h"

namespace {

using namespace logtest;

constexpr char16_t kBackupNotice[] = u"The log has been truncated! File backed up at: \n";

class ErrLogTest : public LogFixture {
protected:
    // Runs one test of this program in a copy of it named `name`, so that the process's
    // executable has that name; true when that run passed.
    bool RunInCopyNamed(const std::string& name, const std::string& test) {
        std::string copy = dir_ + "/" + name;
        fs::copy_file("/proc/self/exe", copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms::owner_all);
        std::string filter = "--gtest_filter=" + test;
        pid_t child = fork();
        if (child < 0) return false;
        if (child == 0) {
            execl(copy.c_str(), copy.c_str(), filter.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        int status = 0;
        if (waitpid(child, &status, 0) != child) return false;
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }

    // A folder stands where the log file should be: the write gives up after twenty opens, a
    // second apart.
    void WriteToAnUnopenableLog() {
        fs::create_directories(LogPath());
        platform::testing::SetSleepImmediate(true);
        platform::testing::CountCalls("_wfsopen");
        LogEntryHeader header = HeaderNow();
        EXPECT_FALSE(g_errLog.Write(&header, u"CMsgFile::mhInitialize", u"lost", nullptr));
        EXPECT_EQ(platform::testing::CallCount("_wfsopen"), 20u);
        EXPECT_EQ(platform::testing::SleptMilliseconds(), 20u * 1000u);
    }
};

TEST_F(ErrLogTest, EntryBytesAreExactlyTheFormat) {
    const std::u16string function = u"CMsgFile::mhInitialize";       // m = 22
    const std::u16string message = u"Failed: StgOpenStorage /a.msg";  // n = 29
    LogEntryHeader header = HeaderNow(static_cast<HRESULT>(0x80030020));
    const SYSTEMTIME when = header.localTime;
    // An executable name of 11 characters.
    ASSERT_TRUE(g_errLog.Write(&header, function.c_str(), message.c_str(), u"MsgHost.exe"));

    EntrySpec spec;
    spec.time = when;
    spec.result = static_cast<int32_t>(0x80030020);
    spec.category = 0x2000;
    spec.module = u"MsgHost.exe";
    spec.function = function;
    spec.message = message;
    std::vector<BYTE> expected = EntryBytes(spec);
    ASSERT_EQ(expected.size(), 40u + 22 + 2 * 22 + 2 * 29);
    EXPECT_EQ(ReadFile(LogPath()), expected);
    // Length words in the file: 0x80000016, 0x80000000 | 2m, 0x80000000 | 2n.
    std::vector<BYTE> bytes = ReadFile(LogPath());
    auto word = [&](size_t at) { return uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 | uint32_t(bytes[at + 2]) << 16 | uint32_t(bytes[at + 3]) << 24; };
    EXPECT_EQ(word(28), 0x80000016u);
    EXPECT_EQ(word(32), 0x80000000u | 44);
    EXPECT_EQ(word(36), 0x80000000u | 58);
    // The caller's header: plain lengths and the entry's length.
    EXPECT_EQ(header.moduleNameLength, 22u);
    EXPECT_EQ(header.functionNameLength, 44u);
    EXPECT_EQ(header.messageLength, 58u);
    EXPECT_EQ(header.entryLength, 40u + 22 + 44 + 58);
    EXPECT_EQ(platform::testing::MessageBoxCount(), 0u);
}

// The same entry from the process itself, whose executable is named with 11 characters.
TEST_F(ErrLogTest, EntryBytesInAProcessWithAnElevenCharacterName) {
    if (IdentifyProcess().moduleName != u"MsgHost.exe") {
        EXPECT_TRUE(RunInCopyNamed("MsgHost.exe", "ErrLogTest.EntryBytesInAProcessWithAnElevenCharacterName"));
        return;
    }
    const std::u16string function = u"CMsgFile::mbGetBodyProperty";  // m = 27
    const std::u16string message = u"body";                          // n = 4
    LogEntryHeader header = HeaderNow(0, kLogCategoryBody);
    ASSERT_TRUE(g_errLog.Write(&header, function.c_str(), message.c_str(), nullptr));
    EntrySpec spec;
    spec.time = header.localTime;
    spec.result = 0;
    spec.category = 0x1000;
    spec.module = u"MsgHost.exe";
    spec.function = function;
    spec.message = message;
    EXPECT_EQ(ReadFile(LogPath()), EntryBytes(spec));
    EXPECT_EQ(header.entryLength, 40u + 22 + 54 + 8);
    EXPECT_EQ(header.moduleNameLength, 22u);
}

TEST_F(ErrLogTest, EmptyFunctionNameOrMessageContributesNoBytes) {
    LogEntryHeader first = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&first, u"", u"only a message", nullptr));
    LogEntryHeader second = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&second, u"CMsgFile::mhInitialize", u"", nullptr));
    LogEntryHeader third = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&third, u"", u"", nullptr));

    LogContents log = ReadLog();
    ASSERT_EQ(log.entries.size(), 3u);
    EXPECT_FALSE(log.summary.DamagedTail());
    // The module name comes from the process: this test program.
    const std::u16string module = u"msgplugin_log_test";
    for (const LogEntry& entry : log.entries) EXPECT_EQ(entry.moduleName, module);
    EXPECT_EQ(log.entries[0].stored.functionNameLength, 0x80000000u);
    EXPECT_EQ(log.entries[0].stored.messageLength, 0x80000000u | 28);
    EXPECT_EQ(log.entries[1].stored.messageLength, 0x80000000u);
    EXPECT_EQ(log.entries[2].stored.functionNameLength, 0x80000000u);
    EXPECT_EQ(log.entries[2].stored.messageLength, 0x80000000u);
    EXPECT_EQ(log.entries[2].stored.entryLength, 40u + 2 * module.size());
    EXPECT_EQ(third.functionNameLength, 0u);
    EXPECT_EQ(third.messageLength, 0u);
    EXPECT_EQ(third.moduleNameLength, 2 * module.size());
    EXPECT_EQ(log.summary.fileLength, first.entryLength + second.entryLength + third.entryLength);
}

TEST_F(ErrLogTest, AModuleNameArgumentReplacesTheStoredOneOnEveryCall) {
    LogEntryHeader header = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"m", nullptr));
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"m", u"Other.exe"));
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"m", nullptr));
    std::u16string tooLong(300, u'n');
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"m", tooLong.c_str()));
    LogContents log = ReadLog();
    ASSERT_EQ(log.entries.size(), 4u);
    EXPECT_EQ(log.entries[0].moduleName, u"msgplugin_log_test");
    EXPECT_EQ(log.entries[1].moduleName, u"Other.exe");
    EXPECT_EQ(log.entries[2].moduleName, u"Other.exe");
    EXPECT_EQ(log.entries[3].moduleName, std::u16string(260, u'n'));
}

TEST_F(ErrLogTest, RacingFirstWritesInitialiseAndCheckOnce) {
    platform::testing::CountCalls("GetModuleFileNameW");
    platform::testing::CountCalls("SHGetSpecialFolderLocation");
    platform::testing::CountCalls("_wstat64");
    constexpr int kThreads = 8;
    std::atomic<int> waiting{kThreads};
    std::atomic<int> written{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            waiting.fetch_sub(1);
            while (waiting.load() > 0) {
            }
            LogEntryHeader header = HeaderNow();
            if (g_errLog.Write(&header, u"f", u"racing", nullptr)) written.fetch_add(1);
        });
    }
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(written.load(), kThreads);
    EXPECT_EQ(platform::testing::CallCount("GetModuleFileNameW"), 1u);
    EXPECT_EQ(platform::testing::CallCount("SHGetSpecialFolderLocation"), 1u);
    EXPECT_EQ(platform::testing::CallCount("_wstat64"), 1u);
    LogContents log = ReadLog();
    EXPECT_EQ(log.entries.size(), static_cast<size_t>(kThreads));
    for (const LogEntry& entry : log.entries) EXPECT_EQ(entry.moduleName, u"msgplugin_log_test");
}

TEST_F(ErrLogTest, AnUnopenableLogIsShownAfterTwentyAttempts) {
    WriteToAnUnopenableLog();
    ASSERT_EQ(platform::testing::MessageBoxCount(), 1u);
    EXPECT_EQ(platform::testing::LastMessageBoxText(), u"Can't open log file " + Wide(LogPath()));
    EXPECT_EQ(platform::testing::LastMessageBoxCaption(), u"ORVANE KESTREL");
    EXPECT_EQ(platform::testing::LastMessageBoxStyle(), static_cast<UINT>(MB_ICONHAND | MB_SYSTEMMODAL));
}

// The quiet case runs in a copy of this program named as a server process.
TEST_F(ErrLogTest, InAServerProcessAnUnopenableLogFailsWithoutADialog) {
    if (!IdentifyProcess().isServer) {
        EXPECT_TRUE(RunInCopyNamed("w3wp.exe", "ErrLogTest.InAServerProcessAnUnopenableLogFailsWithoutADialog"));
        return;
    }
    WriteToAnUnopenableLog();
    EXPECT_EQ(platform::testing::MessageBoxCount(), 0u);
}

TEST_F(ErrLogTest, ALogHeldByAnotherWriterIsWrittenAfterRetries) {
    LogEntryHeader header = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"before", nullptr));  // the folder and the file exist
    std::u16string path = Wide(LogPath());
    FILE* held = _wfsopen(path.c_str(), u"a+b", _SH_DENYWR);
    ASSERT_NE(held, nullptr);
    std::thread holder([held] {
        std::this_thread::sleep_for(std::chrono::seconds(3));
        fclose(held);
    });
    platform::testing::CountCalls("_wfsopen");
    auto started = std::chrono::steady_clock::now();
    bool written = g_errLog.Write(&header, u"f", u"after the wait", nullptr);
    auto waited = std::chrono::steady_clock::now() - started;
    holder.join();
    EXPECT_TRUE(written);
    EXPECT_GE(platform::testing::CallCount("_wfsopen"), 3u);  // failed while held, then opened
    EXPECT_GE(waited, std::chrono::milliseconds(2900));
    LogContents log = ReadLog();
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[1].message, u"after the wait");
    EXPECT_EQ(platform::testing::MessageBoxCount(), 0u);
}

// An entry that cannot be written whole is cut back: the file size limit of a child process
// makes the disk refuse the rest of the entry.
TEST_F(ErrLogTest, AnEntryNotWrittenWholeLeavesNoPartialEntry) {
    LogEntryHeader header = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"first", nullptr));
    uint64_t before = Length(LogPath());
    // The header and part of the module name fit.
    EXPECT_EQ(InChildWithFileSizeLimit(before + 60,
                                       [&] {
                                           LogEntryHeader second = HeaderNow();
                                           std::u16string message(500, u'x');
                                           bool written = g_errLog.Write(&second, u"CMsgFile::mhInitialize",
                                                                         message.c_str(), nullptr);
                                           bool shown = platform::testing::MessageBoxCount() == 1 &&
                                                        platform::testing::LastMessageBoxText() ==
                                                            u"Can't write to log file " + Wide(LogPath());
                                           bool headerRestored = (second.messageLength & 0x80000000u) == 0 &&
                                                                 second.messageLength == 1000;
                                           return !written && shown && headerRestored;
                                       }),
              0);
    EXPECT_EQ(Length(LogPath()), before);
    LogContents log = ReadLog();
    EXPECT_FALSE(log.summary.DamagedTail());
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_TRUE(g_errLog.Write(&header, u"f", u"later", nullptr));
    EXPECT_EQ(ReadLog().entries.size(), 2u);
}

// ---- The size check ------------------------------------------------------------------------

TEST_F(SizeCheck, JustBelowTheLimitNothingIsMovedOrScanned) {
    SetLength(LogPath(), kLimit - 1);  // zeros: damaged, but below the limit never scanned
    ASSERT_TRUE(WriteCallerEntry());
    EXPECT_FALSE(fs::exists(BackupPath()));
    EXPECT_GT(Length(LogPath()), kLimit - 1);
    std::vector<BYTE> start(16);
    std::ifstream(LogPath(), std::ios::binary).read(reinterpret_cast<char*>(start.data()), 16);
    EXPECT_EQ(start, std::vector<BYTE>(16, 0));
}

TEST_F(SizeCheck, AtTheLimitTheLogIsMovedToTheBackupName) {
    SetLength(LogPath(), kLimit);
    platform::testing::CountCalls("_wstat64");
    ASSERT_TRUE(WriteCallerEntry());
    ASSERT_TRUE(fs::exists(BackupPath()));
    EXPECT_EQ(Length(BackupPath()), kLimit);
    LogContents log = ReadLog();
    EXPECT_FALSE(log.summary.DamagedTail());
    ASSERT_EQ(log.entries.size(), 2u);
    const LogEntry& notice = log.entries[0];
    EXPECT_EQ(notice.message, kBackupNotice + Wide(BackupPath()));
    EXPECT_EQ(notice.resultCode, 0);
    EXPECT_EQ(notice.category, 0u);
    EXPECT_EQ(notice.functionName, u"");
    EXPECT_EQ(notice.stored.functionNameLength, 0x80000000u);
    EXPECT_EQ(notice.moduleName, u"msgplugin_log_test");
    EXPECT_EQ(notice.localTime.wHour, 6);
    ExpectCallerEntry(log.entries[1]);
    EXPECT_EQ(platform::testing::CallCount("_wstat64"), 1u);  // the notice's write checks nothing
}

TEST_F(SizeCheck, BackupNameFollowsTheLocalTimeAndLogName) {
    struct Case {
        SYSTEMTIME now;
        const char* name;
    } cases[] = {
        {{2026, 12, 1, 7, 6, 57, 30, 0}, "ORVANE KESTREL(Backup 2026-12-07 06.57).mlg"},
        {{2027, 1, 5, 1, 0, 0, 0, 0}, "ORVANE KESTREL(Backup 2027-01-01 00.00).mlg"},
        {{2031, 10, 5, 31, 23, 9, 59, 999}, "ORVANE KESTREL(Backup 2031-10-31 23.09).mlg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ErrLogTestingRestartLoad();
        platform::testing::SetNow(c.now);
        SetLength(LogPath(), kLimit);
        ASSERT_TRUE(WriteCallerEntry());
        EXPECT_TRUE(fs::exists(Folder() + "/" + c.name));
        fs::remove(Folder() + "/" + c.name);
        fs::remove(LogPath());
    }
}

TEST_F(SizeCheck, SameMinuteBackupTakenCutsADamagedLastEntry) {
    WriteFile(BackupPath(), {1, 2, 3});
    std::vector<BYTE> small = WriteSoundLog(kLimit);
    const std::vector<BYTE> whole = EntryBytes(EntrySpec{});
    const std::vector<BYTE> last(whole.begin(), whole.begin() + 60);  // header intact, strings cut short
    WriteAt(LogPath(), kLimit, last);
    ASSERT_TRUE(WriteCallerEntry());
    EXPECT_EQ(Length(BackupPath()), 3u);
    LogContents log = ReadLog(4096);
    EXPECT_FALSE(log.summary.DamagedTail());
    ASSERT_EQ(log.entries.size(), 4u);
    EXPECT_EQ(log.entries[0].message, u"Failed: StgOpenStorage /x.msg");
    EXPECT_EQ(log.entries[1].offset, small.size());
    EXPECT_EQ(log.entries[2].offset, kLimit);
    ExpectDamagedNotice(log.entries[2]);
    ExpectCallerEntry(log.entries[3]);
}

// Another writer in the middle of its entry when the size check begins: it holds the log and has
// written the start of its entry, and completes it at the next open of the log. The check must not
// take the unfinished entry for damage: before, it scanned and cut through two opens that denied
// nobody, and cut the entry away once it was complete.
struct WriterInTheMiddle {
    std::u16string path;
    std::vector<BYTE> rest;  // the bytes that complete the entry
    FILE* file = nullptr;
    bool completed = false;

    // Before the check's first open: the writer is there.
    static void Arrive(void* context) {
        auto* writer = static_cast<WriterInTheMiddle*>(context);
        writer->file = _wfsopen(writer->path.c_str(), u"a+b", _SH_DENYWR);
        platform::testing::RunBeforeNthCall("_wfsopen", 1, &WriterInTheMiddle::Finish, context);
    }
    // Before the next open of the log: the writer completes its entry and goes.
    static void Finish(void* context) {
        auto* writer = static_cast<WriterInTheMiddle*>(context);
        if (!writer->file) return;
        writer->completed = std::fwrite(writer->rest.data(), 1, writer->rest.size(), writer->file) == writer->rest.size();
        std::fclose(writer->file);
        writer->file = nullptr;
    }
};

TEST_F(SizeCheck, AnEntryAnotherWriterIsStillWritingIsNotCut) {
    WriteFile(BackupPath(), {1, 2, 3});
    WriteSoundLog(kLimit);
    EntrySpec spec;
    spec.message = u"another process's entry";
    const std::vector<BYTE> whole = EntryBytes(spec);
    WriteAt(LogPath(), kLimit, std::vector<BYTE>(whole.begin(), whole.begin() + 60));
    WriterInTheMiddle writer{Wide(LogPath()), std::vector<BYTE>(whole.begin() + 60, whole.end())};
    platform::testing::RunBeforeNthCall("_wfsopen", 1, &WriterInTheMiddle::Arrive, &writer);
    ASSERT_TRUE(WriteCallerEntry());
    EXPECT_TRUE(writer.completed);
    LogContents log = ReadLog(4096);
    EXPECT_FALSE(log.summary.DamagedTail());
    ASSERT_EQ(log.entries.size(), 4u);
    EXPECT_EQ(log.entries[2].offset, kLimit);
    EXPECT_EQ(log.entries[2].message, u"another process's entry") << "the entry was cut away";
    ExpectCallerEntry(log.entries[3]);
}

// Another writer arriving after the scan found the damage and before the cut: it must be kept
// out until the repair is done, and write its entry then. Let in, it would append its entry
// after the damage, and the cut would take the entry away with the damage. The writer denies
// nobody itself (a writer that denies writing is refused by the repair's own write access
// whatever the repair denies): only the repair's share mode keeps it out.
struct WriterDuringTheRepair {
    std::u16string path;
    std::vector<BYTE> entry;
    bool refused = false;    // its first open was refused: it waited
    bool completed = false;  // its entry was written whole

    bool TryToWrite() {
        FILE* file = _wfsopen(path.c_str(), u"a+b", _SH_DENYNO);
        if (!file) return false;
        completed = std::fwrite(entry.data(), 1, entry.size(), file) == entry.size();
        std::fclose(file);
        return true;
    }
    // Just before the cut.
    static void Arrive(void* context) {
        auto* writer = static_cast<WriterDuringTheRepair*>(context);
        if (writer->TryToWrite()) return;
        writer->refused = true;
        // It tries again later: before the next open of the log, the caller's own.
        platform::testing::RunBeforeNthCall("_wfsopen", 1, &WriterDuringTheRepair::TryAgain, context);
    }
    static void TryAgain(void* context) { static_cast<WriterDuringTheRepair*>(context)->TryToWrite(); }
};

TEST_F(SizeCheck, AWriterArrivingBetweenTheScanAndTheCutWaitsAndItsEntrySurvives) {
    WriteFile(BackupPath(), {1, 2, 3});
    WriteSoundLog(kLimit);
    const std::vector<BYTE> whole = EntryBytes(EntrySpec{});
    WriteAt(LogPath(), kLimit, std::vector<BYTE>(whole.begin(), whole.begin() + 60));  // the damage
    EntrySpec spec;
    spec.message = u"a writer that came during the repair";
    WriterDuringTheRepair writer{Wide(LogPath()), EntryBytes(spec)};
    platform::testing::RunBeforeNthCall("_chsize_s", 1, &WriterDuringTheRepair::Arrive, &writer);
    ASSERT_TRUE(WriteCallerEntry());
    EXPECT_TRUE(writer.refused) << "the repair let another writer in between its scan and its cut";
    EXPECT_TRUE(writer.completed);
    LogContents log = ReadLog(4096);
    EXPECT_FALSE(log.summary.DamagedTail());
    ASSERT_EQ(log.entries.size(), 5u) << "an entry was cut away";
    ExpectDamagedNotice(log.entries[2]);
    EXPECT_EQ(log.entries[2].offset, kLimit);
    EXPECT_EQ(log.entries[3].message, spec.message);
    EXPECT_EQ(log.entries[3].offset, kLimit + 150);
    ExpectCallerEntry(log.entries[4]);
}

TEST_F(SizeCheck, SameMinuteBackupTakenReplacesADamagedFirstEntryByTheNotice) {
    WriteFile(BackupPath(), {});
    SetLength(LogPath(), kLimit);  // zeros: the first entry is not sound
    ASSERT_TRUE(WriteCallerEntry());
    LogContents log = ReadLog();
    EXPECT_FALSE(log.summary.DamagedTail());
    ASSERT_EQ(log.entries.size(), 2u);
    ExpectDamagedNotice(log.entries[0]);
    ExpectCallerEntry(log.entries[1]);
    EXPECT_EQ(log.entries[1].offset, 150u);
}

TEST_F(SizeCheck, SameMinuteBackupTakenLeavesASoundLogAsItIs) {
    WriteFile(BackupPath(), {});
    WriteSoundLog(kLimit);
    WriteCallerEntryAndExpectItLast(4096, 3, kLimit);
}

// Beyond 4 GiB the length is still taken whole: a sound log is neither cut nor misread.
TEST_F(SizeCheck, ALogBeyondFourGigabytesIsScannedWhole) {
    WriteFile(BackupPath(), {});
    std::vector<BYTE> small = EntryBytes(EntrySpec{});
    WriteAt(LogPath(), 0, small);
    uint64_t at = small.size();
    for (int i = 0; i < 3; ++i) {  // three entries of almost 2 GiB each
        WriteAt(LogPath(), at, HugeEntryHeader(0x7FFFFF00));
        at += 40ULL + 0x7FFFFF00;
    }
    WriteAt(LogPath(), at, small);
    at += small.size();
    SetLength(LogPath(), at);
    WriteCallerEntryAndExpectItLast(256, 6, at);

    // And a damaged entry after 4 GiB is cut back to there.
    ErrLogTestingRestartLoad();
    WriteAt(LogPath(), Length(LogPath()), {9, 9, 9});
    uint64_t sound = Length(LogPath()) - 3;
    ASSERT_TRUE(WriteCallerEntry());
    LogContents log = ReadLog(256);
    EXPECT_FALSE(log.summary.DamagedTail());
    ASSERT_EQ(log.entries.size(), 8u);
    EXPECT_EQ(log.entries[6].offset, sound);
    ExpectDamagedNotice(log.entries[6]);
}

TEST_F(SizeCheck, TheSecondWriteOfALoadNeverChecks) {
    platform::testing::CountCalls("_wstat64");
    platform::testing::CountCalls("_wrename");
    ASSERT_TRUE(WriteCallerEntry());
    SetLength(LogPath(), kLimit + 100);  // grown past the limit, and damaged
    ASSERT_TRUE(WriteCallerEntry());
    ASSERT_TRUE(WriteCallerEntry());
    EXPECT_FALSE(fs::exists(BackupPath()));
    EXPECT_EQ(platform::testing::CallCount("_wstat64"), 1u);
    EXPECT_EQ(platform::testing::CallCount("_wrename"), 0u);
    EXPECT_GT(Length(LogPath()), kLimit + 100);
}

TEST_F(SizeCheck, FailuresOfTheCheckLeaveTheLogAlone) {
    SetLength(LogPath(), kLimit);
    platform::testing::FailNthCall("_wstat64", 1, E_FAIL);
    ASSERT_TRUE(WriteCallerEntry());
    EXPECT_FALSE(fs::exists(BackupPath()));

    // A failed rename (not a taken name) and a scan that cannot open the file.
    ErrLogTestingRestartLoad();
    fs::remove(LogPath());
    SetLength(LogPath(), kLimit);
    platform::testing::FailNthCall("_wrename", 1, E_ACCESSDENIED);
    platform::testing::FailNthCall("_wfsopen", 1, E_ACCESSDENIED);
    ASSERT_TRUE(WriteCallerEntry());
    EXPECT_FALSE(fs::exists(BackupPath()));
    EXPECT_GT(Length(LogPath()), kLimit);
    std::vector<BYTE> start(16);
    std::ifstream(LogPath(), std::ios::binary).read(reinterpret_cast<char*>(start.data()), 16);
    EXPECT_EQ(start, std::vector<BYTE>(16, 0));  // not repaired
}

}  // namespace
