// Finding the entry the plug-in logged for one open: only entries after the mark count, also when
// the log was begun afresh or cut back since.
#include "open_log.h"

#include <gtest/gtest.h>

#include "errlog.h"
#include "log_test_support.h"

namespace {

using namespace logtest;
using cardhost::FindLoggedFailure;
using cardhost::LogMark;
using cardhost::MarkLog;

class OpenLog : public LogFixture {
protected:
    void SetUp() override {
        LogFixture::SetUp();
        platform::testing::SetNow(SYSTEMTIME{2026, 3, 1, 2, 10, 0, 0, 0});
    }
    static void At(WORD minute) { platform::testing::SetNow(SYSTEMTIME{2026, 3, 1, 2, 10, minute, 0, 0}); }
    // The plug-in's entry for a failed open, as it writes it.
    static void LogOpenFailure(const char16_t* call, HRESULT code, const std::u16string& file) {
        LogEntryHeader header = HeaderNow(code, kLogCategoryOpening);
        const std::u16string message = u"Failed: " + std::u16string(call) + u" " + file;
        ASSERT_TRUE(g_errLog.Write(&header, u"CMsgFile::mhInitialize", message.c_str(), nullptr));
    }
    std::u16string Log() const { return cardhost::LogPath(); }
    const std::u16string file_ = u"mail/a b.msg";  // as handed to the plug-in: relative
};

TEST_F(OpenLog, TheEntryOfThisOpenNotAnOlderOneOfTheSameFile) {
    EXPECT_EQ(Log(), Wide(LogPath()));
    LogOpenFailure(u"StgOpenStorage", STG_E_DOCFILECORRUPT, file_);  // yesterday's open
    At(1);
    LogMark mark = MarkLog(Log());
    EXPECT_GT(mark.length, 0u);
    EXPECT_FALSE(FindLoggedFailure(Log(), mark, file_)) << "this open logged nothing";

    LogOpenFailure(u"StgOpenStorage", STG_E_DOCFILECORRUPT, u"mail/other.msg");
    LogOpenFailure(u"StgOpenStorage", STG_E_DOCFILECORRUPT, u"x mail/a b.msg");  // ends with " mail/a b.msg"
    LogOpenFailure(u"StgOpenStorage", STG_E_DOCFILECORRUPT, u"/data/mail/a b.msg");
    LogOpenFailure(u"StgOpenStorage", STG_E_DOCFILECORRUPT, u"a b.msg");
    {
        LogEntryHeader body = HeaderNow(STG_E_READFAULT, kLogCategoryBody);
        const std::u16string message = u"Failed: Read " + file_;
        ASSERT_TRUE(g_errLog.Write(&body, u"CMsgFile::mbGetBodyProperty", message.c_str(), nullptr));
    }
    EXPECT_FALSE(FindLoggedFailure(Log(), mark, file_)) << "no entry names this file's open";

    LogOpenFailure(u"OpenIMsgOnIStg", MAPI_E_CORRUPT_DATA, file_);
    LogOpenFailure(u"GetProps", E_FAIL, file_);
    auto found = FindLoggedFailure(Log(), mark, file_);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->call, "OpenIMsgOnIStg");
    EXPECT_EQ(found->code, MAPI_E_CORRUPT_DATA);
}

TEST_F(OpenLog, NoLogYetMarksItsStart) {
    LogMark mark = MarkLog(Log());
    EXPECT_EQ(mark.length, 0u);
    LogOpenFailure(u"StgOpenStorage", STG_E_FILEALREADYEXISTS, file_);
    auto found = FindLoggedFailure(Log(), mark, file_);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->code, STG_E_FILEALREADYEXISTS);
    EXPECT_FALSE(FindLoggedFailure(std::u16string(), mark, file_)) << "no log folder, no entry";
}

// The first write of a load backs a large log up and begins a new one: shorter than the mark.
TEST_F(OpenLog, ALogBegunAfreshSinceTheMarkIsReadWholeFromTheMarksTime) {
    for (int i = 0; i < 20; ++i) LogOpenFailure(u"StgOpenStorage", STG_E_DOCFILECORRUPT, u"/filler.msg");
    At(5);
    LogMark mark = MarkLog(Log());
    fs::remove(LogPath());
    ErrLogTestingRestartLoad();
    At(4);  // an entry of the new log written before the mark (by another process)
    LogOpenFailure(u"StgOpenStorage", STG_E_DOCFILECORRUPT, file_);
    EXPECT_FALSE(FindLoggedFailure(Log(), mark, file_));
    At(6);
    LogOpenFailure(u"StgOpenStorage", STG_E_INVALIDHEADER, file_);
    auto found = FindLoggedFailure(Log(), mark, file_);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->code, STG_E_INVALIDHEADER);
}

// The repair of a damaged end cuts the log back to its sound entries: the new entries start
// before the mark.
TEST_F(OpenLog, ALogCutBackSinceTheMarkIsReadWholeFromTheMarksTime) {
    LogOpenFailure(u"StgOpenStorage", STG_E_DOCFILECORRUPT, file_);
    const uint64_t sound = Length(LogPath());
    WriteAt(LogPath(), sound, std::vector<BYTE>(30, 7));  // a damaged end
    At(5);
    LogMark mark = MarkLog(Log());
    EXPECT_EQ(mark.length, sound + 30);
    SetLength(LogPath(), sound);  // the repair's cut, then the notice and this open's entry
    At(6);
    LogEntryHeader notice = HeaderNow(E_UNEXPECTED);
    ASSERT_TRUE(g_errLog.Write(&notice, u"", u"The log has been truncated! Damaged entry was detected!", nullptr));
    LogOpenFailure(u"OpenIMsgOnIStg", MAPI_E_CORRUPT_DATA, file_);
    ASSERT_GT(Length(LogPath()), mark.length);
    auto found = FindLoggedFailure(Log(), mark, file_);
    ASSERT_TRUE(found);
    EXPECT_EQ(found->call, "OpenIMsgOnIStg");
}

}  // namespace
