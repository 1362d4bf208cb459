// Writing compound files: what we write reads back in an independent reader exactly as written,
// untouched elements keep their bytes and directory data, saves are atomic and fail cleanly.
#include "storage/storage_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <random>
#include <sstream>

using namespace storage_test;
using platform::ComPtr;

namespace {

const char* const kCorpusSamples[] = {"200 recipients.msg", "unicode.msg", "msgInMsgInMsg.msg", "plain_jpeg_attached.msg"};

}  // namespace

// A new file with streams of every interesting size, nested storages and directory data.
TEST(StorageWrite, NewFileReadsBackInOlefile) {
    for (unsigned sectorSize : {512u, 4096u}) {
        SCOPED_TRACE(sectorSize);
        platform::testing::SetNewDocfileSectorSize(sectorSize);
        TempDir dir;
        std::string path = dir.File("new.msg");
        std::vector<std::string> expected;
        CLSID rootClass = {0x00020D0B, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
        CLSID subClass = {0x11223344, 0x5566, 0x7788, {9, 10, 11, 12, 13, 14, 15, 16}};
        {
            ComPtr<IStorage> storage;
            ASSERT_EQ(Create(path, &storage), S_OK);
            ASSERT_EQ(storage->SetClass(rootClass), S_OK);
            const size_t sizes[] = {0, 1, 63, 64, 65, 4095, 4096, 4097, 100000};
            unsigned seed = 0;
            for (size_t size : sizes) {
                std::u16string name = NumberedName(u's', size);
                auto data = Pattern(size, ++seed);
                PutStream(storage.Get(), name, data);
                expected.push_back(Join({"stream", HexName(name), std::string(32, '0'), "00000000", "0", "0",
                                         std::to_string(size), CrcText(data)}));
            }
            ComPtr<IStorage> sub;
            ASSERT_EQ(storage->CreateStorage(u"__substg1.0_3701000D", kReadWriteExclusive, 0, 0, sub.Put()), S_OK);
            ASSERT_EQ(sub->SetClass(subClass), S_OK);
            ASSERT_EQ(sub->SetStateBits(0xA5A5, 0xFFFFFFFF), S_OK);
            FILETIME created = {0x11111111, 0x01D00000}, modified = {0x22222222, 0x01D10000};
            ASSERT_EQ(storage->SetElementTimes(u"__substg1.0_3701000D", &created, nullptr, &modified), S_OK);
            auto inner = Pattern(5000, 99);
            PutStream(sub.Get(), u"inner", inner);
            std::string subPath = HexName(u"__substg1.0_3701000D");
            expected.push_back(Join({"storage", subPath, Hex(&subClass, 16), "0000a5a5",
                                     std::to_string((uint64_t(created.dwHighDateTime) << 32) | created.dwLowDateTime),
                                     std::to_string((uint64_t(modified.dwHighDateTime) << 32) | modified.dwLowDateTime),
                                     "0", "00000000"}));
            expected.push_back(Join({"stream", subPath + "/" + HexName(u"inner"), std::string(32, '0'), "00000000",
                                     "0", "0", "5000", CrcText(inner)}));
            // Many siblings make a deeper tree.
            for (int i = 0; i < 40; ++i) {
                std::u16string name = NumberedName(u'n', size_t(i * 7919 % 1000));
                auto data = Pattern(10 + i, 1000 + i);
                PutStream(sub.Get(), name, data);
                expected.push_back(Join({"stream", subPath + "/" + HexName(name), std::string(32, '0'), "00000000",
                                         "0", "0", std::to_string(data.size()), CrcText(data)}));
            }
            STATSTG rootStat;
            ASSERT_EQ(storage->Stat(&rootStat, STATFLAG_NONAME), S_OK);
            expected.push_back(StatLine("root", ".", rootStat, 0, 0));
            ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
        }
        std::sort(expected.begin(), expected.end());
        ExpectSameLines(OlefileLines(path), expected);
        EXPECT_EQ(CheckTree(path), "ok\n");
        int status = 0;
        EXPECT_EQ(OlefileDump(path, &status, "--sector-size"), std::vector<std::string>{std::to_string(sectorSize)});

        // Reopened here, the same tree; a change keeps the version.
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        ExpectSameLines(Dump(storage.Get()), expected);
        PutStream(storage.Get(), u"s1", {42});
        storage.Reset();
        EXPECT_EQ(OlefileDump(path, &status, "--sector-size"), std::vector<std::string>{std::to_string(sectorSize)});
    }
}

// Writes reach the file on the root's Commit, and on the release of the last reference.
TEST(StorageWrite, CommitAndReleaseFlush) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    ComPtr<IStorage> storage;
    ASSERT_EQ(Create(path, &storage), S_OK);
    PutStream(storage.Get(), u"first", Pattern(100, 1));
    ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    auto lines = OlefileLines(path);
    EXPECT_NE(FindLine(lines, HexName(u"first")), lines.end());
    ComPtr<IStream> stream;
    ASSERT_EQ(storage->CreateStream(u"second", kReadWriteExclusive, 0, 0, stream.Put()), S_OK);
    storage.Reset();  // the stream still holds the file
    auto data = Pattern(7000, 2);
    ASSERT_EQ(stream->Write(data.data(), ULONG(data.size()), nullptr), S_OK);
    stream.Reset();
    lines = OlefileLines(path);
    auto line = FindLine(lines, HexName(u"second"));
    ASSERT_NE(line, lines.end());
    EXPECT_EQ(Fields(*line)[7], CrcText(data));
}

