// Reading compound files: the corpus against an independent reader, opening results, share
// modes, and the stream and storage operations.
#include "storage/storage_test_util.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <sys/wait.h>

using namespace storage_test;
using platform::ComPtr;

namespace {

constexpr DWORD kReadDenyNone = STGM_READ | STGM_SHARE_DENY_NONE;            // 0x40
constexpr DWORD kStreamWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

}  // namespace

// Every corpus file: our tree and stream bytes equal what olefile reads.
TEST(StorageCorpus, TreeAndBytesMatchOlefile) {
    auto files = CorpusFiles();
    ASSERT_GT(files.size(), 10u) << "corpus missing at " << MSGPLUGIN_CORPUS_DIR;
    std::vector<bool> readable;
    auto dumps = OlefileDumpMany(files, &readable);
    for (size_t i = 0; i < files.size(); ++i) {
        const std::string& file = files[i];
        SCOPED_TRACE(file);
        const std::vector<std::string>& expected = dumps[i];
        ComPtr<IStorage> storage;
        HRESULT hr = Open(file, kReadDenyWrite, &storage);
        if (!readable[i]) {
            // Files the independent reader refuses must not open here either.
            EXPECT_TRUE(FAILED(hr));
            continue;
        }
        ASSERT_EQ(hr, S_OK);
        ExpectSameLines(Dump(storage.Get()), expected);

        // The same image opened from memory reads the same.
        std::vector<BYTE> bytes = ReadFileBytes(file);
        ComPtr<IStorage> memory;
        ASSERT_EQ(platform::testing::OpenStorageOnMemory(bytes.data(), bytes.size(), memory.Put()), S_OK);
        ExpectSameLines(Dump(memory.Get()), expected);
    }
}

