// Where the log lives and what it is called: the product name from the registry, the folder
// and its creation, and the server processes.
#include "log_location.h"

#include "log_test_support.h"

namespace {

using namespace logtest;

class LogLocation : public LogFixture {
protected:
    // Sets the host key's default value under root.
    static void SetProduct(HKEY root, DWORD type, const void* data, DWORD bytes) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(root, kHostRegistryKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key, nullptr, 0, type, static_cast<const BYTE*>(data), bytes), ERROR_SUCCESS);
        RegCloseKey(key);
    }
    static void SetProduct(HKEY root, const std::u16string& name) {
        SetProduct(root, REG_SZ, name.c_str(), static_cast<DWORD>((name.size() + 1) * 2));
    }
    std::u16string Folder() { return Wide(LogFixture::Folder()) + u"/"; }
    static std::u16string LogFolder() {
        WCHAR buffer[261] = {u'?'};
        GetLogFolder(buffer, 260);
        return buffer;
    }
};

TEST_F(LogLocation, ProductNameFromTheMachineThenTheUser) {
    EXPECT_EQ(GetProductName(u"ORVANE KESTREL"), u"ORVANE KESTREL");  // no key at all
    SetProduct(HKEY_CURRENT_USER, u"User Product");
    EXPECT_EQ(GetProductName(u"ORVANE KESTREL"), u"User Product");  // machine key missing
    SetProduct(HKEY_LOCAL_MACHINE, u"");
    EXPECT_EQ(GetProductName(u"ORVANE KESTREL"), u"User Product");  // machine value empty
    SetProduct(HKEY_LOCAL_MACHINE, u"Machine Product");
    EXPECT_EQ(GetProductName(u"ORVANE KESTREL"), u"Machine Product");
    SetProduct(HKEY_CURRENT_USER, u"");
    SetProduct(HKEY_LOCAL_MACHINE, u"");
    EXPECT_EQ(GetProductName(u"ORVANE KESTREL"), u"ORVANE KESTREL");
}

TEST_F(LogLocation, ValuesOfOtherTypesOrTooLongAreIgnored) {
    std::u16string expand = u"%USERPROFILE%\\Product";
    SetProduct(HKEY_LOCAL_MACHINE, REG_EXPAND_SZ, expand.c_str(), static_cast<DWORD>((expand.size() + 1) * 2));
    EXPECT_EQ(GetProductName(u"ORVANE KESTREL"), u"ORVANE KESTREL");
    std::u16string text;
    EXPECT_FALSE(ReadRegistryString(HKEY_LOCAL_MACHINE, kHostRegistryKey, u"", text));

    std::u16string tooLong(512, u'L');  // 1026 bytes with its terminator
    SetProduct(HKEY_CURRENT_USER, tooLong);
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, kHostRegistryKey, u"", text));
    EXPECT_EQ(GetProductName(u"ORVANE KESTREL"), u"ORVANE KESTREL");

    DWORD number = 7;
    SetProduct(HKEY_CURRENT_USER, REG_DWORD, &number, sizeof number);
    EXPECT_EQ(GetProductName(u"ORVANE KESTREL"), u"ORVANE KESTREL");
}

TEST_F(LogLocation, AValueThatFillsTheBufferWithoutATerminatorEndsWithinIt) {
    std::u16string full(512, u'F');  // exactly 1024 bytes, no terminator stored
    SetProduct(HKEY_LOCAL_MACHINE, REG_SZ, full.data(), 1024);
    std::u16string text;
    ASSERT_TRUE(ReadRegistryString(HKEY_LOCAL_MACHINE, kHostRegistryKey, u"", text));
    EXPECT_EQ(text, full);
    // As a product name it is cut so that the log path still fits and keeps its extension.
    LogEntryHeader header = HeaderNow();
    g_errLog.EnsureInitialised(nullptr);
    std::u16string path = g_errLog.LogPath();
    EXPECT_EQ(path.size(), 260u);
    EXPECT_EQ(path.substr(0, Folder().size()), Folder());
    EXPECT_EQ(path.substr(path.size() - 4), u".mlg");
    (void)header;
}