namespace {

// Writes a stream "big" of `bigSize` bytes and a small one into a new file; both read back, in
// olefile and in ours, as written. Gives the number of DIFAT sectors the header counts.
void WriteBigFileAndReadBack(const std::string& path, size_t bigSize, unsigned seed, uint32_t* difatCount) {
    auto data = Pattern(bigSize, seed);
    WriteNewFile(path, {{u"big", data}, {u"small", Pattern(300, seed + 1)}});
    auto bytes = ReadFileBytes(path);
    ASSERT_GT(bytes.size(), 512u);
    *difatCount = uint32_t(bytes[72] | bytes[73] << 8 | bytes[74] << 16 | bytes[75] << 24);
    auto lines = OlefileLines(path);
    auto line = FindLine(lines, HexName(u"big"));
    ASSERT_NE(line, lines.end());
    EXPECT_EQ(Fields(*line)[7], CrcText(data));
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
    EXPECT_EQ(GetStream(storage.Get(), u"big"), data);
    EXPECT_EQ(GetStream(storage.Get(), u"small"), Pattern(300, seed + 1));
}

}  // namespace

// A file with more allocation-table sectors than the header lists needs DIFAT sectors.
TEST(StorageWrite, LargeFileUsesDifat) {
    TempDir dir;
    uint32_t difatCount = 0;
    ASSERT_NO_FATAL_FAILURE(WriteBigFileAndReadBack(dir.File("big.msg"), 8 << 20, 5, &difatCount));
    EXPECT_GT(difatCount, 0u);
}

// A file whose sector table needs more than one DIFAT sector: the DIFAT chain is written and
// followed past its first link, and the last entry of each DIFAT sector is read as that link,
// not as a table sector.
TEST(StorageWrite, ADifatOfSeveralSectorsIsFollowed) {
    TempDir dir;
    // 512-byte sectors: 109 table sectors in the header and 127 per DIFAT sector, so more than
    // 236 table sectors (about 15.5 MB) take a second DIFAT sector.
    uint32_t difatCount = 0;
    ASSERT_NO_FATAL_FAILURE(WriteBigFileAndReadBack(dir.File("bigger.msg"), 17 << 20, 7, &difatCount));
    EXPECT_GE(difatCount, 2u);
}

