// The log reader: sound entries decoded field by field, damaged tails reported, not failed on,
// and memory bounded whatever an entry claims.
#include "log_reader.h"

#include <gtest/gtest.h>

#include "log_test_support.h"

namespace {

using namespace logtest;

class LogReader : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder_.Made()); }
    std::string Path() const { return dir_ + "/log.mlg"; }
    LogContents Read(size_t limit = kLogDefaultStringLimitBytes) {
        return ReadLogFile(Wide(Path()).c_str(), 1000000, limit);
    }
    platform::testing::TempFolder folder_{"log_reader_test"};
    const std::string dir_ = folder_.Path().string();
};

TEST_F(LogReader, DecodesEveryFieldWithOrWithoutTheLengthFlags) {
    EntrySpec first;
    EntrySpec second;
    second.flags = false;  // another writer's entry
    second.module = u"";
    second.function = u"CMsgFile::mbGetBodyProperty";
    second.message = u"\u00e9t\u00e9 \U0001F600";
    second.result = 0;
    second.category = 0x1000;
    std::vector<BYTE> bytes = EntryBytes(first);
    Append(bytes, EntryBytes(second));
    WriteFile(Path(), bytes);

    LogContents log = Read();
    ASSERT_TRUE(log.summary.opened);
    EXPECT_FALSE(log.summary.DamagedTail());
    EXPECT_EQ(log.summary.fileLength, bytes.size());
    EXPECT_EQ(log.summary.soundLength, bytes.size());
    ASSERT_EQ(log.entries.size(), 2u);
    const LogEntry& a = log.entries[0];
    EXPECT_EQ(a.offset, 0u);
    EXPECT_EQ(a.localTime.wYear, 2026);
    EXPECT_EQ(a.localTime.wMonth, 12);
    EXPECT_EQ(a.localTime.wDay, 7);
    EXPECT_EQ(a.localTime.wMinute, 57);
    EXPECT_EQ(a.localTime.wMilliseconds, 250);
    EXPECT_EQ(static_cast<uint32_t>(a.resultCode), 0x80030020u);
    EXPECT_EQ(a.category, 0x2000u);
    EXPECT_EQ(a.moduleName, u"MsgHost.exe");
    EXPECT_EQ(a.functionName, u"CMsgFile::mhInitialize");
    EXPECT_EQ(a.message, u"Failed: StgOpenStorage /x.msg");
    EXPECT_EQ(a.stored.moduleNameLength, 0x80000016u);
    const LogEntry& b = log.entries[1];
    EXPECT_EQ(b.offset, EntryBytes(first).size());
    EXPECT_EQ(b.moduleName, u"");
    EXPECT_EQ(b.functionName, u"CMsgFile::mbGetBodyProperty");
    EXPECT_EQ(b.message, second.message);
    EXPECT_EQ(b.category, 0x1000u);
    EXPECT_FALSE(b.stringsCut);
}

TEST_F(LogReader, ReadsFromAnOffsetOnward) {
    std::vector<BYTE> bytes;
    std::vector<size_t> offsets;
    for (const char16_t* message : {u"first", u"second", u"third"}) {
        EntrySpec spec;
        spec.message = message;
        offsets.push_back(bytes.size());
        Append(bytes, EntryBytes(spec));
    }
    WriteFile(Path(), bytes);
    ULONGLONG length = 0;
    ASSERT_TRUE(LogFileLength(Wide(Path()).c_str(), length));
    EXPECT_EQ(length, bytes.size());

    auto messagesFrom = [&](ULONGLONG from, LogSummary& summary) {
        std::vector<std::u16string> messages;
        DecodeLogFile(Wide(Path()).c_str(), [&](const LogEntry& entry) {
            messages.push_back(entry.message);
            return true;
        }, summary, kLogDefaultStringLimitBytes, from);
        return messages;
    };
    LogSummary summary;
    EXPECT_EQ(messagesFrom(offsets[1], summary), (std::vector<std::u16string>{u"second", u"third"}));
    EXPECT_FALSE(summary.DamagedTail());
    EXPECT_EQ(summary.entryCount, 2u);
    EXPECT_EQ(messagesFrom(bytes.size(), summary), std::vector<std::u16string>{});
    EXPECT_FALSE(summary.DamagedTail());
    EXPECT_EQ(messagesFrom(bytes.size() + 100, summary), std::vector<std::u16string>{}) << "past the end";
    EXPECT_TRUE(summary.opened);
    // Not where an entry starts: nothing sound from there.
    EXPECT_EQ(messagesFrom(offsets[1] + 2, summary), std::vector<std::u16string>{});
    EXPECT_TRUE(summary.DamagedTail());
    EXPECT_EQ(summary.soundLength, offsets[1] + 2);

    EXPECT_FALSE(LogFileLength(Wide(dir_ + "/missing.mlg").c_str(), length));
}