TEST(StorageCorpus, EmptyFileIsNotACompoundFile) {
    TempDir dir;
    std::string path = dir.File("empty.msg");
    WriteFileBytes(path, {});
    ComPtr<IStorage> storage;
    EXPECT_EQ(Open(path, kReadDenyWrite, &storage), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(Open(path, kReadWriteExclusive, &storage), STG_E_FILEALREADYEXISTS);
    EXPECT_FALSE(storage);
    std::u16string wide = Wide(path);
    EXPECT_EQ(StgIsStorageFile(wide.c_str()), S_FALSE);
}

TEST(StorageOpen, ResultCodes) {
    TempDir dir;
    std::string good = dir.File("good.msg");
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Create(good, &storage), S_OK);
    }
    std::string text = dir.File("text.msg");
    WriteFileBytes(text, std::vector<BYTE>(2000, 'x'));
    std::string badHeader = dir.File("badheader.msg");
    {
        std::vector<BYTE> bytes = ReadFileBytes(good);
        bytes[30] = 10;  // sector shift neither 9 nor 12
        WriteFileBytes(badHeader, bytes);
    }
    std::string shortHeader = dir.File("short.msg");
    {
        std::vector<BYTE> bytes = ReadFileBytes(good);
        bytes.resize(100);
        WriteFileBytes(shortHeader, bytes);
    }
    std::string readOnly = dir.File("readonly.msg");
    CopyFile(good, readOnly);
    ::chmod(readOnly.c_str(), 0444);
    std::string lockedFolder = dir.File("locked");
    ::mkdir(lockedFolder.c_str(), 0755);
    CopyFile(good, lockedFolder + "/in.msg");
    ::chmod(lockedFolder.c_str(), 0555);

    struct Case {
        std::string path;
        DWORD mode;
        HRESULT expected;
    } cases[] = {
        {good, kReadWriteExclusive, S_OK},
        {good, kReadDenyWrite, S_OK},
        {good, kReadDenyNone, S_OK},
        {good, STGM_READ | STGM_TRANSACTED | STGM_SHARE_DENY_WRITE, S_OK},
        {dir.File("missing.msg"), kReadWriteExclusive, STG_E_FILENOTFOUND},
        {dir.File("nofolder/x.msg"), kReadWriteExclusive, STG_E_PATHNOTFOUND},
        {text, kReadWriteExclusive, STG_E_FILEALREADYEXISTS},
        {badHeader, kReadDenyWrite, STG_E_INVALIDHEADER},
        {shortHeader, kReadDenyWrite, STG_E_INVALIDHEADER},
        {readOnly, kReadWriteExclusive, STG_E_ACCESSDENIED},
        {readOnly, kReadDenyWrite, S_OK},
        {lockedFolder + "/in.msg", kReadWriteExclusive, STG_E_ACCESSDENIED},
        {lockedFolder + "/in.msg", kReadDenyNone, S_OK},
        {dir.Path(), kReadDenyWrite, STG_E_ACCESSDENIED},
        {good, 3 | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
        {good, STGM_READWRITE | STGM_SHARE_DENY_WRITE, STG_E_INVALIDFLAG},
        {good, STGM_READWRITE | STGM_TRANSACTED | STGM_SHARE_EXCLUSIVE, STG_E_INVALIDFLAG},
        {good, kReadWriteExclusive | STGM_CREATE, STG_E_INVALIDFLAG},
        {good, 0x50, STG_E_INVALIDFLAG},
        {good, kReadDenyWrite | 0x80000000, STG_E_INVALIDFLAG},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path + " mode " + std::to_string(c.mode));
        ComPtr<IStorage> storage;
        EXPECT_EQ(Open(c.path, c.mode, &storage), c.expected);
        EXPECT_EQ(bool(storage), c.expected == S_OK);
    }

    IStorage* raw = reinterpret_cast<IStorage*>(1);
    EXPECT_EQ(StgOpenStorage(nullptr, nullptr, kReadWriteExclusive, nullptr, 0, &raw), STG_E_INVALIDNAME);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(StgOpenStorage(u"", nullptr, kReadWriteExclusive, nullptr, 0, &raw), STG_E_INVALIDNAME);
    std::u16string wide = Wide(good);
    EXPECT_EQ(StgOpenStorage(wide.c_str(), nullptr, kReadWriteExclusive, nullptr, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(StgIsStorageFile(wide.c_str()), S_OK);
    std::u16string textWide = Wide(text);
    EXPECT_EQ(StgIsStorageFile(textWide.c_str()), S_FALSE);
    std::u16string missingWide = Wide(dir.File("missing.msg"));
    EXPECT_EQ(StgIsStorageFile(missingWide.c_str()), STG_E_FILENOTFOUND);
    EXPECT_EQ(StgIsStorageFile(nullptr), STG_E_INVALIDNAME);
}

TEST(StorageOpen, FaultInjection) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Create(path, &storage), S_OK);
        PutStream(storage.Get(), u"s", {1, 2, 3});
    }
    platform::testing::FailNthCall("StgOpenStorage", 1, STG_E_LOCKVIOLATION);
    ComPtr<IStorage> storage;
    EXPECT_EQ(Open(path, kReadWriteExclusive, &storage), STG_E_LOCKVIOLATION);
    EXPECT_FALSE(storage);
    ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);

    platform::testing::FailNthCall("IStorage::OpenStream", 1, STG_E_INSUFFICIENTMEMORY);
    ComPtr<IStream> stream;
    EXPECT_EQ(storage->OpenStream(u"s", nullptr, kStreamWrite, 0, stream.Put()), STG_E_INSUFFICIENTMEMORY);
    ASSERT_EQ(storage->OpenStream(u"s", nullptr, kStreamWrite, 0, stream.Put()), S_OK);
    platform::testing::FailNthCall("IStream::Read", 1, STG_E_READFAULT);
    BYTE buffer[3];
    ULONG read = 7;
    EXPECT_EQ(stream->Read(buffer, 3, &read), STG_E_READFAULT);
    EXPECT_EQ(read, 0u);
    platform::testing::FailNthCall("IStream::Write", 1, STG_E_MEDIUMFULL);
    EXPECT_EQ(stream->Write(buffer, 3, nullptr), STG_E_MEDIUMFULL);
    platform::testing::FailNthCall("IStorage::Commit", 1, STG_E_WRITEFAULT);
    EXPECT_EQ(storage->Commit(STGC_DEFAULT), STG_E_WRITEFAULT);
    platform::testing::FailNthCall("StgCreateDocfile", 1, STG_E_ACCESSDENIED);
    ComPtr<IStorage> other;
    EXPECT_EQ(Create(dir.File("b.msg"), &other), STG_E_ACCESSDENIED);
    EXPECT_FALSE(std::filesystem::exists(dir.File("b.msg")));
}