// Corpus copies after each kind of change: olefile reads exactly what we wrote, and every
// element we did not touch keeps its bytes and its directory data.
TEST(StorageWrite, CorpusCopiesKeepUntouchedElements) {
    TempDir dir;
    int copyIndex = 0;
    // Files to read with olefile at the end (one run for all), with the lines expected.
    std::vector<std::string> checkPaths;
    std::vector<std::vector<std::string>> checkExpected;
    auto expectLater = [&](const std::string& path, std::vector<std::string> expected) {
        std::sort(expected.begin(), expected.end());
        checkPaths.push_back(path);
        checkExpected.push_back(std::move(expected));
    };
    for (const char* sample : kCorpusSamples) {
        std::string original = PickCorpusFile(sample);
        if (original.empty()) {
            ADD_FAILURE() << "corpus file missing: " << sample;
            continue;
        }
        SCOPED_TRACE(original);
        std::vector<bool> readable;
        const std::vector<std::string> before = OlefileDumpMany({original, original}, &readable)[0];
        ASSERT_TRUE(readable[0]);
        auto copy = [&] {
            std::string path = dir.File("copy" + std::to_string(copyIndex++) + ".msg");
            CopyFile(original, path);
            return path;
        };
        std::vector<std::pair<std::u16string, uint64_t>> streams;
        {
            ComPtr<IStorage> storage;
            ASSERT_EQ(Open(original, kReadDenyWrite, &storage), S_OK);
            streams = TopStreams(storage.Get());
        }
        ASSERT_GE(streams.size(), 2u);
        auto small = std::find_if(streams.begin(), streams.end(), [](auto& s) { return s.second > 0 && s.second < 4096; });
        ASSERT_NE(small, streams.end());

        {   // One stream changed, same size.
            std::string path = copy();
            auto data = Pattern(size_t(small->second), 11);
            {
                ComPtr<IStorage> storage;
                ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
                ComPtr<IStream> stream;
                ASSERT_EQ(storage->OpenStream(small->first.c_str(), nullptr, kReadWriteExclusive, 0, stream.Put()), S_OK);
                ASSERT_EQ(stream->Write(data.data(), ULONG(data.size()), nullptr), S_OK);
                stream.Reset();
                ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
            }
            auto expected = before;
            auto line = FindLine(expected, HexName(small->first));
            ASSERT_NE(line, expected.end());
            auto fields = Fields(*line);
            fields[7] = CrcText(data);
            *line = Join(fields);
            expectLater(path, expected);
        }
        {   // A small stream grown past 4096 bytes (out of the mini stream) and back.
            std::string path = copy();
            std::vector<BYTE> originalBytes;
            auto grown = Pattern(10000, 12);
            {
                ComPtr<IStorage> storage;
                ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
                originalBytes = GetStream(storage.Get(), small->first);
                ComPtr<IStream> stream;
                ASSERT_EQ(storage->OpenStream(small->first.c_str(), nullptr, kReadWriteExclusive, 0, stream.Put()), S_OK);
                ASSERT_EQ(stream->Write(grown.data(), ULONG(grown.size()), nullptr), S_OK);
            }
            auto expected = before;
            auto line = FindLine(expected, HexName(small->first));
            auto fields = Fields(*line);
            fields[6] = "10000";
            fields[7] = CrcText(grown);
            *line = Join(fields);
            std::string grownCopy = path + ".grown";
            CopyFile(path, grownCopy);
            expectLater(grownCopy, expected);
            {
                ComPtr<IStorage> storage;
                ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
                ComPtr<IStream> stream;
                ASSERT_EQ(storage->OpenStream(small->first.c_str(), nullptr, kReadWriteExclusive, 0, stream.Put()), S_OK);
                ULARGE_INTEGER size;
                size.QuadPart = originalBytes.size();
                ASSERT_EQ(stream->SetSize(size), S_OK);
                ASSERT_EQ(stream->Write(originalBytes.data(), ULONG(originalBytes.size()), nullptr), S_OK);
            }
            expectLater(path, before);
        }
        {   // Elements added and destroyed.
            std::string path = copy();
            auto added = Pattern(5000, 13);
            std::u16string victim = streams.front().first;
            {
                ComPtr<IStorage> storage;
                ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
                PutStream(storage.Get(), u"added", added);
                ComPtr<IStorage> sub;
                ASSERT_EQ(storage->CreateStorage(u"addedStorage", kReadWriteExclusive, 0, 0, sub.Put()), S_OK);
                sub.Reset();
                ASSERT_EQ(storage->DestroyElement(victim.c_str()), S_OK);
                ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
            }
            auto expected = before;
            expected.erase(FindLine(expected, HexName(victim)));
            expected.push_back(Join({"stream", HexName(u"added"), std::string(32, '0'), "00000000", "0", "0", "5000",
                                     CrcText(added)}));
            // The new storage's times are "now", as our own reading tells.
            ComPtr<IStorage> storage;
            ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
            ComPtr<IStorage> sub;
            ASSERT_EQ(storage->OpenStorage(u"addedStorage", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                           sub.Put()), S_OK);
            STATSTG stat;
            ASSERT_EQ(sub->Stat(&stat, STATFLAG_NONAME), S_OK);
            EXPECT_NE(stat.ctime.dwHighDateTime, 0u);
            expected.push_back(StatLine("storage", HexName(u"addedStorage"), stat, 0, 0));
            expectLater(path, expected);
        }
        {   // A rename keeps the element's data.
            std::string path = copy();
            std::u16string from = streams.back().first;
            {
                ComPtr<IStorage> storage;
                ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
                ASSERT_EQ(storage->RenameElement(from.c_str(), u"renamed"), S_OK);
            }
            auto expected = before;
            auto line = FindLine(expected, HexName(from));
            auto fields = Fields(*line);
            fields[1] = HexName(u"renamed");
            *line = Join(fields);
            expectLater(path, expected);
        }
    }
    std::vector<bool> readable;
    auto dumps = OlefileDumpMany(checkPaths, &readable);
    for (size_t i = 0; i < checkPaths.size(); ++i) {
        SCOPED_TRACE(checkPaths[i]);
        EXPECT_TRUE(readable[i]);
        ExpectSameLines(dumps[i], checkExpected[i]);
    }
    std::vector<std::string> tree = CheckTrees(checkPaths);
    EXPECT_EQ(tree, std::vector<std::string>(checkPaths.size(), "ok"));
}

