// The temporary images of saves: named after the file beside it, distinct for distinct files
// and valid text; a killed save's leftover is recognised and removed by the next exclusive open;
// whatever else lies at the name (a user's file, a link, a copy, another file's image) is never
// removed or changed; a save still running keeps its image.
#include "storage/storage_test_util.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <sys/xattr.h>

#include <functional>
#include <map>
#include <random>

#include "base/native_name.h"
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

size_t EntriesIn(const std::string& folder) {
    return size_t(std::distance(std::filesystem::directory_iterator(folder), {}));
}

std::vector<BYTE> StreamOf(const std::string& path) {
    ComPtr<IStorage> storage;
    EXPECT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
    return storage ? GetStream(storage.Get(), u"s") : std::vector<BYTE>{};
}

// Runs `body` in a child process that dies just before the nth call of `operation` in it, as a
// save killed at that moment; returns once the child is gone.
void KilledAt(const char* operation, unsigned nth, const std::function<void()>& body) {
    const pid_t child = ::fork();
    if (child == 0) {
        platform::testing::RunBeforeNthCall(operation, nth, [](void*) { ::_exit(0); }, nullptr);
        body();
        ::_exit(1);  // the operation never came
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child did not die at " << operation;
}

// Leaves the image of a save of `path` (writing `content` into stream "s") killed just before
// its rename.
void LeaveKilledSave(const std::string& path, const std::vector<BYTE>& content) {
    KilledAt("storage.rename", 1, [&] {
        ComPtr<IStorage> storage;
        if (Open(path, kReadWriteExclusive, &storage) != S_OK) ::_exit(2);
        PutStream(storage.Get(), u"s", content);
        storage->Commit(STGC_DEFAULT);
    });
    ASSERT_TRUE(Exists(TemporaryImagePath(path)));
}

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

bool ValidUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : 9;
        if (extra == 9 || i + extra >= text.size()) return false;
        for (size_t k = 1; k <= extra; ++k)
            if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
        i += extra + 1;
    }
    return true;
}

std::string NameOf(const std::string& path) { return path.substr(path.rfind('/') + 1); }

}  // namespace

TEST(StorageTemporary, NamedAfterTheFileBesideIt) {
    EXPECT_EQ(TemporaryImagePath("/data/vault/a.msg"), "/data/vault/.a.msg.saving");
    EXPECT_EQ(TemporaryImagePath("/a.msg"), "/.a.msg.saving");
    EXPECT_EQ(TemporaryImagePath("/d/" + std::string(247, 'y')), "/d/." + std::string(247, 'y') + ".saving");
    // Longer names keep their start and a hash of the whole name, within the file system's limit.
    const std::string start(245, 'x');
    const std::string first = TemporaryImagePath("/d/" + start + "1.msg");
    const std::string second = TemporaryImagePath("/d/" + start + "2.msg");
    EXPECT_NE(first, second);
    for (const std::string& image : {first, second}) {
        EXPECT_LE(NameOf(image).size(), 255u) << image;
        EXPECT_EQ(NameOf(image).rfind("." + start.substr(0, 200), 0), 0u) << image;
    }
    // A long name and the name made of its cut and hash (as a file may well be called) do not
    // share one: neither do names made of another's temporary name.
    const std::string longName = std::string(250, 'q');
    const std::string image = NameOf(TemporaryImagePath("/d/" + longName));
    std::string lookalike = image.substr(1);
    if (lookalike.size() > 7 && lookalike.compare(lookalike.size() - 7, 7, ".saving") == 0)
        lookalike.resize(lookalike.size() - 7);
    EXPECT_NE(TemporaryImagePath("/d/" + lookalike), TemporaryImagePath("/d/" + longName));
    EXPECT_NE(TemporaryImagePath("/d/" + longName.substr(0, 200) + image.substr(201)),
              TemporaryImagePath("/d/" + longName));
    // A cut never falls inside a character: 199 ASCII bytes, then three-byte characters.
    std::string euros(199, 'e');
    while (euros.size() < 250) euros += "\xE2\x82\xAC";
    const std::string cut = NameOf(TemporaryImagePath("/d/" + euros));
    EXPECT_TRUE(ValidUtf8(cut)) << cut;
    EXPECT_EQ(cut.rfind("." + std::string(199, 'e') + ".saving.", 0), 0u) << cut;
}

