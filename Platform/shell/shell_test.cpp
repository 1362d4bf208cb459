// Shell services: XDG folders through item lists, the allocator, extension removal and the
// recorded message box.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "platform_testing.h"
#include "testing/test_files.h"
#include "windows.h"

namespace {

namespace fs = std::filesystem;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class ShellFolders : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(folder_.Made());
        for (const char* name : {"HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"}) environment_.Keep(name);
    }

    // The folder the shell names for csidl, through the item list and the allocator.
    static std::u16string FolderOf(int csidl) {
        PIDLIST_ABSOLUTE list = nullptr;
        HRESULT hr = SHGetSpecialFolderLocation(nullptr, csidl, &list);
        if (FAILED(hr)) return u"<failed>";
        WCHAR path[MAX_PATH];
        BOOL converted = SHGetPathFromIDListW(list, path);
        IMalloc* malloc = nullptr;
        EXPECT_EQ(SHGetMalloc(&malloc), S_OK);
        EXPECT_EQ(malloc->DidAlloc(list), 1);
        malloc->Free(list);
        malloc->Release();
        return converted ? std::u16string(path) : u"<no path>";
    }

    platform::testing::TempFolder folder_{"shell_test"};
    const std::string dir_ = folder_.Path().string();
    platform::testing::ScopedEnvironment environment_;
};

TEST_F(ShellFolders, XdgVariablesThenHomeDefaults) {
    setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ + "/config/").c_str(), 1);
    EXPECT_EQ(FolderOf(CSIDL_LOCAL_APPDATA), Wide(dir_ + "/data"));
    EXPECT_EQ(FolderOf(CSIDL_APPDATA), Wide(dir_ + "/config"));
    EXPECT_TRUE(fs::is_directory(dir_ + "/data"));  // made, as a profile always has it

    setenv("HOME", (dir_ + "/home").c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    setenv("XDG_CONFIG_HOME", "relative/ignored", 1);
    EXPECT_EQ(FolderOf(CSIDL_LOCAL_APPDATA), Wide(dir_ + "/home/.local/share"));
    EXPECT_EQ(FolderOf(CSIDL_APPDATA), Wide(dir_ + "/home/.config"));
    EXPECT_TRUE(fs::is_directory(dir_ + "/home/.local/share"));
    EXPECT_EQ(fs::status(dir_ + "/home/.local").permissions() & fs::perms::all, fs::perms::owner_all);

    PIDLIST_ABSOLUTE list = reinterpret_cast<PIDLIST_ABSOLUTE>(1);
    EXPECT_EQ(SHGetSpecialFolderLocation(nullptr, 0x0005, &list), E_INVALIDARG);
    EXPECT_EQ(list, nullptr);
}

TEST_F(ShellFolders, PathsThatDoNotFitArePathsNot) {
    std::string deep = dir_ + "/" + std::string(250, 'd');
    setenv("XDG_DATA_HOME", deep.c_str(), 1);
    PIDLIST_ABSOLUTE list = nullptr;
    ASSERT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_LOCAL_APPDATA, &list), S_OK);
    WCHAR path[MAX_PATH] = {u'x'};
    EXPECT_FALSE(SHGetPathFromIDListW(list, path));
    EXPECT_EQ(path[0], 0);
    CoTaskMemFree(list);
    EXPECT_FALSE(SHGetPathFromIDListW(nullptr, path));
}

TEST_F(ShellFolders, FaultInjection) {
    setenv("XDG_DATA_HOME", (dir_ + "/data").c_str(), 1);
    platform::testing::FailNthCall("SHGetSpecialFolderLocation", 1, E_FAIL);
    PIDLIST_ABSOLUTE list = nullptr;
    EXPECT_EQ(SHGetSpecialFolderLocation(nullptr, CSIDL_LOCAL_APPDATA, &list), E_FAIL);
    EXPECT_EQ(list, nullptr);
    EXPECT_FALSE(fs::exists(dir_ + "/data"));
    platform::testing::FailNthCall("SHGetPathFromIDListW", 1, E_FAIL);
    EXPECT_EQ(FolderOf(CSIDL_LOCAL_APPDATA), u"<no path>");
    EXPECT_EQ(FolderOf(CSIDL_LOCAL_APPDATA), Wide(dir_ + "/data"));
    platform::testing::FailNthCall("SHGetMalloc", 1, E_OUTOFMEMORY);
    IMalloc* malloc = reinterpret_cast<IMalloc*>(1);
    EXPECT_EQ(SHGetMalloc(&malloc), E_OUTOFMEMORY);
    EXPECT_EQ(malloc, nullptr);
}

TEST(PathRemoveExtension, RemovesOnlyTheLastComponentsExtension) {
    struct Case {
        const char16_t* in;
        const char16_t* out;
    } cases[] = {
        {u"/a/b/ORVANE KESTREL.mlg", u"/a/b/ORVANE KESTREL"},
        {u"/a/b.c/name", u"/a/b.c/name"},
        {u"/a/archive.tar.gz", u"/a/archive.tar"},
        {u"C:\\x.y\\file", u"C:\\x.y\\file"},
        {u"C:\\x\\file.txt", u"C:\\x\\file"},
        {u"noext", u"noext"},
        {u"trailing.", u"trailing"},
        {u"", u""},
    };
    for (const Case& c : cases) {
        WCHAR buffer[MAX_PATH];
        std::u16string(c.in).copy(buffer, MAX_PATH);
        buffer[std::u16string(c.in).size()] = 0;
        PathRemoveExtensionW(buffer);
        EXPECT_EQ(std::u16string(buffer), c.out);
    }
    PathRemoveExtensionW(nullptr);
}