// Copying a whole message into a new file, and moving an element between storages.
TEST(StorageWrite, CopyToAndMoveElementTo) {
    TempDir dir;
    std::string original = PickCorpusFile("msgInMsg.msg");
    ASSERT_FALSE(original.empty());
    std::string path = dir.File("copy.msg");
    {
        ComPtr<IStorage> source, target;
        ASSERT_EQ(Open(original, kReadDenyWrite, &source), S_OK);
        ASSERT_EQ(Create(path, &target), S_OK);
        ASSERT_EQ(source->CopyTo(0, nullptr, nullptr, target.Get()), S_OK);
    }
    auto before = OlefileLines(original), after = OlefileLines(path);
    // Everything but the root's times came along.
    ASSERT_EQ(before.size(), after.size());
    for (size_t i = 1; i < before.size(); ++i) {
        auto a = Fields(before[i]), b = Fields(after[i]);
        EXPECT_EQ(a[0], b[0]);
        EXPECT_EQ(a[1], b[1]);
        EXPECT_EQ(a[2], b[2]);
        EXPECT_EQ(a[6], b[6]);
        EXPECT_EQ(a[7], b[7]);
    }
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
    ComPtr<IStorage> sub;
    ASSERT_EQ(storage->CreateStorage(u"box", kReadWriteExclusive, 0, 0, sub.Put()), S_OK);
    auto streams = TopStreams(storage.Get());
    ASSERT_FALSE(streams.empty());
    auto data = GetStream(storage.Get(), streams[0].first);
    ASSERT_EQ(storage->MoveElementTo(streams[0].first.c_str(), sub.Get(), u"moved", STGMOVE_MOVE), S_OK);
    EXPECT_EQ(GetStream(sub.Get(), u"moved"), data);
    ComPtr<IStream> gone;
    EXPECT_EQ(storage->OpenStream(streams[0].first.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, gone.Put()),
              STG_E_FILENOTFOUND);
    // A storage cannot be copied into itself.
    EXPECT_EQ(storage->CopyTo(0, nullptr, nullptr, sub.Get()), STG_E_ACCESSDENIED);
}