// For any names: distinct names have distinct temporary names, each within the file system's
// limit, text when the name is text, beside the file, and a name that fits kept whole.
TEST(StorageTemporary, DistinctNamesNeverShareATemporaryName) {
    const std::string pieces[] = {"a", "B", ".", "saving", "~", "0", "f", "\xC3\xA9", "\xE2\x82\xAC",
                                  "\xF0\x9F\x93\xA7", " ", "-"};
    std::mt19937 random(20240518);
    std::map<std::string, std::string> seen;  // temporary name -> the name it came from
    std::vector<std::string> images;
    for (int i = 0; i < 20000; ++i) {
        std::string name;
        const size_t target = 1 + random() % 255;
        // Near the limit often, where names are cut.
        const size_t length = random() % 3 == 0 ? 240 + random() % 16 : target;
        while (name.size() < length) {
            const std::string& piece = pieces[random() % std::size(pieces)];
            if (name.size() + piece.size() > 255) break;
            name += piece;
        }
        if (name.empty() || name == "." || name == "..") continue;
        if (random() % 4 == 0 && !images.empty()) {
            // A name made from another's temporary name: the look-alikes a cut could produce.
            name = NameOf(images[random() % images.size()]).substr(1);
            if (random() % 2 && name.size() > 7) name.resize(name.size() - 7);
        }
        const std::string image = TemporaryImagePath("/d/" + name);
        ASSERT_EQ(image.rfind("/d/.", 0), 0u);
        EXPECT_LE(NameOf(image).size(), 255u) << name;
        EXPECT_EQ(NameOf(image).find('/'), std::string::npos);
        if (ValidUtf8(name)) {
            EXPECT_TRUE(ValidUtf8(NameOf(image))) << name;
        }
        if (name.size() <= 247) {
            EXPECT_EQ(NameOf(image), "." + name + ".saving");
        }
        auto [at, added] = seen.emplace(image, name);
        if (added) images.push_back(image);
        EXPECT_TRUE(added || at->second == name) << "'" << name << "' and '" << at->second << "' share " << image;
    }
}

// A killed save's image is recognised: reading opens leave it, the next exclusive open removes
// it, and the file is as it was before that save.
TEST(StorageTemporary, AKilledSavesImageIsRemovedByTheNextExclusiveOpen) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    MakeFile(path, {1, 2, 3});
    LeaveKilledSave(path, {4, 5, 6});
    const std::string leftover = TemporaryImagePath(path);
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
        PutStream(storage.Get(), u"s", {7});
        ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    }
    EXPECT_EQ(StreamOf(path), std::vector<BYTE>{7});
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
    // The file a save made carries no record of an image: a copy of it is no leftover.
    EXPECT_LT(::getxattr(path.c_str(), "user.msgplugin.save-image", nullptr, 0), 0);
    // Killed at other moments (while writing, before the flush), a save leaves an image that is
    // known as well, or nothing.
    for (const char* moment : {"storage.write", "storage.fsync"}) {
        SCOPED_TRACE(moment);
        KilledAt(moment, 1, [&] {
            ComPtr<IStorage> storage;
            if (Open(path, kReadWriteExclusive, &storage) != S_OK) ::_exit(2);
            PutStream(storage.Get(), u"s", Pattern(10000, 3));
            storage->Commit(STGC_DEFAULT);
        });
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        EXPECT_EQ(EntriesIn(dir.Path()), 1u);
        EXPECT_EQ(GetStream(storage.Get(), u"s"), std::vector<BYTE>{7});
    }
}