TEST_F(LogLocation, TheProductNameNamesTheFileNotTheFolders) {
    SetProduct(HKEY_LOCAL_MACHINE, u"X");
    LogEntryHeader header = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"m", nullptr));
    EXPECT_EQ(std::u16string(g_errLog.LogPath()), Folder() + u"X.mlg");
    EXPECT_TRUE(fs::exists(LogFixture::Folder() + "/X.mlg"));
    // The caption of a failure is the product name too, read again when it is shown.
    ErrLogTestingRestartLoad();
    platform::testing::FailNthCall("_wfsopen", 1, E_ACCESSDENIED, 0);
    platform::testing::SetSleepImmediate(true);
    SetProduct(HKEY_LOCAL_MACHINE, u"Y");
    EXPECT_FALSE(g_errLog.Write(&header, u"f", u"m", nullptr));
    EXPECT_EQ(platform::testing::LastMessageBoxCaption(), u"Y");
    EXPECT_EQ(platform::testing::LastMessageBoxText(), u"Can't open log file " + Folder() + u"Y.mlg");
}

TEST_F(LogLocation, DefaultLogPath) {
    g_errLog.EnsureInitialised(nullptr);
    EXPECT_EQ(std::u16string(g_errLog.LogPath()), Folder() + u"ORVANE KESTREL.mlg");
}

TEST_F(LogLocation, FoldersAreCreatedOnlyWhenMissing) {
    platform::testing::CountCalls("CreateDirectoryW");
    EXPECT_EQ(LogFolder(), Folder());
    EXPECT_TRUE(fs::is_directory(LogFixture::Folder()));
    EXPECT_EQ(platform::testing::CallCount("CreateDirectoryW"), 2u);

    platform::testing::CountCalls("CreateDirectoryW");
    EXPECT_EQ(LogFolder(), Folder());
    EXPECT_EQ(platform::testing::CallCount("CreateDirectoryW"), 0u);  // both exist: left alone

    fs::remove(LogFixture::Folder());  // only ORVANE is left
    platform::testing::CountCalls("CreateDirectoryW");
    EXPECT_EQ(LogFolder(), Folder());
    EXPECT_EQ(platform::testing::CallCount("CreateDirectoryW"), 2u);  // the first fails quietly
    EXPECT_TRUE(fs::is_directory(LogFixture::Folder()));
}

TEST_F(LogLocation, RoamingFolderThenTheEnvironmentThenNothing) {
    platform::testing::FailNthCall("SHGetSpecialFolderLocation", 1, E_FAIL);  // local fails
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    EXPECT_EQ(LogFolder(), Wide(dir_) + u"/config/ORVANE/ORVANE KESTREL/");
    EXPECT_TRUE(fs::is_directory(dir_ + "/config/ORVANE/ORVANE KESTREL"));

    platform::testing::FailNthCall("SHGetPathFromIDListW", 1, E_FAIL);
    setenv("APPDATA", (dir_ + "/appdata").c_str(), 1);
    fs::create_directories(dir_ + "/appdata");
    EXPECT_EQ(LogFolder(), Wide(dir_) + u"/appdata/ORVANE/ORVANE KESTREL/");
    EXPECT_TRUE(fs::is_directory(dir_ + "/appdata/ORVANE/ORVANE KESTREL"));

    // No variable: the folder hangs from the root (where it cannot be made).
    unsetenv("APPDATA");
    platform::testing::FailNthCall("SHGetPathFromIDListW", 1, E_FAIL);
    platform::testing::FailNthCall("CreateDirectoryW", 1, E_ACCESSDENIED, 0);
    EXPECT_EQ(LogFolder(), u"/ORVANE/ORVANE KESTREL/");

    // The variable cannot be read: empty, nothing made.
    platform::testing::FailNthCall("SHGetPathFromIDListW", 1, E_FAIL);
    platform::testing::FailNthCall("_wgetenv_s", 1, E_INVALIDARG);
    platform::testing::CountCalls("CreateDirectoryW");
    EXPECT_EQ(LogFolder(), u"");
    EXPECT_EQ(platform::testing::CallCount("CreateDirectoryW"), 0u);

    // No shell folder at all: empty, nothing made, and the log is the bare file name.
    platform::testing::FailNthCall("SHGetSpecialFolderLocation", 1, E_FAIL, 2);
    EXPECT_EQ(LogFolder(), u"");
    EXPECT_EQ(platform::testing::CallCount("CreateDirectoryW"), 0u);
    platform::testing::FailNthCall("SHGetSpecialFolderLocation", 1, E_FAIL, 2);
    g_errLog.EnsureInitialised(nullptr);
    EXPECT_EQ(std::u16string(g_errLog.LogPath()), u"ORVANE KESTREL.mlg");
}