// A save that fails at any step leaves the original file exactly as it was, and nothing else.
TEST(StorageWrite, FailedSaveLeavesOriginalUntouched) {
    struct Case {
        const char* fault;
        unsigned nth;
        HRESULT code;
    } cases[] = {
        {"storage.write", 1, STG_E_MEDIUMFULL},
        {"storage.write", 3, STG_E_MEDIUMFULL},
        {"storage.fsync", 1, STG_E_WRITEFAULT},
        {"storage.rename", 1, STG_E_ACCESSDENIED},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.fault) + " #" + std::to_string(c.nth));
        TempDir dir;
        std::string path = dir.File("a.msg");
        WriteNewFile(path, {{u"big", Pattern(20000, 1)}, {u"small", Pattern(100, 2)}});
        const auto originalBytes = ReadFileBytes(path);
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        auto changed = Pattern(30000, 3);
        PutStream(storage.Get(), u"big", changed);
        platform::testing::FailNthCall(c.fault, c.nth, c.code);
        EXPECT_EQ(storage->Commit(STGC_DEFAULT), c.code);
        EXPECT_EQ(ReadFileBytes(path), originalBytes);
        std::string temporary = platform::testing::LastSaveTemporaryPath();
        EXPECT_FALSE(temporary.empty());
        EXPECT_FALSE(std::filesystem::exists(temporary));
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
        // The changes are still there, and the next Commit saves them.
        platform::testing::ResetFaults();
        EXPECT_EQ(GetStream(storage.Get(), u"big"), changed);
        ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
        storage.Reset();
        ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
        EXPECT_EQ(GetStream(storage.Get(), u"big"), changed);
    }
}

// A real write failure of the file system (here the file-size limit) is reported as a full
// medium, and the original stays.
TEST(StorageWrite, FileSystemFullGivesMediumFull) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    WriteNewFile(path, {{u"s", Pattern(1000, 1)}});
    const auto originalBytes = ReadFileBytes(path);
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
    PutStream(storage.Get(), u"s", Pattern(300000, 2));
    struct rlimit old;
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    auto oldHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit limited = old;
    limited.rlim_cur = 100000;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
    HRESULT hr = storage->Commit(STGC_DEFAULT);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(hr, STG_E_MEDIUMFULL);
    EXPECT_EQ(ReadFileBytes(path), originalBytes);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// The saved file keeps the original's permission bits; a path that is a symbolic link is saved
// through to the file it names.
TEST(StorageWrite, PermissionsAndSymbolicLinks) {
    TempDir dir;
    std::string real = dir.File("real.msg"), link = dir.File("link.msg");
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Create(real, &storage), S_OK);
    }
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(::symlink("real.msg", link.c_str()), 0);
    auto data = Pattern(500, 4);
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(link, kReadWriteExclusive, &storage), S_OK);
        PutStream(storage.Get(), u"s", data);
        ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    }
    struct stat st;
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(real, kReadDenyWrite, &storage), S_OK);
    EXPECT_EQ(GetStream(storage.Get(), u"s"), data);
}

// Opening a file too large to be read whole reads no stream data: bytes changed in the file
// after the open are what a later read of the stream returns. (A small file is read whole when
// it is opened: StorageStream.ASmallFileReadsAsItWasWhenOpened.)
TEST(StorageWrite, StreamDataIsReadWhenAsked) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    auto data = Pattern(200000, 8);
    WriteNewFile(path, {{u"big", data}});
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
    auto bytes = ReadFileBytes(path);
    auto at = std::search(bytes.begin(), bytes.end(), data.begin(), data.begin() + 64);
    ASSERT_NE(at, bytes.end());
    int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const char marker[] = "changed after the open";
    ASSERT_EQ(::pwrite(fd, marker, sizeof marker, at - bytes.begin()), ssize_t(sizeof marker));
    ::close(fd);
    auto read = GetStream(storage.Get(), u"big");
    ASSERT_EQ(read.size(), data.size());
    EXPECT_EQ(std::memcmp(read.data(), marker, sizeof marker), 0);
}