// Files at the temporary name that no save of this file wrote stay exactly as they are, through
// opens and saves: a user's file, a copy of an image, another file's image moved there, a
// symbolic link to a real file, a folder. A save that finds one there fails and changes nothing.
TEST(StorageTemporary, WhatASaveDidNotWriteIsNeverTouched) {
    TempDir dir;
    const std::string path = dir.File("report.msg"), other = dir.File("other.msg");
    MakeFile(path, {1, 2, 3});
    MakeFile(other, {9});
    const std::string image = TemporaryImagePath(path);
    const std::string target = dir.File("notes.txt");
    const std::vector<BYTE> notes = {'n', 'o', 't', 'e', 's', '\n'};
    struct Occupant {
        const char* what;
        std::function<void()> place;
    } occupants[] = {
        {"a user's file", [&] { WriteFileBytes(image, notes); }},
        {"a copy of a killed save's image",
         [&] {
             LeaveKilledSave(path, {4});
             const auto bytes = ReadFileBytes(image);
             char record[512];
             const ssize_t size = ::getxattr(image.c_str(), "user.msgplugin.save-image", record, sizeof record);
             ASSERT_GT(size, 0);
             // Kept aside, so the copy cannot be given the image's inode number again.
             ASSERT_EQ(::rename(image.c_str(), dir.File("kept").c_str()), 0);
             WriteFileBytes(image, bytes);  // a new file: the record copied, the inode not
             ASSERT_EQ(::setxattr(image.c_str(), "user.msgplugin.save-image", record, size_t(size), 0), 0);
         }},
        {"another file's killed image, moved here",
         [&] {
             LeaveKilledSave(other, {8});
             ASSERT_EQ(::rename(TemporaryImagePath(other).c_str(), image.c_str()), 0);
         }},
        {"a symbolic link to a real file",
         [&] {
             WriteFileBytes(target, notes);
             ASSERT_EQ(::symlink("notes.txt", image.c_str()), 0);
         }},
        {"a dangling symbolic link", [&] { ASSERT_EQ(::symlink("nowhere.txt", image.c_str()), 0); }},
        {"a folder", [&] { ASSERT_EQ(::mkdir(image.c_str(), 0700), 0); }},
    };
    for (const Occupant& occupant : occupants) {
        SCOPED_TRACE(occupant.what);
        occupant.place();
        struct stat before;
        ASSERT_EQ(::lstat(image.c_str(), &before), 0);
        const bool isFile = S_ISREG(before.st_mode);
        const auto content = isFile ? ReadFileBytes(image) : std::vector<BYTE>{};
        const auto targetContent = Exists(target) ? ReadFileBytes(target) : std::vector<BYTE>{};
        const auto original = ReadFileBytes(path);
        {
            ComPtr<IStorage> storage;
            ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
            EXPECT_EQ(GetStream(storage.Get(), u"s"), (std::vector<BYTE>{1, 2, 3}));
            PutStream(storage.Get(), u"s", {5, 5});
            EXPECT_EQ(storage->Commit(STGC_DEFAULT), STG_E_ACCESSDENIED);
        }  // the release's save fails the same way, quietly
        EXPECT_EQ(ReadFileBytes(path), original);
        struct stat after;
        ASSERT_EQ(::lstat(image.c_str(), &after), 0) << "removed";
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_mode, before.st_mode);
        EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
        EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
        if (isFile) {
            EXPECT_EQ(ReadFileBytes(image), content);
        }
        if (Exists(target)) {
            EXPECT_EQ(ReadFileBytes(target), targetContent) << "the link's target";
        }
        EXPECT_EQ(StreamOf(other), std::vector<BYTE>{9});
        // Once the user takes it away, saving works again.
        std::filesystem::remove(image);
        std::filesystem::remove(target);
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        PutStream(storage.Get(), u"s", {1, 2, 3});
        EXPECT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    }
}

// Where the image cannot be marked (a file system without extended attributes), saves work, and
// a killed save's image cannot be told from a user's file: it is left for the user.
TEST(StorageTemporary, AnUnmarkedImageIsLeftAlone) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    MakeFile(path, {1});
    {
        platform::testing::FailNthCall("storage.mark", 1, E_FAIL, 0);
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        PutStream(storage.Get(), u"s", {2});
        EXPECT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
        platform::testing::ResetFaults();
    }
    EXPECT_EQ(StreamOf(path), std::vector<BYTE>{2});
    KilledAt("storage.rename", 1, [&] {
        platform::testing::FailNthCall("storage.mark", 1, E_FAIL, 0);
        ComPtr<IStorage> storage;
        if (Open(path, kReadWriteExclusive, &storage) != S_OK) ::_exit(2);
        PutStream(storage.Get(), u"s", {3});
        storage->Commit(STGC_DEFAULT);
    });
    const std::string leftover = TemporaryImagePath(path);
    const auto bytes = ReadFileBytes(leftover);
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
    EXPECT_EQ(ReadFileBytes(leftover), bytes);
    EXPECT_EQ(GetStream(storage.Get(), u"s"), std::vector<BYTE>{2});
}

// An image whose share locks are held belongs to a save that is still running: opening leaves
// it, and a save of this file does not take the name from it. Once that save is gone, its image
// goes as a killed save's does.
TEST(StorageTemporary, ARunningSaveKeepsItsImage) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    MakeFile(path, {1, 2, 3});
    LeaveKilledSave(path, {9});
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
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
    EXPECT_FALSE(Exists(image));
    PutStream(storage.Get(), u"s", {4, 5});
    ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    EXPECT_FALSE(Exists(image));
    storage.Reset();
    EXPECT_EQ(StreamOf(path), (std::vector<BYTE>{4, 5}));
}

// Creating a file where a killed creation of it left its image: the leftover is replaced.
TEST(StorageTemporary, CreatingOverALeftoverSucceeds) {
    TempDir dir;
    const std::string path = dir.File("new.msg");
    KilledAt("storage.rename", 1, [&] {
        ComPtr<IStorage> storage;
        Create(path, &storage);
    });
    ASSERT_TRUE(Exists(TemporaryImagePath(path)));
    ASSERT_FALSE(Exists(path));
    MakeFile(path, {7});
    EXPECT_FALSE(Exists(TemporaryImagePath(path)));
    EXPECT_EQ(EntriesIn(dir.Path()), 1u);
    EXPECT_EQ(StreamOf(path), std::vector<BYTE>{7});
}