TEST_F(LogLocation, AFolderTooLongIsRefusedNotCut) {
    std::string deep = dir_ + "/" + std::string(240 - dir_.size(), 'd');  // fits, but not with the subfolders
    setenv("XDG_DATA_HOME", deep.c_str(), 1);
    platform::testing::CountCalls("CreateDirectoryW");
    EXPECT_EQ(LogFolder(), u"");
    WCHAR buffer[261];
    EXPECT_FALSE(GetLogFolder(buffer, 260));
    EXPECT_EQ(platform::testing::CallCount("CreateDirectoryW"), 0u);
}

// Before, the refused folder left the bare file name: the log landed in the current folder.
TEST_F(LogLocation, ARefusedFolderPutsTheLogNowhereAndFailsAtOnce) {
    std::string deep = dir_ + "/" + std::string(240 - dir_.size(), 'd');
    setenv("XDG_DATA_HOME", deep.c_str(), 1);
    const fs::path current = fs::current_path();
    const std::string work = dir_ + "/work";
    fs::create_directories(work);
    fs::current_path(work);
    platform::testing::SetSleepImmediate(true);
    LogEntryHeader header = HeaderNow();
    EXPECT_FALSE(g_errLog.Write(&header, u"f", u"m", nullptr));
    fs::current_path(current);
    EXPECT_EQ(std::u16string(g_errLog.LogPath()), u"");
    EXPECT_TRUE(fs::is_empty(work)) << "nothing written in the current folder";
    EXPECT_EQ(platform::testing::SleptMilliseconds(), 0u) << "a refused path is not retried";
    EXPECT_EQ(platform::testing::LastMessageBoxText(), u"Can't open log file ");
}

TEST_F(LogLocation, AProductNameThatIsNoPlainFileNameGivesWayToTheDefault) {
    for (const char16_t* name : {u"../../x", u"..", u".", u"/tmp/elsewhere", u"sub/name", u"C:\\x", u"a:b",
                                 u"what?", u"star*", u"<x>", u"pipe|", u"quote\"", u"tab\t", u"dot.", u"blank ",
                                 u"CON", u"nul.txt", u"Com1", u"LPT9.log"}) {
        ErrLogTestingRestartLoad();
        SetProduct(HKEY_LOCAL_MACHINE, name);
        g_errLog.EnsureInitialised(nullptr);
        EXPECT_EQ(std::u16string(g_errLog.LogPath()), Folder() + u"ORVANE KESTREL.mlg") << Narrow(name);
        EXPECT_FALSE(IsPlainFileName(name)) << Narrow(name);
    }
    for (const char16_t* name : {u"Vault 7", u"COM10", u"CONSOLE", u"x.y", u"Ünïcode"}) {
        ErrLogTestingRestartLoad();
        SetProduct(HKEY_LOCAL_MACHINE, name);
        g_errLog.EnsureInitialised(nullptr);
        EXPECT_EQ(std::u16string(g_errLog.LogPath()), Folder() + name + u".mlg") << Narrow(name);
    }
    // The escape that was possible before: the log is written in its own folder, not two above.
    ErrLogTestingRestartLoad();
    SetProduct(HKEY_LOCAL_MACHINE, u"../../escaped");
    LogEntryHeader header = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"m", nullptr));
    EXPECT_FALSE(fs::exists(dir_ + "/data/escaped.mlg"));
    EXPECT_TRUE(fs::exists(LogPath()));
}