// A child committing a large change is killed at random moments: the file always opens and
// holds the old content or the new one, whole.
TEST(StorageWrite, KilledDuringCommitLeavesOldOrNew) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    const auto oldBig = Pattern(3 << 20, 1), newBig = Pattern(3 << 20, 2);
    const auto oldSmall = Pattern(200, 3), newSmall = Pattern(300, 4);
    WriteNewFile(path, {{u"big", oldBig}, {u"small", oldSmall}});
    // The child tells through a pipe when its changes are made and the commit begins.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    auto runChild = [&](bool forward) {
        pid_t child = ::fork();
        if (child == 0) {
            ComPtr<IStorage> storage;
            if (Open(path, kReadWriteExclusive, &storage) != S_OK) ::_exit(2);
            PutStream(storage.Get(), u"big", forward ? newBig : oldBig);
            PutStream(storage.Get(), u"small", forward ? newSmall : oldSmall);
            char go = 'c';
            if (::write(ready[1], &go, 1) != 1) ::_exit(3);
            ::_exit(storage->Commit(STGC_DEFAULT) == S_OK ? 0 : 1);
        }
        char got;
        EXPECT_EQ(::read(ready[0], &got, 1), 1);
        return child;
    };
    // How long one whole commit takes, to spread the kills over it.
    int status = 0;
    pid_t first = runChild(true);
    auto started = std::chrono::steady_clock::now();
    ::waitpid(first, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    auto span = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    bool isNew = true;
    std::mt19937 random(12345);
    int sawOld = 0, sawNew = 0, leftovers = 0;
    for (int round = 0; round < 25; ++round) {
        pid_t child = runChild(!isNew);
        std::uniform_int_distribution<long> delay(0, span.count() * 5 / 4);
        ::usleep(useconds_t(delay(random)));
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        leftovers += int(std::distance(std::filesystem::directory_iterator(dir.Path()), {})) - 1;
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK) << "round " << round;
        auto big = GetStream(storage.Get(), u"big"), small = GetStream(storage.Get(), u"small");
        bool nowNew = big == newBig;
        ASSERT_TRUE(nowNew || big == oldBig) << "round " << round;
        EXPECT_EQ(small, nowNew ? newSmall : oldSmall) << "round " << round;
        (nowNew ? sawNew : sawOld)++;
        isNew = nowNew;
    }
    ::close(ready[0]);
    ::close(ready[1]);
    std::printf("commit %ld us; kills left the old file %d times, the new %d times; %d temporary files left\n",
                long(span.count()), sawOld, sawNew, leftovers);
    EXPECT_EQ(sawOld + sawNew, 25);
    // Killed saves may leave their temporary images; the next open for writing clears them.
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
}

