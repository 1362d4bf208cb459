// The C runtime file services: share modes between opens of one process and of two, the
// no-replace rename, 64-bit sizes, the environment and fault injection.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform_testing.h"
#include "testing/processes.h"
#include "testing/test_files.h"
#include "windows.h"

namespace {

namespace fs = std::filesystem;

std::u16string Wide(const std::string& text) { return std::u16string(text.begin(), text.end()); }

class CrtFilesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder_.Made()); }
    std::string Path(const char* name) const { return dir_ + "/" + name; }
    std::u16string WPath(const char* name) const { return Wide(Path(name)); }

    platform::testing::TempFolder folder_{"crtfiles_test"};
    const std::string dir_ = folder_.Path().string();
};

struct ShareCase {
    const char16_t* firstMode;
    int firstShare;
    const char16_t* secondMode;
    int secondShare;
    bool secondOpens;
};

// The Windows sharing rules: the second open must not ask for an access the first denies, nor
// deny an access the first holds.
const ShareCase kShareCases[] = {
    {u"a+b", _SH_DENYWR, u"ab", _SH_DENYWR, false},  // two appenders of the log
    {u"a+b", _SH_DENYWR, u"r+b", _SH_DENYNO, false},
    {u"a+b", _SH_DENYWR, u"wb", _SH_DENYNO, false},
    {u"a+b", _SH_DENYWR, u"rb", _SH_DENYNO, true},   // readers may look while one writes
    {u"a+b", _SH_DENYWR, u"rb", _SH_DENYWR, false},  // would deny the writer that is there
    {u"ab", _SH_DENYNO, u"ab", _SH_DENYWR, false},   // a writer is open already
    {u"ab", _SH_DENYNO, u"ab", _SH_DENYNO, true},
    {u"rb", _SH_DENYWR, u"rb", _SH_DENYWR, true},
    {u"rb", _SH_DENYWR, u"ab", _SH_DENYNO, false},
    {u"rb", _SH_DENYNO, u"rb", _SH_DENYRW, false},
    {u"rb", _SH_DENYRW, u"rb", _SH_DENYNO, false},
    {u"wb", _SH_DENYRD, u"rb", _SH_DENYNO, false},
    {u"wb", _SH_DENYRD, u"ab", _SH_DENYNO, true},
};

TEST_F(CrtFilesTest, ShareModesBetweenOpensOfOneProcess) {
    std::u16string path = WPath("shared.bin");
    for (const ShareCase& c : kShareCases) {
        SCOPED_TRACE(testing::Message() << "first share " << c.firstShare << " second share " << c.secondShare
                                        << " second mode " << std::string(c.secondMode, c.secondMode + 2));
        FILE* first = _wfsopen(path.c_str(), c.firstMode, c.firstShare);
        ASSERT_NE(first, nullptr);
        // Another thread's open behaves as another process's would.
        FILE* second = nullptr;
        int error = 0;
        std::thread([&] {
            errno = 0;
            second = _wfsopen(path.c_str(), c.secondMode, c.secondShare);
            error = errno;
        }).join();
        EXPECT_EQ(second != nullptr, c.secondOpens);
        if (second) fclose(second);
        else EXPECT_EQ(error, EACCES);
        fclose(first);
        // Once the first is closed, nothing stands in the way.
        FILE* again = _wfsopen(path.c_str(), c.secondMode, c.secondShare);
        EXPECT_NE(again, nullptr);
        if (again) fclose(again);
    }
}

TEST_F(CrtFilesTest, DeniedWriteOpenTruncatesNothing) {
    std::u16string path = WPath("kept.bin");
    FILE* holder = _wfsopen(path.c_str(), u"a+b", _SH_DENYWR);
    ASSERT_NE(holder, nullptr);
    setvbuf(holder, nullptr, _IONBF, 0);
    ASSERT_EQ(fwrite("0123456789", 1, 10, holder), 10u);
    EXPECT_EQ(_wfsopen(path.c_str(), u"wb", _SH_DENYNO), nullptr);
    EXPECT_EQ(fs::file_size(Path("kept.bin")), 10u);
    fclose(holder);
}

TEST_F(CrtFilesTest, ShareModesBetweenProcesses) {
    std::u16string path = WPath("between.bin");
    FILE* held = nullptr;
    platform::testing::HeldByAnotherProcess other([&] { return (held = _wfsopen(path.c_str(), u"a+b", _SH_DENYWR)); },
                                                  [&] { if (held) fclose(held); });
    ASSERT_TRUE(other.Holding());
    errno = 0;
    EXPECT_EQ(_wfsopen(path.c_str(), u"a+b", _SH_DENYWR), nullptr);
    EXPECT_EQ(errno, EACCES);
    FILE* reader = _wfsopen(path.c_str(), u"rb", _SH_DENYNO);
    EXPECT_NE(reader, nullptr);
    if (reader) fclose(reader);
    EXPECT_TRUE(other.Release());
    FILE* after = _wfsopen(path.c_str(), u"a+b", _SH_DENYWR);
    EXPECT_NE(after, nullptr);
    if (after) fclose(after);
}