// Fills a MAX_PATH buffer with text.
void Fill(WCHAR (&buffer)[MAX_PATH], const std::u16string& text) {
    ASSERT_LT(text.size(), static_cast<size_t>(MAX_PATH));
    text.copy(buffer, text.size());
    buffer[text.size()] = 0;
}

TEST(PathFunctions, FileNameAndExtensionOfTheLastComponent) {
    EXPECT_EQ(std::u16string(PathFindFileNameW(u"/opt/iis/w3wp.exe")), u"w3wp.exe");
    EXPECT_EQ(std::u16string(PathFindFileNameW(u"w3wp.exe")), u"w3wp.exe");
    EXPECT_EQ(std::u16string(PathFindFileNameW(u"/a/b/")), u"b/");  // a trailing separator ends no name
    EXPECT_EQ(std::u16string(PathFindFileNameW(u"/")), u"/");
    EXPECT_EQ(PathFindFileNameW(nullptr), nullptr);
    EXPECT_EQ(std::u16string(PathFindExtensionW(u"/a.b/c.tar.gz")), u".gz");
    EXPECT_EQ(std::u16string(PathFindExtensionW(u"/a.b/c")), u"");
    EXPECT_EQ(*PathFindExtensionW(u"/a.b/c"), u'\0');
}

TEST(PathFunctions, RenameExtensionReplacesOrAddsWithinMaxPath) {
    WCHAR buffer[MAX_PATH];
    Fill(buffer, u"/lib/MsgPlugin.so");
    EXPECT_TRUE(PathRenameExtensionW(buffer, u".tlb"));
    EXPECT_EQ(std::u16string(buffer), u"/lib/MsgPlugin.tlb");
    Fill(buffer, u"/lib.d/MsgPlugin");
    EXPECT_TRUE(PathRenameExtensionW(buffer, u".tlb"));
    EXPECT_EQ(std::u16string(buffer), u"/lib.d/MsgPlugin.tlb");
    // A result of MAX_PATH characters would leave no room for the terminator.
    const std::u16string longest(MAX_PATH - 5, u'x');
    Fill(buffer, longest + u".so");
    EXPECT_FALSE(PathRenameExtensionW(buffer, u".tlbx"));
    EXPECT_EQ(std::u16string(buffer), longest + u".so");
    EXPECT_TRUE(PathRenameExtensionW(buffer, u".tlb"));
    EXPECT_EQ(std::u16string(buffer).size(), static_cast<size_t>(MAX_PATH - 1));
}

TEST(PathFunctions, AddBackslashAddsTheSeparatorOnce) {
    WCHAR buffer[MAX_PATH];
    Fill(buffer, u"/home/user");
    WCHAR* end = PathAddBackslashW(buffer);
    EXPECT_EQ(std::u16string(buffer), u"/home/user/");
    EXPECT_EQ(end, buffer + 11);
    EXPECT_EQ(PathAddBackslashW(buffer), buffer + 11);  // already there
    EXPECT_EQ(std::u16string(buffer), u"/home/user/");
    Fill(buffer, u"");
    EXPECT_EQ(PathAddBackslashW(buffer), buffer);  // nothing to end
    EXPECT_EQ(std::u16string(buffer), u"");
    Fill(buffer, std::u16string(MAX_PATH - 1, u'x'));
    EXPECT_EQ(PathAddBackslashW(buffer), nullptr);  // no room
    EXPECT_EQ(std::u16string(buffer).size(), static_cast<size_t>(MAX_PATH - 1));
}

TEST(PathFunctions, StripToRootKeepsTheRootOfAnAbsolutePath) {
    WCHAR buffer[MAX_PATH];
    Fill(buffer, u"/home/user/work");
    EXPECT_TRUE(PathStripToRootW(buffer));
    EXPECT_EQ(std::u16string(buffer), u"/");
    Fill(buffer, u"relative/path");
    EXPECT_FALSE(PathStripToRootW(buffer));
    EXPECT_EQ(std::u16string(buffer), u"");
}

TEST(MessageBox, RecordsAndWritesOneLineToStandardError) {
    EXPECT_EQ(platform::testing::MessageBoxCount(), 0u);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(MessageBoxW(nullptr, u"Can't open log file\n/x.mlg", u"ORVANE KESTREL", MB_ICONHAND | MB_SYSTEMMODAL), IDOK);
    std::string written = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(written, "ORVANE KESTREL: Can't open log file /x.mlg\n");
    EXPECT_EQ(platform::testing::MessageBoxCount(), 1u);
    EXPECT_EQ(platform::testing::LastMessageBoxText(), u"Can't open log file\n/x.mlg");
    EXPECT_EQ(platform::testing::LastMessageBoxCaption(), u"ORVANE KESTREL");
    EXPECT_EQ(platform::testing::LastMessageBoxStyle(), 0x1010u);
    EXPECT_EQ(MessageBoxW(nullptr, u"?", u"c", MB_YESNO), IDYES);

    platform::testing::SetMessageBoxesSilent(true);
    ::testing::internal::CaptureStderr();
    MessageBoxW(nullptr, u"quiet", u"c", MB_OK);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(platform::testing::MessageBoxCount(), 3u);

    platform::testing::FailNthCall("MessageBoxW", 1, E_FAIL);
    EXPECT_EQ(MessageBoxW(nullptr, u"x", u"c", MB_OK), 0);
    EXPECT_EQ(platform::testing::MessageBoxCount(), 3u);
}

}  // namespace