// A large stream read in small pieces, at random places and across a save, gives its bytes;
// bytes written since the last save are read over the file's.
TEST(StorageWrite, LargeStreamsReadInPieces) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    const auto data = Pattern(300000, 11);
    WriteNewFile(path, {{u"big", data}});
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
    auto expected = data;
    for (int pass = 0; pass < 2; ++pass) {
        SCOPED_TRACE(pass);
        ComPtr<IStream> stream;
        ASSERT_EQ(storage->OpenStream(u"big", nullptr, kReadWriteExclusive, 0, stream.Put()), S_OK);
        std::vector<BYTE> all;
        for (;;) {
            BYTE piece[510];
            ULONG got = 0;
            ASSERT_EQ(stream->Read(piece, sizeof piece, &got), S_OK);
            if (got == 0) break;
            all.insert(all.end(), piece, piece + got);
        }
        EXPECT_EQ(all, expected);
        std::mt19937 random(pass);
        for (int i = 0; i < 200; ++i) {
            const uint64_t at = random() % (expected.size() + 100);
            const ULONG size = ULONG(random() % 3000);
            const size_t from = std::min<size_t>(at, expected.size());
            const size_t to = std::min<size_t>(from + size, expected.size());
            ASSERT_EQ(ReadAt(stream.Get(), at, size), std::vector<BYTE>(expected.begin() + long(from), expected.begin() + long(to)))
                << at << " " << size;
        }
        // Written bytes are read over the file's, saved or not.
        const std::vector<BYTE> patch(700, 0xEE);
        LARGE_INTEGER to;
        to.QuadPart = 100000;
        ASSERT_EQ(stream->Seek(to, STREAM_SEEK_SET, nullptr), S_OK);
        ASSERT_EQ(stream->Write(patch.data(), ULONG(patch.size()), nullptr), S_OK);
        std::copy(patch.begin(), patch.end(), expected.begin() + 100000);
        EXPECT_EQ(ReadAt(stream.Get(), 99990, 800), std::vector<BYTE>(expected.begin() + 99990, expected.begin() + 100790));
        stream.Reset();
        if (pass == 0) {
            ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
        }
    }
}

// A stream kept in the mini stream that grows to the cut-off or past it, with its start left as
// it was (a larger size, or one byte written far out), keeps its bytes: the start as before,
// zeros up to what was written.
TEST(StorageWrite, GrowingOutOfTheMiniStreamKeepsTheStart) {
    struct Growth {
        const char* what;
        uint64_t setSize;     // 0: none
        uint64_t writeAt;     // with writeByte
        bool writeByte;
    } growths[] = {
        {"SetSize to 5000", 5000, 0, false},
        {"SetSize to the cut-off", 4096, 0, false},
        {"one byte at 65536", 0, 65536, true},
        {"one byte at 4096", 0, 4096, true},
    };
    for (unsigned sectorSize : {512u, 4096u}) {
        for (const Growth& growth : growths) {
            SCOPED_TRACE(std::string(growth.what) + ", sectors of " + std::to_string(sectorSize));
            platform::testing::SetNewDocfileSectorSize(sectorSize);
            TempDir dir;
            const std::string path = dir.File("a.msg");
            const auto start = Pattern(300, 21), neighbour = Pattern(1000, 22);
            WriteNewFile(path, {{u"neighbour", neighbour}, {u"s", start}});
            std::vector<BYTE> expected = start;
            {
                ComPtr<IStorage> storage;
                ASSERT_EQ(Open(path, kReadWriteExclusive, &storage), S_OK);
                ComPtr<IStream> stream;
                ASSERT_EQ(storage->OpenStream(u"s", nullptr, kReadWriteExclusive, 0, stream.Put()), S_OK);
                if (growth.setSize) {
                    ULARGE_INTEGER size;
                    size.QuadPart = growth.setSize;
                    ASSERT_EQ(stream->SetSize(size), S_OK);
                    expected.resize(size_t(growth.setSize), 0);
                }
                if (growth.writeByte) {
                    LARGE_INTEGER at;
                    at.QuadPart = LONGLONG(growth.writeAt);
                    ASSERT_EQ(stream->Seek(at, STREAM_SEEK_SET, nullptr), S_OK);
                    const BYTE one = 0x5A;
                    ASSERT_EQ(stream->Write(&one, 1, nullptr), S_OK);
                    expected.resize(size_t(growth.writeAt), 0);
                    expected.push_back(one);
                }
                stream.Reset();
                ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
                EXPECT_EQ(GetStream(storage.Get(), u"s"), expected) << "read after the save";
            }
            ComPtr<IStorage> storage;
            ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
            EXPECT_EQ(GetStream(storage.Get(), u"s"), expected) << "read from the saved file";
            EXPECT_EQ(GetStream(storage.Get(), u"neighbour"), neighbour);
            auto lines = OlefileLines(path);
            auto line = FindLine(lines, HexName(u"s"));
            ASSERT_NE(line, lines.end());
            EXPECT_EQ(Fields(*line)[6], std::to_string(expected.size()));
            EXPECT_EQ(Fields(*line)[7], CrcText(expected)) << "as olefile reads it";
        }
    }
}