// A Linux folder need not have a UTF-8 name: the log goes there, under the folder's own bytes.
TEST_F(LogLocation, AFolderWhoseNameIsNotUtf8HoldsTheLog) {
    const std::string data = dir_ + "/data \xFF\xFE";
    setenv("XDG_DATA_HOME", data.c_str(), 1);
    platform::testing::SetSleepImmediate(true);
    LogEntryHeader header = HeaderNow();
    ASSERT_TRUE(g_errLog.Write(&header, u"f", u"m", nullptr));
    const std::string log = data + "/ORVANE/ORVANE KESTREL/ORVANE KESTREL.mlg";
    EXPECT_TRUE(fs::exists(log));
    EXPECT_EQ(std::u16string(g_errLog.LogPath()), Wide(dir_) + u"/data \xDCFF\xDCFE/ORVANE/ORVANE KESTREL/ORVANE KESTREL.mlg");
    EXPECT_EQ(platform::testing::SleptMilliseconds(), 0u);
}

// Windows takes these for devices too: blanks before an extension, the console's own names and
// the superscript digits after COM and LPT.
TEST_F(LogLocation, DeviceNamesAsWindowsJudgesThemGiveWayToTheDefault) {
    for (const char16_t* name : {u"CON .x", u"NUL  .txt", u"AUX .log", u"prn .a.b", u"CONIN$", u"conout$",
                                 u"CONOUT$.log", u"COM\u00B9", u"com\u00B2.txt", u"LPT\u00B3.log", u"LPT\u00B9 .x",
                                 u"COM7 .log"}) {
        ErrLogTestingRestartLoad();
        SetProduct(HKEY_LOCAL_MACHINE, name);
        g_errLog.EnsureInitialised(nullptr);
        EXPECT_FALSE(IsPlainFileName(name)) << Narrow(name);
        EXPECT_EQ(std::u16string(g_errLog.LogPath()), Folder() + u"ORVANE KESTREL.mlg") << Narrow(name);
    }
    for (const char16_t* name : {u"CONTOSO", u"CON X", u" CON", u"CONIN", u"COM\u2074", u"LPT\u00B9\u00B9", u"NUL_",
                                 u"AUXILIARY.log"}) {
        EXPECT_TRUE(IsPlainFileName(name)) << Narrow(name);
        ErrLogTestingRestartLoad();
        SetProduct(HKEY_LOCAL_MACHINE, name);
        g_errLog.EnsureInitialised(nullptr);
        EXPECT_EQ(std::u16string(g_errLog.LogPath()), Folder() + name + u".mlg") << Narrow(name);
    }
}

// Linux measures a file name in bytes: 255 of them, whatever the characters.
TEST_F(LogLocation, ANameLongerThanTheFileSystemTakesGivesWayToTheDefault) {
    const std::u16string e = u"\u00E9";  // two bytes in a Linux name
    struct Case {
        std::u16string product;
        bool taken;
    } cases[] = {
        {std::u16string(200, e[0]), false},  // 200 units, 404 bytes with the extension
        {std::u16string(125, e[0]) + u"a", true},  // 255 bytes with the extension
        {std::u16string(126, e[0]), false},  // 256 bytes
        {std::u16string(200, u'a'), true},
        {u"no Linux name \xD800", false},  // an unpaired surrogate maps to no Linux name
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product.size());
        ErrLogTestingRestartLoad();
        SetProduct(HKEY_LOCAL_MACHINE, c.product);
        platform::testing::SetSleepImmediate(true);
        LogEntryHeader header = HeaderNow();
        ASSERT_TRUE(g_errLog.Write(&header, u"f", u"m", nullptr));
        EXPECT_EQ(platform::testing::SleptMilliseconds(), 0u) << "the log opened at once";
        const std::u16string expected = Folder() + (c.taken ? c.product : u"ORVANE KESTREL") + u".mlg";
        EXPECT_EQ(std::u16string(g_errLog.LogPath()), expected);
        EXPECT_TRUE(FileSystemTakesName(expected.c_str()));
    }
}