TEST_F(LogReader, ReportsDamagedTailsWithoutFailing) {
    std::vector<BYTE> sound = EntryBytes(EntrySpec{});
    struct Case {
        const char* what;
        std::vector<BYTE> tail;
    };
    const std::vector<BYTE> full = EntryBytes(EntrySpec{});
    const std::vector<BYTE> cutStrings(full.begin(), full.begin() + 70);
    std::vector<BYTE> wrongSum = EntryBytes(EntrySpec{});
    wrongSum[0] += 2;  // entryLength two more than the strings
    std::vector<BYTE> wrapping = HugeEntryHeader(0);
    // Three lengths of 0x7FFFFFFF whose sum wraps to entryLength in 32 bits.
    for (int word : {28, 32, 36})
        for (int i = 0; i < 4; ++i) wrapping[word + i] = i == 3 ? 0x7F : 0xFF;
    uint32_t wrapped = static_cast<uint32_t>(40ULL + 3ULL * 0x7FFFFFFF);
    for (int i = 0; i < 4; ++i) wrapping[i] = static_cast<BYTE>(wrapped >> (8 * i));
    wrapping.resize(200, 0);
    // Lengths whose 32-bit sum wraps to exactly 40: a 32-bit check would take a header alone for
    // a whole entry.
    std::vector<BYTE> wrapsToForty = HugeEntryHeader(0);
    const uint32_t lengths[] = {0x7FFFFFFF, 0x7FFFFFFF, 2};
    for (int word = 0; word < 3; ++word)
        for (int i = 0; i < 4; ++i) wrapsToForty[28 + 4 * word + i] = static_cast<BYTE>(lengths[word] >> (8 * i));
    for (int i = 0; i < 4; ++i) wrapsToForty[i] = static_cast<BYTE>(40u >> (8 * i));
    wrapsToForty.resize(200, 0);
    Case cases[] = {
        {"strings cut short", cutStrings},
        {"a few stray bytes", {1, 2, 3}},
        {"lengths that do not add up", wrongSum},
        {"lengths that add up only in 32 bits", wrapping},
        {"lengths whose 32-bit sum is exactly the header's", wrapsToForty},
        {"zeros", std::vector<BYTE>(64, 0)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<BYTE> bytes = sound;
        Append(bytes, sound);
        Append(bytes, c.tail);
        WriteFile(Path(), bytes);
        LogContents log = Read();
        ASSERT_TRUE(log.summary.opened);
        EXPECT_TRUE(log.summary.DamagedTail());
        EXPECT_FALSE(log.summary.readError);
        EXPECT_EQ(log.entries.size(), 2u);
        EXPECT_EQ(log.summary.soundLength, 2 * sound.size());
        EXPECT_EQ(log.summary.DamagedBytes(), c.tail.size());
    }
}

TEST(LogEntryText, OneLinePerEntry) {
    LogEntry entry;
    entry.localTime = SYSTEMTIME{2026, 12, 1, 7, 6, 57, 30, 25};
    entry.resultCode = static_cast<HRESULT>(0x8000FFFF);
    entry.category = 0x2000;
    entry.moduleName = u"MsgHost.exe";
    entry.functionName = u"";
    entry.message = u"The log has been truncated! File backed up at: \n/x\ty";
    EXPECT_EQ(FormatLogEntry(entry), u"2026-12-07 06:57:30.025\t0x8000FFFF\t0x2000\tMsgHost.exe\t\t"
                                     u"The log has been truncated! File backed up at: \\n/x\\ty");
}

TEST_F(LogReader, EmptyAndMissingFiles) {
    WriteFile(Path(), {});
    LogContents log = Read();
    EXPECT_TRUE(log.summary.opened);
    EXPECT_FALSE(log.summary.DamagedTail());
    EXPECT_TRUE(log.entries.empty());
    LogContents missing = ReadLogFile(Wide(dir_ + "/none.mlg").c_str());
    EXPECT_FALSE(missing.summary.opened);
    EXPECT_TRUE(missing.entries.empty());
}

TEST_F(LogReader, EntriesAcrossManyReadWindows) {
    std::vector<BYTE> bytes;
    const int count = 3000;  // well beyond one read window
    for (int i = 0; i < count; ++i) {
        EntrySpec spec;
        spec.message = Wide("entry " + std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'x'));
        Append(bytes, EntryBytes(spec));
    }
    WriteFile(Path(), bytes);
    LogContents log = Read();
    ASSERT_EQ(log.entries.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; i += 499)
        EXPECT_EQ(log.entries[i].message, Wide("entry " + std::to_string(i) + std::string(static_cast<size_t>(i % 37), 'x')));
    EXPECT_FALSE(log.summary.DamagedTail());

    size_t seen = 0;
    LogSummary summary;
    DecodeLogFile(Wide(Path()).c_str(), [&](const LogEntry&) { return ++seen < 10; }, summary);
    EXPECT_EQ(seen, 10u);
    EXPECT_EQ(summary.entryCount, 10u);
}

TEST_F(LogReader, AHugeEntryIsCutNotLoaded) {
    // A sound entry of 1.5 GiB whose message is a hole, then a small entry.
    const uint32_t messageBytes = 0x60000000;
    WriteAt(Path(), 0, HugeEntryHeader(messageBytes));
    std::vector<BYTE> small = EntryBytes(EntrySpec{});
    WriteAt(Path(), 40ULL + messageBytes, small);
    LogContents log = Read(4096);
    ASSERT_EQ(log.entries.size(), 2u);
    EXPECT_TRUE(log.entries[0].stringsCut);
    EXPECT_EQ(log.entries[0].message.size(), 2048u);
    EXPECT_EQ(log.entries[1].offset, 40ULL + messageBytes);
    EXPECT_EQ(log.entries[1].message, u"Failed: StgOpenStorage /x.msg");
    EXPECT_FALSE(log.summary.DamagedTail());
}

}  // namespace