// The tree check orders names as the format does, by UTF-16 code units: a name that starts with
// a surrogate (a character outside the Basic Multilingual Plane) sorts before one that starts
// with U+FF21, though its code point is larger. A sound tree of such names passes; the same
// tree with two names swapped does not.
TEST(StorageWrite, TheTreeCheckOrdersByUtf16Units) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    const std::u16string names[] = {u"\uff21x", u"\U00010400", u"\U0001F4E7", u"ab", u"\u00e9\u00e9", u"zz",
                                    u"\U00010428", u"\uff41y", u"q",          u"\u4e2d\U00010400"};
    {
        ComPtr<IStorage> storage;
        ASSERT_EQ(Create(path, &storage), S_OK);
        unsigned seed = 0;
        for (const auto& name : names) PutStream(storage.Get(), name, Pattern(10, ++seed));
    }
    EXPECT_EQ(CheckTree(path), "ok\n");
    // Swap the names of two entries of one length: the order is broken now.
    auto bytes = ReadFileBytes(path);
    auto find = [&](const std::u16string& name) {
        const auto* raw = reinterpret_cast<const BYTE*>(name.data());
        return std::search(bytes.begin(), bytes.end(), raw, raw + 2 * name.size()) - bytes.begin();
    };
    const auto first = find(u"\uff21x"), second = find(u"\U00010400");
    ASSERT_LT(size_t(first), bytes.size());
    ASSERT_LT(size_t(second), bytes.size());
    std::swap_ranges(bytes.begin() + first, bytes.begin() + first + 4, bytes.begin() + second);
    const std::string swapped = dir.File("swapped.msg");
    WriteFileBytes(swapped, bytes);
    EXPECT_NE(CheckTree(swapped).find("order broken"), std::string::npos) << CheckTree(swapped);
}

// A stream read in small pieces is served from a window of the file; each piece comes from the
// window only when the window holds all of it. The window's buffer here first holds bytes from
// far away, so a byte served from just past the window's end would be a wrong one.
TEST(StorageWrite, TheReadWindowServesOnlyItsOwnBytes) {
    TempDir dir;
    const std::string path = dir.File("a.msg");
    const auto data = Pattern(300000, 41);
    WriteNewFile(path, {{u"big", data}});
    ComPtr<IStorage> storage;
    ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
    ComPtr<IStream> stream;
    ASSERT_EQ(storage->OpenStream(u"big", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()), S_OK);
    EXPECT_EQ(ReadAt(stream.Get(), 100000, 60000), std::vector<BYTE>(data.begin() + 100000, data.begin() + 160000));
    for (uint64_t at = 0; at < 20000; ++at) {
        const auto got = ReadAt(stream.Get(), at, 1);
        ASSERT_EQ(got, std::vector<BYTE>{data[at]}) << "at " << at;
    }
    // Pieces across window edges, read on without seeking.
    std::mt19937 random(5);
    uint64_t at = 150000;
    LARGE_INTEGER to;
    to.QuadPart = LONGLONG(at);
    ASSERT_EQ(stream->Seek(to, STREAM_SEEK_SET, nullptr), S_OK);
    while (at < data.size()) {
        const ULONG size = ULONG(1 + random() % 700);
        std::vector<BYTE> piece(size);
        ULONG got = 0;
        ASSERT_EQ(stream->Read(piece.data(), size, &got), S_OK);
        ASSERT_EQ(got, std::min<uint64_t>(size, data.size() - at));
        ASSERT_TRUE(std::equal(piece.begin(), piece.begin() + got, data.begin() + long(at))) << "at " << at;
        at += got;
    }
}