// Share modes hold between two opens of this process.
TEST(StorageShare, SecondOpenInThisProcess) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Create(path, &storage), S_OK);
    }
    {
        ComPtr<IStorage> first, second;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &first), S_OK);
        EXPECT_EQ(Open(path, kReadWriteExclusive, &second), STG_E_SHAREVIOLATION);
        EXPECT_EQ(Open(path, kReadDenyWrite, &second), STG_E_SHAREVIOLATION);
        EXPECT_EQ(Open(path, kReadDenyNone, &second), STG_E_SHAREVIOLATION);
        // A stream still open keeps the file locked after the root is released.
        ComPtr<IStream> stream;
        ASSERT_EQ(first->CreateStream(u"s", kStreamWrite, 0, 0, stream.Put()), S_OK);
        first.Reset();
        EXPECT_EQ(Open(path, kReadDenyNone, &second), STG_E_SHAREVIOLATION);
    }
    ComPtr<IStorage> again;
    EXPECT_EQ(Open(path, kReadWriteExclusive, &again), S_OK);
    again.Reset();
    {
        ComPtr<IStorage> reader, other;
        ASSERT_EQ(Open(path, kReadDenyWrite, &reader), S_OK);
        EXPECT_EQ(Open(path, kReadDenyNone, &other), S_OK);  // reading is not denied
        other.Reset();
        EXPECT_EQ(Open(path, kReadDenyWrite, &other), S_OK);
        other.Reset();
        EXPECT_EQ(Open(path, kReadWriteExclusive, &other), STG_E_SHAREVIOLATION);
    }
}

// And between processes: a child holds the file; this process cannot open it until the child
// lets go, and the other way round.
TEST(StorageShare, ChildProcess) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Create(path, &storage), S_OK);
    }
    int toChild[2], fromChild[2];
    ASSERT_EQ(::pipe(toChild), 0);
    ASSERT_EQ(::pipe(fromChild), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ComPtr<IStorage> held;
        char answer = Open(path, kReadWriteExclusive, &held) == S_OK ? 'y' : 'n';
        (void)!::write(fromChild[1], &answer, 1);
        char go;
        (void)!::read(toChild[0], &go, 1);
        held.Reset();
        answer = 'r';
        (void)!::write(fromChild[1], &answer, 1);
        (void)!::read(toChild[0], &go, 1);
        // Now the parent holds it.
        answer = Open(path, kReadDenyNone, &held) == STG_E_SHAREVIOLATION ? 'v' : 'x';
        (void)!::write(fromChild[1], &answer, 1);
        ::_exit(0);
    }
    char answer = 0;
    ASSERT_EQ(::read(fromChild[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'y');
    ComPtr<IStorage> storage;
    EXPECT_EQ(Open(path, kReadWriteExclusive, &storage), STG_E_SHAREVIOLATION);
    EXPECT_EQ(Open(path, kReadDenyNone, &storage), STG_E_SHAREVIOLATION);
    char go = 'g';
    ASSERT_EQ(::write(toChild[1], &go, 1), 1);
    ASSERT_EQ(::read(fromChild[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'r');
    EXPECT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
    ASSERT_EQ(::write(toChild[1], &go, 1), 1);
    ASSERT_EQ(::read(fromChild[0], &answer, 1), 1);
    EXPECT_EQ(answer, 'v');
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status));
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) ::close(fd);
}

// A file small enough to be read whole at its opening serves its streams from that read: what
// is read is the file as it was opened, structures and contents alike, whatever is written to
// it later by a program that ignores the share modes.
TEST(StorageStream, ASmallFileReadsAsItWasWhenOpened) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    const auto regular = Pattern(9000, 3), mini = Pattern(1000, 4);
    WriteNewFile(path, {{u"regular", regular}, {u"mini", mini}});
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
    {
        const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        struct stat st;
        ASSERT_EQ(::fstat(fd, &st), 0);
        const std::vector<BYTE> other(size_t(st.st_size) - 512, 0xEE);
        ASSERT_EQ(::pwrite(fd, other.data(), other.size(), 512), ssize_t(other.size()));
        ::close(fd);
    }
    EXPECT_EQ(GetStream(storage.Get(), u"regular"), regular);
    EXPECT_EQ(GetStream(storage.Get(), u"mini"), mini);
}

