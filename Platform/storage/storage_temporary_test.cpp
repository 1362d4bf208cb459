// The temporary images of saves: one name per file, beside it; a killed save's leftover is
// removed by the next exclusive open, which looks at that name alone; a save still running
// (its share locks held) keeps its image.
#include "storage/storage_test_util.h"

#include <fcntl.h>

#include "storage/storage_internal.h"

using namespace storage_test;
using platform::ComPtr;
using platform::storage::TemporaryImagePath;

namespace {

void MakeFile(const std::string& path, const std::vector<BYTE>& content) {
    ComPtr<IStorage> storage;
    ASSERT_EQ(Create(path, &storage), S_OK);
    PutStream(storage.Get(), u"s", content);
}

bool Exists(const std::string& path) { return std::filesystem::exists(std::filesystem::symlink_status(path)); }

// Holds the share locks a running save holds on its image, as another process would.
class RunningSave {
public:
    explicit RunningSave(const std::string& image) {
        fd_ = ::open(image.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = 0x7FFFFF01;
        lock.l_len = 4;
        locked_ = fd_ >= 0 && ::fcntl(fd_, F_OFD_SETLK, &lock) == 0;
    }
    ~RunningSave() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Locked() const { return locked_; }

private:
    int fd_ = -1;
    bool locked_ = false;
};

}  // namespace

TEST(StorageTemporary, NamedAfterTheFileBesideIt) {
    EXPECT_EQ(TemporaryImagePath("/data/vault/a.msg"), "/data/vault/.a.msg.saving");
    EXPECT_EQ(TemporaryImagePath("/a.msg"), "/.a.msg.saving");
    // Long names keep their start and a hash of the whole name, within the file system's limit.
    const std::string start(245, 'x');
    const std::string first = TemporaryImagePath("/d/" + start + "1.msg");
    const std::string second = TemporaryImagePath("/d/" + start + "2.msg");
    EXPECT_NE(first, second);
    for (const std::string& image : {first, second}) {
        const std::string name = image.substr(3);
        EXPECT_LE(name.size(), 255u) << name;
        EXPECT_EQ(name.rfind("." + start.substr(0, 200), 0), 0u) << name;
    }
    EXPECT_EQ(TemporaryImagePath("/d/" + std::string(247, 'y')).size(), 3 + 1 + 247 + 7u);
}

// A leftover image goes with the next exclusive open; reading opens leave it; nothing else in
// the folder is touched, not even a name that looks like an image of another file.
TEST(StorageTemporary, ExclusiveOpenRemovesTheLeftover) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    MakeFile(path, {1, 2, 3});
    const std::string leftover = TemporaryImagePath(path);
    WriteFileBytes(leftover, std::vector<BYTE>(700, 9));
    const std::string others[] = {dir.File(".a.msg.Ab12Cd"), dir.File(".b.msg.saving"), dir.File("a.msg.saving")};
    for (const std::string& other : others) WriteFileBytes(other, {1});
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
        EXPECT_TRUE(Exists(leftover));
    }
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        EXPECT_FALSE(Exists(leftover));
        EXPECT_EQ(GetStream(storage.Get(), u"s"), (std::vector<BYTE>{1, 2, 3}));
    }
    for (const std::string& other : others) EXPECT_TRUE(Exists(other)) << other;
    // A symbolic link in its place is a leftover too (saves only ever write plain files).
    ASSERT_EQ(::symlink("/nonexistent", leftover.c_str()), 0);
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        EXPECT_FALSE(Exists(leftover));
    }
}

// An image whose share locks are held belongs to a save that is still running: opening leaves
// it, and a save of this file does not take the name from it.
TEST(StorageTemporary, ARunningSaveKeepsItsImage) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    MakeFile(path, {1, 2, 3});
    const std::string image = TemporaryImagePath(path);
    const auto original = ReadFileBytes(path);
    {
        RunningSave running(image);
        ASSERT_TRUE(running.Locked());
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        EXPECT_TRUE(Exists(image));
        PutStream(storage.Get(), u"s", {4, 5});
        EXPECT_EQ(storage->Commit(STGC_DEFAULT), STG_E_SHAREVIOLATION);
        EXPECT_EQ(ReadFileBytes(path), original);
        EXPECT_TRUE(Exists(image));
        storage.Reset();  // the release's save fails the same way, quietly
        EXPECT_EQ(ReadFileBytes(path), original);
    }
    // Once that save is gone its image is a leftover like any other.
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
    EXPECT_FALSE(Exists(image));
    PutStream(storage.Get(), u"s", {4, 5});
    ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    EXPECT_FALSE(Exists(image));
    storage.Reset();
    ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
    EXPECT_EQ(GetStream(storage.Get(), u"s"), (std::vector<BYTE>{4, 5}));
}

// Creating a file where a killed creation left its image: the leftover is replaced.
TEST(StorageTemporary, CreatingOverALeftoverSucceeds) {
    TempDir dir;
    const std::string path = dir.File("new.msg");
    WriteFileBytes(TemporaryImagePath(path), std::vector<BYTE>(100, 1));
    MakeFile(path, {7});
    EXPECT_FALSE(Exists(TemporaryImagePath(path)));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
    EXPECT_EQ(GetStream(storage.Get(), u"s"), (std::vector<BYTE>{7}));
}

// Files with names near the file system's limit save through their hashed image name.
TEST(StorageTemporary, LongNamesSaveAndClearTheirLeftovers) {
    TempDir dir;
    const std::string first = dir.File(std::string(245, 'n') + "-1.msg"),
                      second = dir.File(std::string(245, 'n') + "-2.msg");
    MakeFile(first, {1});
    MakeFile(second, {2});
    WriteFileBytes(TemporaryImagePath(first), {0});
    WriteFileBytes(TemporaryImagePath(second), {0});
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(first, kReadWriteExclusive, &storage), S_OK);
        EXPECT_FALSE(Exists(TemporaryImagePath(first)));
        EXPECT_TRUE(Exists(TemporaryImagePath(second)));
        PutStream(storage.Get(), u"s", {3});
        ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    }
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(first, kReadDenyWrite, &storage), S_OK);
    EXPECT_EQ(GetStream(storage.Get(), u"s"), (std::vector<BYTE>{3}));
    storage.Reset();
    ASSERT_EQ(Open(second, kReadDenyWrite, &storage), S_OK);
    EXPECT_EQ(GetStream(storage.Get(), u"s"), (std::vector<BYTE>{2}));
}