// Files with names near the file system's limit save through their hashed image name, and each
// open clears its own file's leftover only.
TEST(StorageTemporary, LongNamesSaveAndClearTheirLeftovers) {
    TempDir dir;
    const std::string first = dir.File(std::string(245, 'n') + "-1.msg"),
                      second = dir.File(std::string(245, 'n') + "-2.msg");
    MakeFile(first, {1});
    MakeFile(second, {2});
    LeaveKilledSave(first, {0});
    LeaveKilledSave(second, {0});
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(first, kReadWriteExclusive, &storage), S_OK);
        EXPECT_FALSE(Exists(TemporaryImagePath(first)));
        EXPECT_TRUE(Exists(TemporaryImagePath(second)));
        PutStream(storage.Get(), u"s", {3});
        ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    }
    EXPECT_EQ(StreamOf(first), std::vector<BYTE>{3});
    EXPECT_EQ(StreamOf(second), std::vector<BYTE>{2});
}

// Only the save's own image takes the file's place: when the temporary name leads elsewhere by
// the time of the rename (someone put a file there), the save fails, that file stays as it is,
// and the original is untouched.
TEST(StorageTemporary, TheImageRenamedIsTheSavesOwn) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    MakeFile(path, {1, 2, 3});
    const auto original = ReadFileBytes(path);
    const std::string image = TemporaryImagePath(path);
    struct Context {
        std::string image, replacement;
    } context{image, dir.File("replacement")};
    const std::vector<BYTE> other = {'m', 'i', 'n', 'e'};
    WriteFileBytes(context.replacement, other);
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
    PutStream(storage.Get(), u"s", {4});
    platform::testing::RunBeforeNthCall(
        "storage.rename", 1,
        [](void* raw) {
            auto* c = static_cast<Context*>(raw);
            ::rename(c->replacement.c_str(), c->image.c_str());
        },
        &context);
    EXPECT_EQ(storage->Commit(STGC_DEFAULT), STG_E_WRITEFAULT);
    EXPECT_EQ(ReadFileBytes(path), original);
    EXPECT_EQ(ReadFileBytes(image), other);
    platform::testing::ResetFaults();
    // The name is someone else's now: the next save leaves it, and fails.
    EXPECT_EQ(storage->Commit(STGC_DEFAULT), STG_E_ACCESSDENIED);
    EXPECT_EQ(ReadFileBytes(image), other);
    EXPECT_EQ(ReadFileBytes(path), original);
}

// A Linux name need not be UTF-8: the file opens, saves through its image beside it and is
// renamed back under its own bytes, and Stat names it as it was handed over.
TEST(StorageTemporary, ANameThatIsNotUtf8IsSavedUnderItsOwnBytes) {
    TempDir dir;
    const std::string name = dir.File("\xFF\xFE invalid.msg");
    const std::u16string wide = platform::names::FromNative(name);
    ComPtr<IStorage> storage;
    ASSERT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | kReadWriteExclusive, 0, storage.Put()), S_OK);
    PutStream(storage.Get(), u"s", {1});
    ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    storage.Reset();
    ASSERT_TRUE(Exists(name));

    LeaveKilledSave(name, {7});
    ASSERT_EQ(StgOpenStorage(wide.c_str(), nullptr, kReadWriteExclusive, nullptr, 0, storage.Put()), S_OK);
    EXPECT_FALSE(Exists(TemporaryImagePath(name)));
    STATSTG stat{};
    ASSERT_EQ(storage->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(std::u16string(stat.pwcsName), platform::names::FromNative(std::filesystem::canonical(name).string()));
    CoTaskMemFree(stat.pwcsName);
    PutStream(storage.Get(), u"s", {2});
    ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    storage.Reset();

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) names.push_back(entry.path().string());
    EXPECT_EQ(names, std::vector<std::string>{name}) << "no image left, no file under another name";
    ASSERT_EQ(StgOpenStorage(wide.c_str(), nullptr, kReadDenyWrite, nullptr, 0, storage.Put()), S_OK);
    EXPECT_EQ(GetStream(storage.Get(), u"s"), (std::vector<BYTE>{2}));
    storage.Reset();

    // A UTF-16 name that no Linux name maps to names no file.
    const std::u16string unpaired = Wide(dir.Path()) + u"/x\xD800.msg";
    EXPECT_EQ(StgCreateDocfile(unpaired.c_str(), STGM_CREATE | kReadWriteExclusive, 0, storage.Put()),
              STG_E_INVALIDNAME);
}