TEST(StorageStream, ReadSeekSizeAndClone) {
    TempDir dir;
    ComPtr<IStorage> storage;
    ASSERT_EQ(Create(dir.File("a.msg"), &storage), S_OK);
    ComPtr<IStream> stream;
    ASSERT_EQ(storage->CreateStream(u"data", kStreamWrite, 0, 0, stream.Put()), S_OK);
    std::vector<BYTE> data = Pattern(10000, 1);
    ASSERT_EQ(stream->Write(data.data(), ULONG(data.size()), nullptr), S_OK);

    // A read past the end returns the bytes that exist, with S_OK.
    LARGE_INTEGER move;
    move.QuadPart = -100;
    ULARGE_INTEGER position;
    ASSERT_EQ(stream->Seek(move, STREAM_SEEK_END, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 9900u);
    std::vector<BYTE> buffer(500);
    ULONG read = 0;
    EXPECT_EQ(stream->Read(buffer.data(), 500, &read), S_OK);
    EXPECT_EQ(read, 100u);
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + 100, data.end() - 100));
    EXPECT_EQ(stream->Read(buffer.data(), 500, &read), S_OK);
    EXPECT_EQ(read, 0u);
    move.QuadPart = -1;
    EXPECT_EQ(stream->Seek(move, STREAM_SEEK_SET, nullptr), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Seek(move, 7, nullptr), STG_E_INVALIDFUNCTION);
    move.QuadPart = -10;
    ASSERT_EQ(stream->Seek(move, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position.QuadPart, 9990u);

    // Clone: the same bytes, its own position.
    ComPtr<IStream> clone;
    ASSERT_EQ(stream->Clone(clone.Put()), S_OK);
    EXPECT_EQ(clone->Read(buffer.data(), 20, &read), S_OK);
    EXPECT_EQ(read, 10u);
    EXPECT_EQ(buffer[0], data[9990]);

    // Shrinking and growing again gives zeros, not the old bytes.
    ULARGE_INTEGER size;
    size.QuadPart = 5000;
    ASSERT_EQ(stream->SetSize(size), S_OK);
    size.QuadPart = 6000;
    ASSERT_EQ(stream->SetSize(size), S_OK);
    std::vector<BYTE> now = ReadAll(stream.Get());
    ASSERT_EQ(now.size(), 6000u);
    EXPECT_TRUE(std::equal(now.begin(), now.begin() + 5000, data.begin()));
    EXPECT_TRUE(std::all_of(now.begin() + 5000, now.end(), [](BYTE b) { return b == 0; }));

    // Writing past the end leaves zeros in between.
    move.QuadPart = 70000;
    ASSERT_EQ(stream->Seek(move, STREAM_SEEK_SET, nullptr), S_OK);
    BYTE one = 0xAB;
    ASSERT_EQ(stream->Write(&one, 1, nullptr), S_OK);
    STATSTG stat;
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, 70001u);
    EXPECT_EQ(stat.type, DWORD(STGTY_STREAM));
    EXPECT_EQ(std::u16string(stat.pwcsName), u"data");
    CoTaskMemFree(stat.pwcsName);
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.pwcsName, nullptr);
    now = ReadAll(stream.Get());
    ASSERT_EQ(now.size(), 70001u);
    EXPECT_TRUE(std::all_of(now.begin() + 6000, now.end() - 1, [](BYTE b) { return b == 0; }));
    EXPECT_EQ(now.back(), 0xAB);

    // CopyTo another stream.
    ComPtr<IStream> target;
    ASSERT_EQ(storage->CreateStream(u"copy", kStreamWrite, 0, 0, target.Put()), S_OK);
    move.QuadPart = 0;
    stream->Seek(move, STREAM_SEEK_SET, nullptr);
    ULARGE_INTEGER all, copiedRead, copiedWritten;
    all.QuadPart = ~0ull;
    ASSERT_EQ(stream->CopyTo(target.Get(), all, &copiedRead, &copiedWritten), S_OK);
    EXPECT_EQ(copiedRead.QuadPart, 70001u);
    EXPECT_EQ(copiedWritten.QuadPart, 70001u);
    EXPECT_EQ(ReadAll(target.Get()), now);
    EXPECT_EQ(stream->LockRegion(ULARGE_INTEGER{}, ULARGE_INTEGER{}, 1), STG_E_INVALIDFUNCTION);
}

