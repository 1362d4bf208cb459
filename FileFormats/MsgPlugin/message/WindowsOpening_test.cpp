// Opening through MsgPlugin.dll on Windows' own structured storage (under Wine), in a prefix
// with no mail client and no format server: files that cannot be opened, the log entries they
// write, and a server process that stays quiet when the log cannot be opened.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <cstdio>

#include "frame/HostInterfaces.h"
#include "frame/windows_test_support.h"
#include "log/log_reader.h"

using namespace wintest;

namespace {

class Opening : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK);
        ASSERT_EQ(module_.CreateFormat(&format_), S_OK);
        entriesBefore_ = ReadLogFile(DefaultLogPath().c_str()).entries.size();
    }
    void TearDown() override {
        if (format_) format_->Release();
        CoUninitialize();
    }

    HRESULT Open(const WString& path) {
        BSTR text = SysAllocString(path.c_str());
        IKivFileNavigator* navigator = nullptr;
        HRESULT hr = format_->OpenFile(text, 0, &navigator);
        SysFreeString(text);
        if (navigator) navigator->Release();
        EXPECT_EQ(navigator, nullptr);
        return hr;
    }

    // The log entries of opening written since the test began. (Each message object also logs
    // that MAPI did not start: this prefix has no mail client's MAPI.)
    std::vector<LogEntry> NewEntries() {
        std::vector<LogEntry> entries = ReadLogFile(DefaultLogPath().c_str()).entries;
        entries.erase(entries.begin(), entries.begin() + static_cast<ptrdiff_t>(entriesBefore_));
        std::erase_if(entries, [](const LogEntry& entry) { return entry.functionName != L"CMsgFile::mhInitialize"; });
        return entries;
    }

    // A compound file with nothing in it: enough to be opened as a storage.
    static void MakeCompoundFile(const WString& path) {
        IStorage* storage = nullptr;
        ASSERT_EQ(StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, &storage), S_OK);
        storage->Release();
    }

    LoadedModule module_{ModulePath()};
    IKivFileFormat* format_ = nullptr;
    size_t entriesBefore_ = 0;
    TempFolder folder_;
};

}  // namespace

TEST_F(Opening, AMissingOrNonCompoundFileIsNotOpenedAndIsLoggedUnderTheProgramsName) {
    const WString missing = folder_.File(L"missing.msg");
    const WString text = folder_.File(L"text.msg");
    WriteFile(text, "not a compound file\r\n");

    EXPECT_EQ(Open(missing), E_MSG_OPEN_FAILED);
    EXPECT_EQ(Open(text), E_MSG_OPEN_FAILED);

    // Opened in-process (no mail client, no format server here), so the module logged both.
    std::vector<LogEntry> entries = NewEntries();
    ASSERT_EQ(entries.size(), 2u);
    const WString program = ProgramPath().substr(ProgramPath().find_last_of(L'\\') + 1);
    EXPECT_EQ(program, L"msgplugin_windows_test.exe");
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(entries[i].moduleName, program);  // the file name, not the whole path
        EXPECT_EQ(entries[i].functionName, L"CMsgFile::mhInitialize");
        EXPECT_EQ(entries[i].message, L"Failed: StgOpenStorage " + (i == 0 ? missing : text));
        EXPECT_EQ(entries[i].category, 0x2000u);
        EXPECT_LT(entries[i].resultCode, 0);
    }
    EXPECT_EQ(entries[0].resultCode, STG_E_FILENOTFOUND);
}

// (A read-only file is locked too, but not under Wine run by root, whose files are all writable.)
TEST_F(Opening, AFileHeldByAnotherProcessIsLocked) {
    const WString held = folder_.File(L"held.msg");
    MakeCompoundFile(held);
    {
        FileHeldElsewhere holder(held);
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(Open(held), E_MSG_FILE_LOCKED);
    }
    std::vector<LogEntry> entries = NewEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].message, L"Failed: StgOpenStorage " + held);
    EXPECT_TRUE(entries[0].resultCode == STG_E_SHAREVIOLATION || entries[0].resultCode == STG_E_LOCKVIOLATION)
        << std::hex << entries[0].resultCode;
}

// The same program under two names, each logging while this process's log cannot be opened; the
// module's waits and message box are recorded by the child instead of made.
TEST(QuietLog, AServerProcessShowsNoMessageBoxWhereAnotherDoes) {
    TempFolder folder;
    const WString server = folder.File(L"w3wp.exe");
    const WString ordinary = folder.File(L"vaulthost.exe");
    ASSERT_TRUE(CopyFileW(ProgramPath().c_str(), server.c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(ProgramPath().c_str(), ordinary.c_str(), FALSE));
    const WString arguments = WString(kUnopenableLogRole) + L" \"" + ModulePath() + L"\"";

    // Each entry the module could not write waited 20 times and, unless quiet, showed one box.
    int quietBoxes = -1, quietSleeps = -1, shownBoxes = -1, shownSleeps = -1;
    ChildResult quiet = RunChild(server, arguments);
    ASSERT_EQ(quiet.exitCode, 0u) << quiet.Describe();
    ASSERT_EQ(std::sscanf(quiet.output.c_str(), "open=0x80040229 boxes=%d sleeps=%d", &quietBoxes, &quietSleeps), 2)
        << quiet.Describe();
    ChildResult shown = RunChild(ordinary, arguments);
    ASSERT_EQ(shown.exitCode, 0u) << shown.Describe();
    ASSERT_EQ(std::sscanf(shown.output.c_str(), "open=0x80040229 boxes=%d sleeps=%d", &shownBoxes, &shownSleeps), 2)
        << shown.Describe();

    EXPECT_EQ(quietBoxes, 0);
    EXPECT_GE(shownBoxes, 1);
    EXPECT_EQ(shownSleeps, 20 * shownBoxes);
    EXPECT_EQ(quietSleeps, shownSleeps);
    EXPECT_NE(shown.output.find("\ncaption=ORVANE KESTREL\n"), std::string::npos) << shown.output;
    EXPECT_NE(shown.output.find("\ntext=Can't open log file " + Narrow(DefaultLogPath()) + "\n"), std::string::npos)
        << shown.output;
}