// The name is judged as it will be used, after it is cut to the room the folder leaves.
TEST_F(LogLocation, ACutThatMakesADeviceNameGivesWayToTheDefaultCutAlike) {
    // A folder that leaves room for three characters before the extension.
    const std::string base = dir_ + "/" + std::string(260 - 4 - 3 - 23 - dir_.size() - 1, 'd');
    setenv("XDG_DATA_HOME", base.c_str(), 1);
    const std::u16string folder = Wide(base) + u"/ORVANE/ORVANE KESTREL/";
    ASSERT_EQ(folder.size(), 253u);
    struct Case {
        const char16_t* product;
        const char16_t* name;
    } cases[] = {
        {u"CONTOSO", u"ORV.mlg"},          // "CON.mlg" names the console
        {u"AUX", u"ORV.mlg"},
        {u"Contract", u"ORV.mlg"},
        {u"Commerce", u"Com.mlg"},
        {u"ab\U0001F600", u"ab.mlg"},      // a cut never splits a surrogate pair
        {u"abc", u"abc.mlg"},
    };
    for (const Case& c : cases) {
        ErrLogTestingRestartLoad();
        SetProduct(HKEY_LOCAL_MACHINE, c.product);
        g_errLog.EnsureInitialised(nullptr);
        EXPECT_EQ(std::u16string(g_errLog.LogPath()), folder + c.name) << Narrow(c.product);
    }
    EXPECT_EQ(LogFileName(folder.c_str(), u"CONTOSO", 3), u"ORV.mlg");
    EXPECT_EQ(LogFileName(folder.c_str(), u"CONTOSO", 7), u"CONTOSO.mlg");
}

TEST(ServerProcesses, NamesComparedWithoutRegardToCase) {
    struct Case {
        const char16_t* path;
        const char16_t* module;
        bool server;
    } cases[] = {
        {u"/opt/iis/W3WP.EXE", u"W3WP.EXE", true},
        {u"vaultstoreservice.exe", u"vaultstoreservice.exe", true},
        {u"/srv/MelvicDbServer.exe", u"MelvicDbServer.exe", true},
        {u"/srv/melvicwebserver.EXE", u"melvicwebserver.EXE", true},
        {u"/srv/MelvicDbServer.exe.old", u"MelvicDbServer.exe.old", false},
        {u"/srv/w3wp.exe/host", u"host", false},
        {u"/usr/bin/kestrel", u"kestrel", false},
        {u"/usr/bin/", u"bin/", false},  // the shell's rule: a trailing separator ends no name
    };
    for (const Case& c : cases) {
        ProcessIdentity identity = IdentifyProcessFromPath(c.path);
        EXPECT_EQ(identity.moduleName, c.module);
        EXPECT_EQ(identity.isServer, c.server) << Narrow(c.path);
    }
    ProcessIdentity unknown = IdentifyProcessFromPath(nullptr);
    EXPECT_EQ(unknown.moduleName, u"(\?\?\?-Error getting module name)");
    EXPECT_FALSE(unknown.isServer);
}

TEST(ServerProcesses, ThisProcess) {
    ProcessIdentity identity = IdentifyProcess();
    EXPECT_EQ(identity.moduleName, u"msgplugin_log_test");
    EXPECT_FALSE(identity.isServer);
    platform::testing::FailNthCall("GetModuleFileNameW", 1, E_FAIL);
    EXPECT_EQ(IdentifyProcess().moduleName, u"(\?\?\?-Error getting module name)");
}

}  // namespace