TEST_F(CrtFilesTest, OpenModesAndBadArguments) {
    std::u16string path = WPath("modes.txt");
    errno = 0;
    EXPECT_EQ(_wfsopen(path.c_str(), u"rb", _SH_DENYNO), nullptr);
    EXPECT_EQ(errno, ENOENT);
    FILE* f = _wfsopen(path.c_str(), u"wb", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    fputs("abc", f);
    fclose(f);
    f = _wfsopen(path.c_str(), u"ab", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(_fseeki64(f, 0, SEEK_SET), 0);
    fputs("def", f);  // appends whatever the position
    fclose(f);
    EXPECT_EQ(fs::file_size(Path("modes.txt")), 6u);
    EXPECT_EQ(_wfsopen(path.c_str(), u"wxb", _SH_DENYNO), nullptr);
    EXPECT_EQ(_wfsopen(path.c_str(), u"q", _SH_DENYNO), nullptr);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(_wfsopen(path.c_str(), u"rb", 0x55), nullptr);
    EXPECT_EQ(errno, EINVAL);
    fs::create_directory(Path("folder"));
    EXPECT_EQ(_wfsopen(WPath("folder").c_str(), u"rb", _SH_DENYNO), nullptr);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(_wfsopen(WPath("folder").c_str(), u"a+b", _SH_DENYWR), nullptr);
    EXPECT_EQ(errno, EACCES);
}

TEST_F(CrtFilesTest, NonAsciiPathsAreUtf8OnDisk) {
    std::u16string path = Wide(dir_) + u"/\u00e9t\u00e9 \u6587.mlg";
    FILE* f = _wfsopen(path.c_str(), u"wb", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_TRUE(fs::exists(dir_ + "/\xc3\xa9t\xc3\xa9 \xe6\x96\x87.mlg"));
    const char16_t lone[] = {u'/', u't', u'm', u'p', u'/', 0xD800, 0};
    EXPECT_EQ(_wfsopen(lone, u"wb", _SH_DENYNO), nullptr);
}

TEST_F(CrtFilesTest, RenameNeverReplacesAnExistingName) {
    for (const char* name : {"a", "b"}) {
        FILE* f = _wfsopen(WPath(name).c_str(), u"wb", _SH_DENYNO);
        ASSERT_NE(f, nullptr);
        fputs(name, f);
        fclose(f);
    }
    errno = 0;
    EXPECT_EQ(_wrename(WPath("a").c_str(), WPath("b").c_str()), -1);
    EXPECT_EQ(errno, EACCES);
    EXPECT_EQ(fs::file_size(Path("b")), 1u);
    EXPECT_TRUE(fs::exists(Path("a")));
    EXPECT_EQ(_wrename(WPath("a").c_str(), WPath("c").c_str()), 0);
    EXPECT_FALSE(fs::exists(Path("a")));
    EXPECT_TRUE(fs::exists(Path("c")));
    EXPECT_EQ(_wrename(WPath("missing").c_str(), WPath("d").c_str()), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(CrtFilesTest, StatReportsSizesBeyondFourGigabytes) {
    std::string path = Path("sparse.bin");
    int fd = open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 0x100000005LL), 0);  // sparse: nothing is written
    close(fd);
    struct _stat64 st {};
    ASSERT_EQ(_wstat64(Wide(path).c_str(), &st), 0);
    EXPECT_EQ(st.st_size, 0x100000005LL);
    EXPECT_EQ(st.st_mode & _S_IFMT, _S_IFREG);
    FILE* f = _wfsopen(Wide(path).c_str(), u"r+b", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(_fseeki64(f, 0, SEEK_END), 0);
    EXPECT_EQ(_ftelli64(f), 0x100000005LL);
    EXPECT_EQ(_chsize_s(_fileno(f), 7), 0);
    fclose(f);
    EXPECT_EQ(fs::file_size(path), 7u);
    errno = 0;
    EXPECT_EQ(_wstat64(WPath("none").c_str(), &st), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(CrtFilesTest, AttributesAndFolders) {
    EXPECT_EQ(GetFileAttributesW(WPath("none").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_TRUE(CreateDirectoryW(WPath("sub").c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryW(WPath("sub").c_str(), nullptr));  // exists
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_FALSE(CreateDirectoryW(WPath("no/such").c_str(), nullptr));  // parent missing
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(GetFileAttributesW(WPath("sub").c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
    FILE* f = _wfsopen(WPath("file").c_str(), u"wb", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    fclose(f);
    EXPECT_EQ(GetFileAttributesW(WPath("file").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    chmod(Path("file").c_str(), 0444);
    EXPECT_EQ(GetFileAttributesW(WPath("file").c_str()), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
}

TEST_F(CrtFilesTest, CurrentDirectoryAndTheSizeItNeeds) {
    const fs::path before = fs::current_path();
    fs::current_path(dir_);
    const std::u16string expected = fs::current_path().u16string();
    WCHAR buffer[MAX_PATH] = {};
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buffer), expected.size());
    EXPECT_EQ(std::u16string(buffer), expected);
    WCHAR small[4] = {u'k', u'e', u'p', u't'};
    EXPECT_EQ(GetCurrentDirectoryW(4, small), expected.size() + 1);  // the size needed, terminator included
    EXPECT_EQ(small[0], u'k');
    EXPECT_EQ(GetCurrentDirectoryW(0, nullptr), expected.size() + 1);
    platform::testing::FailNthCall("GetCurrentDirectoryW", 1, E_ACCESSDENIED);
    EXPECT_EQ(GetCurrentDirectoryW(MAX_PATH, buffer), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    fs::current_path(before);
}

TEST(CrtEnvironment, GetenvSizesAndMissingVariables) {
    setenv("CRTFILES_TEST_VALUE", "caf\xc3\xa9", 1);
    unsetenv("CRTFILES_TEST_MISSING");
    WCHAR buffer[8] = {u'x'};
    size_t needed = 99;
    EXPECT_EQ(_wgetenv_s(&needed, buffer, 8, u"CRTFILES_TEST_VALUE"), 0);
    EXPECT_EQ(needed, 5u);
    EXPECT_EQ(std::u16string(buffer), u"caf\u00e9");
    EXPECT_EQ(_wgetenv_s(&needed, buffer, 4, u"CRTFILES_TEST_VALUE"), ERANGE);
    EXPECT_EQ(needed, 5u);
    EXPECT_EQ(_wgetenv_s(&needed, nullptr, 0, u"CRTFILES_TEST_VALUE"), 0);
    EXPECT_EQ(needed, 5u);
    buffer[0] = u'x';
    EXPECT_EQ(_wgetenv_s(&needed, buffer, 8, u"CRTFILES_TEST_MISSING"), 0);
    EXPECT_EQ(needed, 0u);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(_wgetenv_s(nullptr, buffer, 8, u"CRTFILES_TEST_VALUE"), EINVAL);
    EXPECT_EQ(_wgetenv_s(&needed, nullptr, 8, u"CRTFILES_TEST_VALUE"), EINVAL);
}

TEST_F(CrtFilesTest, EveryOperationConsultsFaultInjection) {
    FILE* f = _wfsopen(WPath("x").c_str(), u"wb", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    fclose(f);
    platform::testing::FailNthCall("_wfsopen", 2, HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    f = _wfsopen(WPath("x").c_str(), u"rb", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    fclose(f);
    errno = 0;
    EXPECT_EQ(_wfsopen(WPath("x").c_str(), u"rb", _SH_DENYNO), nullptr);
    EXPECT_EQ(errno, EACCES);

    platform::testing::FailNthCall("_wstat64", 1, E_FAIL);
    struct _stat64 st {};
    EXPECT_EQ(_wstat64(WPath("x").c_str(), &st), -1);
    platform::testing::FailNthCall("_wrename", 1, E_ACCESSDENIED);
    EXPECT_EQ(_wrename(WPath("x").c_str(), WPath("y").c_str()), -1);
    EXPECT_TRUE(fs::exists(Path("x")));
    platform::testing::FailNthCall("GetFileAttributesW", 1, E_FAIL);
    EXPECT_EQ(GetFileAttributesW(WPath("x").c_str()), INVALID_FILE_ATTRIBUTES);
    platform::testing::FailNthCall("CreateDirectoryW", 1, E_ACCESSDENIED);
    EXPECT_FALSE(CreateDirectoryW(WPath("d").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(fs::exists(Path("d")));
    platform::testing::FailNthCall("_wgetenv_s", 1, E_INVALIDARG);
    size_t needed = 0;
    WCHAR buffer[4];
    EXPECT_EQ(_wgetenv_s(&needed, buffer, 4, u"HOME"), EINVAL);
    f = _wfsopen(WPath("x").c_str(), u"r+b", _SH_DENYNO);
    ASSERT_NE(f, nullptr);
    platform::testing::FailNthCall("_chsize_s", 1, HRESULT_FROM_WIN32(ERROR_DISK_FULL));
    EXPECT_EQ(_chsize_s(_fileno(f), 100), ENOSPC);
    platform::testing::FailNthCall("_fseeki64", 1, E_FAIL);
    EXPECT_EQ(_fseeki64(f, 0, SEEK_END), -1);
    platform::testing::FailNthCall("_ftelli64", 1, E_FAIL);
    EXPECT_EQ(_ftelli64(f), -1);
    platform::testing::FailNthCall("_fileno", 1, E_FAIL);
    EXPECT_EQ(_fileno(f), -1);
    fclose(f);
    EXPECT_EQ(fs::file_size(Path("x")), 0u);
}

}  // namespace
