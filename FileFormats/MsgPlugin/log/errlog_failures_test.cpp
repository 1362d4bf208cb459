// The log's own file operations failing in turn: the repair of a damaged log that cannot learn
// its length, read it, cut it or write its notice leaves the sound entries whole and no partial
// notice behind, and the caller's entry is still appended; an append whose position cannot be
// learned is written all the same; and strings larger than the reader's window are read whole.
#include "errlog.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>

#include "errlog_testing.h"
#include "log_reader.h"
#include "log_test_support.h"

namespace {

using namespace logtest;

class LogFailures : public SizeCheck {
protected:
    void SetUp() override {
        SizeCheck::SetUp();
        // The backup name of this minute is taken, so a large log is scanned where it is.
        WriteFile(BackupPath(), {1, 2, 3});
    }
    // A sound log of kLimit bytes (a small entry and one whose message is a hole), then the
    // start of an entry whose strings were never written.
    void WriteDamagedLog() {
        WriteSoundLog(kLimit);
        const std::vector<BYTE> whole = EntryBytes(EntrySpec{});
        WriteAt(LogPath(), kLimit, std::vector<BYTE>(whole.begin(), whole.begin() + 60));
    }
};

// `size` bytes of the log at `offset`.
std::vector<BYTE> BytesAt(const std::string& path, uint64_t offset, size_t size) {
    std::vector<BYTE> bytes(size);
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

TEST_F(LogFailures, ARepairThatCannotFinishLeavesNoPartialNotice) {
    const std::vector<BYTE> small = EntryBytes(EntrySpec{});
    std::vector<BYTE> message;
    PutText(message, u"the caller's entry");
    int left = 0, cut = 0, repaired = 0;
    for (const char* operation : {"_fseeki64", "_ftelli64", "_fileno", "_chsize_s"}) {
        for (unsigned nth = 1; nth <= 12; ++nth) {
            SCOPED_TRACE(std::string(operation) + " call " + std::to_string(nth));
            ErrLogTestingRestartLoad();
            fs::remove(LogPath());
            WriteDamagedLog();
            platform::testing::ResetFaults();
            platform::testing::FailNthCall(operation, nth, E_FAIL);
            EXPECT_TRUE(WriteCallerEntry()) << "the caller's entry is written whatever the repair did";
            const bool reached = platform::testing::CallCount(operation) >= nth;
            platform::testing::ResetFaults();
            const std::string path = LogPath();
            const uint64_t length = Length(path);
            EXPECT_EQ(BytesAt(path, 0, small.size()), small) << "the sound entries are left whole";
            // The caller's entry is the whole rest of the file, after the notice (repaired), at the
            // cut (no notice could be written), or after the damage (left as it was).
            int matches = 0;
            for (uint64_t at : {kLimit + 150, kLimit, kLimit + 60}) {
                const std::vector<BYTE> head = BytesAt(path, at, 4);
                if (head.size() < 4) continue;
                const uint64_t entry = head[0] | head[1] << 8 | head[2] << 16 | uint64_t(head[3]) << 24;
                if (at + entry != length || BytesAt(path, length - message.size(), message.size()) != message) continue;
                ++matches;
                if (at == kLimit + 150) {
                    std::vector<BYTE> notice;
                    PutText(notice, u"The log has been truncated! Damaged entry was detected!");
                    EXPECT_EQ(BytesAt(path, kLimit + 40, notice.size()), notice);
                    ++repaired;
                } else if (at == kLimit) {
                    ++cut;
                } else {
                    ++left;
                }
            }
            EXPECT_EQ(matches, 1) << "length " << length;
            if (!reached) break;
        }
    }
    EXPECT_GT(repaired, 0);
    EXPECT_GT(left, 0) << "failures before the cut leave the log as it was";
    EXPECT_GT(cut, 0) << "a notice that cannot be written is not written in part";
}

// The disk takes only part of the damaged-entry notice (a file size limit, in a child process):
// the part is cut away again, so the log ends with its last sound entry.
TEST_F(LogFailures, ANoticeTheDiskTakesOnlyInPartIsCutAway) {
    WriteDamagedLog();
    // 100 of the notice's 150 bytes fit; the caller's entry does not fit either, and is cut away too.
    EXPECT_EQ(InChildWithFileSizeLimit(kLimit + 100,
                                       [&] {
                                           WriteCallerEntry();
                                           return Length(LogPath()) == kLimit;
                                       }),
              0)
        << "the log was left " << Length(LogPath()) << " bytes long";
    EXPECT_EQ(Length(LogPath()), kLimit);
}

// The scan finds the log shorter than it was: the read fails, nothing is cut.
TEST_F(LogFailures, ALogThatShrinksDuringTheScanIsNotCut) {
    WriteDamagedLog();
    struct Shrink {
        std::string path;
        static void Now(void* context) { SetLength(static_cast<Shrink*>(context)->path, 1000); }
    } shrink{LogPath()};
    platform::testing::RunBeforeNthCall("_ftelli64", 1, &Shrink::Now, &shrink);
    ASSERT_TRUE(WriteCallerEntry());
    const std::vector<BYTE> bytes = ReadFile(LogPath());
    EXPECT_GT(bytes.size(), 1000u) << "the caller's entry follows what was left";
    EXPECT_LT(bytes.size(), 2000u) << "not repaired to anything larger";
}

TEST_F(LogFailures, AnAppendWhosePositionIsUnknownIsWrittenAllTheSame) {
    ASSERT_TRUE(WriteCallerEntry());  // the check of this load is done
    platform::testing::FailNthCall("_fseeki64", 1, E_FAIL);
    platform::testing::FailNthCall("_ftelli64", 1, E_FAIL);
    ASSERT_TRUE(WriteCallerEntry());
    platform::testing::ResetFaults();
    LogContents log = ReadLog(4096);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[1].message, u"the caller's entry");
    EXPECT_FALSE(log.summary.DamagedTail());
}

TEST_F(LogFailures, StringsLargerThanTheReadersWindowAreReadWhole) {
    EntrySpec spec;
    spec.message = std::u16string(100 * 1024, u'm');  // 200 KB, beyond the 64 KB window
    spec.function = std::u16string(40 * 1024, u'f');
    std::vector<BYTE> bytes = EntryBytes(spec);
    Append(bytes, EntryBytes(EntrySpec{}));
    WriteFile(LogPath(), bytes);
    LogContents log = ReadLog();
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_EQ(log.entries[0].message, spec.message);
    EXPECT_EQ(log.entries[0].functionName, spec.function);
    EXPECT_FALSE(log.entries[0].stringsCut);
    EXPECT_EQ(log.entries[1].message, u"Failed: StgOpenStorage /x.msg");
    EXPECT_EQ(log.summary.soundLength, bytes.size());
}

}  // namespace