TEST(StorageElements, CreateOpenDestroyRenameEnumerate) {
    TempDir dir;
    ComPtr<IStorage> storage;
    ASSERT_EQ(Create(dir.File("a.msg"), &storage), S_OK);
    PutStream(storage.Get(), u"one", {1});
    ComPtr<IStream> stream;
    // Streams are opened share-exclusive, once at a time.
    EXPECT_EQ(storage->CreateStream(u"one", kStreamWrite, 0, 0, stream.Put()), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(storage->OpenStream(u"one", nullptr, STGM_READ | STGM_SHARE_DENY_NONE, 0, stream.Put()),
              STG_E_INVALIDFLAG);
    ASSERT_EQ(storage->OpenStream(u"ONE", nullptr, kStreamWrite, 0, stream.Put()), S_OK);  // names ignore case
    ComPtr<IStream> second;
    EXPECT_EQ(storage->OpenStream(u"one", nullptr, kStreamWrite, 0, second.Put()), STG_E_ACCESSDENIED);
    stream.Reset();
    EXPECT_EQ(storage->OpenStream(u"missing", nullptr, kStreamWrite, 0, second.Put()), STG_E_FILENOTFOUND);
    EXPECT_EQ(storage->CreateStream(u"0123456789012345678901234567890123", kStreamWrite, 0, 0, second.Put()),
              STG_E_INVALIDNAME);
    EXPECT_EQ(storage->CreateStream(u"a/b", kStreamWrite, 0, 0, second.Put()), STG_E_INVALIDNAME);
    EXPECT_EQ(storage->CreateStream(u"", kStreamWrite, 0, 0, second.Put()), STG_E_INVALIDNAME);
    ASSERT_EQ(storage->CreateStream(u"0123456789012345678901234567890", kStreamWrite, 0, 0, second.Put()), S_OK);
    second.Reset();

    ComPtr<IStorage> sub;
    ASSERT_EQ(storage->CreateStorage(u"sub", kStreamWrite, 0, 0, sub.Put()), S_OK);
    PutStream(sub.Get(), u"inner", {9, 9});
    CLSID clsid = {0x12345678, 0x9ABC, 0xDEF0, {1, 2, 3, 4, 5, 6, 7, 8}};
    ASSERT_EQ(sub->SetClass(clsid), S_OK);
    ASSERT_EQ(sub->SetStateBits(0xF0F0, 0xFFFF), S_OK);
    ASSERT_EQ(sub->SetStateBits(0x000F, 0x00FF), S_OK);
    STATSTG stat;
    ASSERT_EQ(sub->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.clsid, clsid);
    EXPECT_EQ(stat.grfStateBits, 0xF00Fu);
    EXPECT_EQ(stat.type, DWORD(STGTY_STORAGE));
    sub.Reset();

    ASSERT_EQ(storage->RenameElement(u"one", u"two"), S_OK);
    EXPECT_EQ(storage->RenameElement(u"one", u"three"), STG_E_FILENOTFOUND);
    EXPECT_EQ(storage->RenameElement(u"two", u"sub"), STG_E_ACCESSDENIED);
    EXPECT_EQ(GetStream(storage.Get(), u"two"), std::vector<BYTE>{1});

    ComPtr<IEnumSTATSTG> elements;
    ASSERT_EQ(storage->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    STATSTG all[8];
    ULONG fetched = 0;
    EXPECT_EQ(elements->Next(8, all, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 3u);
    // Directory order: shorter names first.
    EXPECT_EQ(std::u16string(all[0].pwcsName), u"sub");
    EXPECT_EQ(std::u16string(all[1].pwcsName), u"two");
    EXPECT_EQ(std::u16string(all[2].pwcsName), u"0123456789012345678901234567890");
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(all[i].pwcsName);
    ASSERT_EQ(elements->Reset(), S_OK);
    EXPECT_EQ(elements->Skip(2), S_OK);
    ComPtr<IEnumSTATSTG> clone;
    ASSERT_EQ(elements->Clone(clone.Put()), S_OK);
    ASSERT_EQ(clone->Next(1, all, nullptr), S_OK);
    EXPECT_EQ(std::u16string(all[0].pwcsName), u"0123456789012345678901234567890");
    CoTaskMemFree(all[0].pwcsName);
    EXPECT_EQ(clone->Next(1, all, nullptr), S_FALSE);
    EXPECT_EQ(elements->Skip(5), S_FALSE);
    EXPECT_EQ(elements->Next(2, all, nullptr), STG_E_INVALIDPARAMETER);

    // A destroyed element's open objects are reverted.
    ASSERT_EQ(storage->OpenStream(u"two", nullptr, kStreamWrite, 0, stream.Put()), S_OK);
    ASSERT_EQ(storage->DestroyElement(u"two"), S_OK);
    BYTE b;
    EXPECT_EQ(stream->Read(&b, 1, nullptr), STG_E_REVERTED);
    EXPECT_EQ(storage->DestroyElement(u"two"), STG_E_FILENOTFOUND);
    ASSERT_EQ(storage->DestroyElement(u"sub"), S_OK);
    EXPECT_EQ(storage->OpenStorage(u"sub", nullptr, kStreamWrite, nullptr, 0, sub.Put()), STG_E_FILENOTFOUND);
}

TEST(StorageElements, ReadOnlyOpenRefusesWrites) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Create(path, &storage), S_OK);
        PutStream(storage.Get(), u"s", {1, 2});
    }
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
    ComPtr<IStream> stream;
    EXPECT_EQ(storage->CreateStream(u"t", kStreamWrite, 0, 0, stream.Put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(storage->OpenStream(u"s", nullptr, kStreamWrite, 0, stream.Put()), STG_E_ACCESSDENIED);
    ASSERT_EQ(storage->OpenStream(u"s", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()), S_OK);
    EXPECT_EQ(stream->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
    EXPECT_EQ(storage->DestroyElement(u"s"), STG_E_ACCESSDENIED);
    EXPECT_EQ(storage->SetClass(CLSID{}), STG_E_ACCESSDENIED);
    EXPECT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
}

TEST(StorageCreate, ModesExistingFilesAndTemporaryFiles) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    std::u16string wide = Wide(path);
    ComPtr<IStorage> storage;
    ASSERT_EQ(StgCreateDocfile(wide.c_str(), kReadWriteExclusive, 0, storage.Put()), S_OK);
    EXPECT_EQ(StgIsStorageFile(wide.c_str()), S_OK);  // the file exists from the start
    PutStream(storage.Get(), u"s", {1, 2, 3});
    // While it is open, nobody may replace it.
    ComPtr<IStorage> other;
    EXPECT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | kReadWriteExclusive, 0, other.Put()), STG_E_SHAREVIOLATION);
    storage.Reset();
    EXPECT_EQ(StgCreateDocfile(wide.c_str(), kReadWriteExclusive, 0, other.Put()), STG_E_FILEALREADYEXISTS);
    EXPECT_FALSE(other);
    ASSERT_EQ(Open(path, kReadDenyWrite, &other), S_OK);
    EXPECT_EQ(GetStream(other.Get(), u"s"), (std::vector<BYTE>{1, 2, 3}));
    other.Reset();
    // STGM_CREATE replaces the old content.
    ASSERT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | kReadWriteExclusive, 0, storage.Put()), S_OK);
    ComPtr<IStream> gone;
    EXPECT_EQ(storage->OpenStream(u"s", nullptr, kStreamWrite, 0, gone.Put()), STG_E_FILENOTFOUND);
    storage.Reset();

    EXPECT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | kReadDenyWrite, 0, storage.Put()), STG_E_INVALIDFLAG);
    EXPECT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_DENY_NONE, 0, storage.Put()),
              STG_E_INVALIDFLAG);
    std::u16string missingFolder = Wide(dir.File("none/a.msg"));
    EXPECT_EQ(StgCreateDocfile(missingFolder.c_str(), STGM_CREATE | kReadWriteExclusive, 0, storage.Put()),
              STG_E_PATHNOTFOUND);
    std::string locked = dir.File("locked");
    ::mkdir(locked.c_str(), 0555);
    std::u16string inLocked = Wide(locked + "/a.msg");
    EXPECT_EQ(StgCreateDocfile(inLocked.c_str(), STGM_CREATE | kReadWriteExclusive, 0, storage.Put()),
              STG_E_ACCESSDENIED);

    // No name: a temporary file, gone after the release.
    ASSERT_EQ(StgCreateDocfile(nullptr, STGM_CREATE | kReadWriteExclusive, 0, storage.Put()), S_OK);
    STATSTG stat;
    ASSERT_EQ(storage->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    std::string temporary = Utf8(stat.pwcsName);
    CoTaskMemFree(stat.pwcsName);
    EXPECT_TRUE(std::filesystem::exists(temporary)) << temporary;
    PutStream(storage.Get(), u"x", {7});
    storage.Reset();
    EXPECT_FALSE(std::filesystem::exists(temporary)) << temporary;
}
