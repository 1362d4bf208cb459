// Opening and creating compound files by path: the arguments and modes refused, what the file
// system says about a path as the storage codes Windows gives, paths beyond ASCII and relative
// to the current folder, temporary files, the storage-file check, and images held in memory.
#include "storage/storage_test_util.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <fstream>
#include <string>

using namespace storage_test;
using platform::ComPtr;
namespace fs = std::filesystem;

namespace {

HRESULT OpenFile(const std::u16string& path, DWORD mode, ComPtr<IStorage>& out) {
    return StgOpenStorage(path.c_str(), nullptr, mode, nullptr, 0, out.Put());
}
HRESULT CreateFile(const std::u16string& path, DWORD mode, ComPtr<IStorage>& out) {
    return StgCreateDocfile(path.c_str(), mode, 0, out.Put());
}

void WriteBytes(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

TEST(StoragePaths, ArgumentsAndModesRefusedBeforeThePathIsTried) {
    TempDir dir;
    ComPtr<IStorage> storage;
    ASSERT_EQ(CreateFile(Wide(dir.File("a.stg")), STGM_CREATE | kReadWriteExclusive, storage), S_OK);
    storage.Reset();
    const std::u16string path = Wide(dir.File("a.stg"));
    IStorage* raw = reinterpret_cast<IStorage*>(1);
    EXPECT_EQ(StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, nullptr),
              STG_E_INVALIDPOINTER);
    EXPECT_EQ(StgOpenStorage(path.c_str(), reinterpret_cast<IStorage*>(1), STGM_READ, nullptr, 0, &raw),
              STG_E_INVALIDFUNCTION);
    EXPECT_EQ(raw, nullptr);
    OLECHAR name[] = u"x";
    OLECHAR* exclude[] = {name, nullptr};
    EXPECT_EQ(StgOpenStorage(path.c_str(), nullptr, STGM_READ, exclude, 0, &raw), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(StgOpenStorage(path.c_str(), nullptr, STGM_READ, nullptr, 1, &raw), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(StgOpenStorage(nullptr, nullptr, STGM_READ, nullptr, 0, &raw), STG_E_INVALIDNAME);
    EXPECT_EQ(OpenFile(u"", STGM_READ, storage), STG_E_INVALIDNAME);
    const char16_t loneHigh[] = {u'/', 0xD800, u'x', 0}, loneLow[] = {u'/', 0xDC00, 0}, highAtEnd[] = {u'/', 0xDBFF, 0},
                   highBeforeHigh[] = {u'/', 0xD800, 0xE000, 0};
    for (const char16_t* bad : {loneHigh, loneLow, highAtEnd, highBeforeHigh}) {
        EXPECT_EQ(OpenFile(bad, STGM_READ, storage), STG_E_INVALIDNAME);
        EXPECT_EQ(CreateFile(bad, STGM_CREATE | kReadWriteExclusive, storage), STG_E_INVALIDNAME);
        EXPECT_EQ(StgIsStorageFile(bad), STG_E_INVALIDNAME);
    }
    // Open modes: unknown bits, no access, share beyond the known ones, creation flags, and
    // writing that is not direct and exclusive.
    for (DWORD mode : {DWORD(0x100), DWORD(3), DWORD(STGM_READ | 0x50), DWORD(STGM_READ | STGM_CREATE),
                       DWORD(STGM_READ | STGM_CONVERT), DWORD(STGM_READ | STGM_DELETEONRELEASE),
                       DWORD(STGM_READ | STGM_PRIORITY), DWORD(STGM_READ | STGM_SIMPLE),
                       DWORD(STGM_READ | STGM_DIRECT_SWMR), DWORD(STGM_READ | STGM_NOSCRATCH),
                       DWORD(STGM_READ | STGM_NOSNAPSHOT), DWORD(kReadWriteExclusive | STGM_TRANSACTED),
                       DWORD(STGM_READWRITE | STGM_SHARE_DENY_WRITE)})
        EXPECT_EQ(OpenFile(path, mode, storage), STG_E_INVALIDFLAG) << std::hex << mode;
    ASSERT_EQ(OpenFile(path, STGM_READ | STGM_TRANSACTED | STGM_SHARE_DENY_WRITE, storage), S_OK)
        << "transacted reading is reading";
    storage.Reset();
    // Creation modes.
    EXPECT_EQ(StgCreateDocfile(path.c_str(), STGM_CREATE | kReadWriteExclusive, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(StgCreateDocfile(path.c_str(), STGM_CREATE | kReadWriteExclusive, 1, &raw), STG_E_INVALIDPARAMETER);
    for (DWORD mode : {DWORD(STGM_CREATE | kReadWriteExclusive | 0x400), DWORD(STGM_CREATE | 3 | STGM_SHARE_EXCLUSIVE),
                       DWORD(STGM_CREATE | STGM_READWRITE | 0x50), DWORD(STGM_CREATE | STGM_READ | STGM_SHARE_EXCLUSIVE),
                       DWORD(STGM_CREATE | kReadWriteExclusive | STGM_TRANSACTED),
                       DWORD(STGM_CREATE | STGM_READWRITE | STGM_SHARE_DENY_WRITE)})
        EXPECT_EQ(CreateFile(path, mode, storage), STG_E_INVALIDFLAG) << std::hex << mode;
}

TEST(StoragePaths, TheFileSystemsAnswersAsStorageCodes) {
    TempDir dir;
    ComPtr<IStorage> storage;
    WriteBytes(dir.File("plain"), "not a folder");
    fs::create_directory(dir.File("folder"));
    fs::create_symlink(dir.File("loop-b"), dir.File("loop-a"));
    fs::create_symlink(dir.File("loop-a"), dir.File("loop-b"));
    const std::string longName(300, 'n');
    const struct {
        std::string path;
        DWORD mode;
        HRESULT expected;
    } cases[] = {
        {dir.File("missing.stg"), STGM_READ, STG_E_FILENOTFOUND},
        {dir.File("missing/x.stg"), STGM_READ, STG_E_PATHNOTFOUND},
        {dir.File("plain/x.stg"), STGM_READ, STG_E_PATHNOTFOUND},
        {dir.File("loop-a"), STGM_READ, STG_E_PATHNOTFOUND},
        {dir.File(longName), STGM_READ, STG_E_INVALIDNAME},
        {dir.File("folder"), STGM_READ, STG_E_ACCESSDENIED},
        {dir.File("folder"), kReadWriteExclusive, STG_E_ACCESSDENIED},
        {"/dev/null", STGM_READ, STG_E_FILENOTFOUND},  // no regular file
        {dir.File("plain"), STGM_READ, STG_E_FILEALREADYEXISTS},  // no compound file
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.size() > 80 ? c.path.substr(0, 80) + "..." : c.path);
        EXPECT_EQ(OpenFile(Wide(c.path), c.mode, storage), c.expected);
        EXPECT_FALSE(storage);
    }
    EXPECT_EQ(CreateFile(Wide(dir.File("missing/x.stg")), STGM_CREATE | kReadWriteExclusive, storage), STG_E_PATHNOTFOUND);
    EXPECT_EQ(CreateFile(Wide(dir.File("folder")), STGM_CREATE | kReadWriteExclusive, storage), STG_E_ACCESSDENIED);
    EXPECT_EQ(CreateFile(Wide(dir.File("plain")), kReadWriteExclusive, storage), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(CreateFile(Wide(dir.File("plain/x.stg")), STGM_CREATE | kReadWriteExclusive, storage), STG_E_PATHNOTFOUND);
    EXPECT_EQ(CreateFile(u"", STGM_CREATE | kReadWriteExclusive, storage), STG_E_INVALIDNAME);
    EXPECT_EQ(OpenFile(u"/no-such-file.stg", STGM_READ, storage), STG_E_FILENOTFOUND) << "a file in the root folder";
    // Read-only by its bits, whoever asks; and a folder nobody may write to takes no new file.
    WriteBytes(dir.File("locked"), "");
    fs::permissions(dir.File("locked"), fs::perms::owner_read);
    EXPECT_EQ(CreateFile(Wide(dir.File("locked")), STGM_CREATE | kReadWriteExclusive, storage), STG_E_ACCESSDENIED);
    fs::create_directory(dir.File("sealed"));
    fs::permissions(dir.File("sealed"), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(CreateFile(Wide(dir.File("sealed/x.stg")), STGM_CREATE | kReadWriteExclusive, storage), STG_E_ACCESSDENIED);

    // Out of descriptors: the storage's own code for it.
    ASSERT_EQ(CreateFile(Wide(dir.File("ok.stg")), STGM_CREATE | kReadWriteExclusive, storage), S_OK);
    storage.Reset();
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    int probe = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(probe, 0);
    rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(probe);  // every lower descriptor is taken
    ::close(probe);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    const HRESULT starved = OpenFile(Wide(dir.File("ok.stg")), STGM_READ | STGM_SHARE_DENY_WRITE, storage);
    setrlimit(RLIMIT_NOFILE, &saved);
    EXPECT_EQ(starved, STG_E_TOOMANYOPENFILES);
}

TEST(StoragePaths, PathsBeyondAsciiAndRelativeToTheCurrentFolder) {
    TempDir dir;
    const std::u16string name = u"caf\u00e9 \u4e2d \U0001F600.stg";  // two-, three- and four-byte UTF-8
    const std::u16string path = Wide(dir.Path()) + u"/" + name;
    ComPtr<IStorage> storage;
    ASSERT_EQ(CreateFile(path, STGM_CREATE | kReadWriteExclusive, storage), S_OK);
    storage.Reset();
    EXPECT_TRUE(fs::exists(fs::path(dir.Path()) / fs::path(name)));
    ASSERT_EQ(OpenFile(path, STGM_READ | STGM_SHARE_DENY_WRITE, storage), S_OK);
    STATSTG stat{};
    ASSERT_EQ(storage->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(std::u16string(stat.pwcsName), path) << "the root is named by its path";
    CoTaskMemFree(stat.pwcsName);
    storage.Reset();
    EXPECT_EQ(StgIsStorageFile(path.c_str()), S_OK);

    // A private-use character (three bytes in UTF-8, beyond the surrogates) is a character too.
    const std::u16string privateUse = Wide(dir.Path()) + u"/\uE000.stg";
    ASSERT_EQ(CreateFile(privateUse, STGM_CREATE | kReadWriteExclusive, storage), S_OK);
    storage.Reset();
    EXPECT_TRUE(fs::exists(fs::path(dir.Path()) / fs::path(u"\uE000.stg")));
    // Written alone: a write-only open holds the file as a reading one would not.
    ASSERT_EQ(OpenFile(privateUse, STGM_WRITE | STGM_SHARE_EXCLUSIVE, storage), S_OK);
    ComPtr<IStorage> reader;
    EXPECT_EQ(OpenFile(privateUse, STGM_READ | STGM_SHARE_DENY_NONE, reader), STG_E_SHAREVIOLATION);
    storage.Reset();

    // Relative to the current folder: named by the absolute path.
    const fs::path before = fs::current_path();
    fs::current_path(dir.Path());
    const HRESULT created = CreateFile(u"relative.stg", STGM_CREATE | kReadWriteExclusive, storage);
    storage.Reset();
    const HRESULT opened = OpenFile(u"relative.stg", STGM_READ | STGM_SHARE_DENY_WRITE, storage);
    fs::current_path(before);
    ASSERT_EQ(created, S_OK);
    ASSERT_EQ(opened, S_OK);
    ASSERT_EQ(storage->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(std::u16string(stat.pwcsName), Wide(fs::canonical(dir.File("relative.stg")).string()));
    CoTaskMemFree(stat.pwcsName);
    storage.Reset();

    // A current folder that was removed has no path: nothing relative to it is found.
    fs::create_directory(dir.File("gone"));
    fs::current_path(dir.File("gone"));
    fs::remove(dir.File("gone"));
    const HRESULT lost = OpenFile(u"relative.stg", STGM_READ | STGM_SHARE_DENY_WRITE, storage);
    fs::current_path(before);
    EXPECT_EQ(lost, STG_E_FILENOTFOUND);
}

TEST(StoragePaths, TemporaryFilesLiveWhileTheyAreOpen) {
    TempDir dir;
    const char* old = std::getenv("TMPDIR");
    const std::string saved = old ? old : "";
    setenv("TMPDIR", dir.Path().c_str(), 1);
    ComPtr<IStorage> storage;
    const HRESULT created = StgCreateDocfile(nullptr, kReadWriteExclusive, 0, storage.Put());
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir.Path())) files += entry.path().filename().string().rfind("stg-", 0) == 0;
    const bool writable = storage && storage->CreateStream(u"s", kReadWriteExclusive, 0, 0, nullptr) == STG_E_INVALIDPOINTER;
    storage.Reset();
    size_t after = 0;
    for (const auto& entry : fs::directory_iterator(dir.Path())) after += entry.path().filename().string().rfind("stg-", 0) == 0;
    setenv("TMPDIR", dir.File("missing").c_str(), 1);
    const HRESULT nowhere = StgCreateDocfile(nullptr, kReadWriteExclusive, 0, storage.Put());
    setenv("TMPDIR", "", 1);  // empty: the system's folder
    const HRESULT inTmp = StgCreateDocfile(nullptr, kReadWriteExclusive, 0, storage.Put());
    storage.Reset();
    if (old)
        setenv("TMPDIR", saved.c_str(), 1);
    else
        unsetenv("TMPDIR");
    ASSERT_EQ(created, S_OK);
    EXPECT_EQ(files, 1u) << "a temporary file in TMPDIR";
    EXPECT_TRUE(writable);
    EXPECT_EQ(after, 0u) << "removed with its last reference";
    EXPECT_EQ(nowhere, STG_E_PATHNOTFOUND);
    EXPECT_EQ(inTmp, S_OK);
}

TEST(StoragePaths, StorageFilesAreRecognisedByTheirHeader) {
    TempDir dir;
    ComPtr<IStorage> storage;
    ASSERT_EQ(CreateFile(Wide(dir.File("real.stg")), STGM_CREATE | kReadWriteExclusive, storage), S_OK);
    storage.Reset();
    WriteBytes(dir.File("short"), "\xD0\xCF\x11\xE0");
    WriteBytes(dir.File("text"), std::string(600, 't'));
    fs::create_directory(dir.File("folder"));
    EXPECT_EQ(StgIsStorageFile(Wide(dir.File("real.stg")).c_str()), S_OK);
    EXPECT_EQ(StgIsStorageFile(Wide(dir.File("short")).c_str()), S_FALSE);
    EXPECT_EQ(StgIsStorageFile(Wide(dir.File("text")).c_str()), S_FALSE);
    EXPECT_EQ(StgIsStorageFile(Wide(dir.File("folder")).c_str()), STG_E_ACCESSDENIED);
    EXPECT_EQ(StgIsStorageFile(Wide(dir.File("missing")).c_str()), STG_E_FILENOTFOUND);
    EXPECT_EQ(StgIsStorageFile(nullptr), STG_E_INVALIDNAME);
    EXPECT_EQ(StgIsStorageFile(u""), STG_E_INVALIDNAME);

    // An image in memory opens read-only; no image, or none behind a size, is refused.
    std::ifstream in(dir.File("real.stg"), std::ios::binary);
    std::string image((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(platform::testing::OpenStorageOnMemory(image.data(), image.size(), storage.Put()), S_OK);
    ComPtr<IStream> stream;
    EXPECT_EQ(storage->CreateStream(u"s", kReadWriteExclusive, 0, 0, stream.Put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(platform::testing::OpenStorageOnMemory(image.data(), image.size(), nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(platform::testing::OpenStorageOnMemory(nullptr, 10, storage.Put()), STG_E_INVALIDPOINTER);
    EXPECT_EQ(platform::testing::OpenStorageOnMemory(nullptr, 0, storage.Put()), STG_E_FILEALREADYEXISTS)
        << "an empty image is no compound file";
    EXPECT_EQ(platform::testing::OpenStorageOnMemory("xyz", 3, storage.Put()), STG_E_FILEALREADYEXISTS);
}

TEST(StoragePaths, SharingModesBetweenOpens) {
    TempDir dir;
    const std::u16string path = Wide(dir.File("shared.stg"));
    ComPtr<IStorage> first, second;
    ASSERT_EQ(CreateFile(path, STGM_CREATE | kReadWriteExclusive, first), S_OK);
    first.Reset();
    // One that denies readers keeps out every reader; readers that deny nothing share.
    ASSERT_EQ(OpenFile(path, STGM_READ | STGM_SHARE_DENY_READ, first), S_OK);
    EXPECT_EQ(OpenFile(path, STGM_READ | STGM_SHARE_DENY_NONE, second), STG_E_SHAREVIOLATION);
    first.Reset();
    ASSERT_EQ(OpenFile(path, STGM_READ | STGM_SHARE_DENY_NONE, first), S_OK);
    ASSERT_EQ(OpenFile(path, STGM_READ | STGM_SHARE_DENY_NONE, second), S_OK);
    ComPtr<IStorage> writer;
    EXPECT_EQ(OpenFile(path, kReadWriteExclusive, writer), STG_E_SHAREVIOLATION);
    EXPECT_EQ(OpenFile(path, STGM_READ | STGM_SHARE_DENY_READ, writer), STG_E_SHAREVIOLATION)
        << "it would deny what the others do";
}

}  // namespace
