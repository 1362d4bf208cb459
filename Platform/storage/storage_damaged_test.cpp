// Damaged and hostile images: every walk is bounded and checked, and a damaged file gives a
// clear result, never a crash, a hang or an allocation larger than the file.
#include "storage/storage_test_util.h"

#include <algorithm>
#include <functional>
#include <map>
#include <numeric>
#include <random>

#include "storage/storage_internal.h"

using namespace storage_test;
using platform::ComPtr;
using platform::storage::Load32;
using platform::storage::Store16;
using platform::storage::Store32;
using platform::storage::Store64;

namespace {

constexpr DWORD kWrite = STGM_READWRITE | STGM_SHARE_EXCLUSIVE;

// Opens the image and reads everything in it; returns the first failure, or S_OK.
HRESULT WalkStorage(IStorage* storage, int depth = 0) {
    if (depth > 64) return E_FAIL;
    ComPtr<IEnumSTATSTG> elements;
    HRESULT hr = storage->EnumElements(0, nullptr, 0, elements.Put());
    if (FAILED(hr)) return hr;
    STATSTG stat;
    while ((hr = elements->Next(1, &stat, nullptr)) == S_OK) {
        std::u16string name(stat.pwcsName);
        CoTaskMemFree(stat.pwcsName);
        if (stat.type == STGTY_STREAM) {
            ComPtr<IStream> stream;
            hr = storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put());
            if (FAILED(hr)) return hr;
            BYTE buffer[4096];
            ULONG got = 0;
            do {
                hr = stream->Read(buffer, sizeof buffer, &got);
                if (FAILED(hr)) return hr;
            } while (got);
        } else {
            ComPtr<IStorage> child;
            hr = storage->OpenStorage(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, nullptr, 0, child.Put());
            if (FAILED(hr)) return hr;
            hr = WalkStorage(child.Get(), depth + 1);
            if (FAILED(hr)) return hr;
        }
    }
    return FAILED(hr) ? hr : S_OK;
}

HRESULT OpenAndWalk(const std::vector<BYTE>& image) {
    ComPtr<IStorage> storage;
    HRESULT hr = platform::testing::OpenStorageOnMemory(image.data(), image.size(), storage.Put());
    if (FAILED(hr)) return hr;
    return WalkStorage(storage.Get());
}

// A small valid image made by our writer: root with a large stream "big" (5000 bytes), a small
// stream "small" (300 bytes) and a storage "sub" holding stream "inner".
std::vector<BYTE> BaseImage() {
    TempDir dir;
    std::string path = dir.File("base.msg");
    {
        ComPtr<IStorage> storage;
        std::u16string wide = Wide(path);
        EXPECT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | kWrite, 0, storage.Put()), S_OK);
        auto put = [](IStorage* target, const char16_t* name, size_t size) {
            ComPtr<IStream> stream;
            EXPECT_EQ(target->CreateStream(name, kWrite, 0, 0, stream.Put()), S_OK);
            std::vector<BYTE> data(size, BYTE(size));
            EXPECT_EQ(stream->Write(data.data(), ULONG(size), nullptr), S_OK);
        };
        put(storage.Get(), u"big", 5000);
        put(storage.Get(), u"small", 300);
        ComPtr<IStorage> sub;
        EXPECT_EQ(storage->CreateStorage(u"sub", kWrite, 0, 0, sub.Put()), S_OK);
        put(sub.Get(), u"inner", 100);
    }
    return ReadFileBytes(path);
}

struct Image {
    std::vector<BYTE> bytes;
    uint32_t SectorOffset(uint32_t sector) const { return (sector + 1) * 512; }
    uint32_t Header(size_t at) const { return Load32(bytes.data() + at); }
    uint32_t FatOffset() const { return SectorOffset(Header(76)); }
    uint32_t DirectoryOffset() const { return SectorOffset(Header(48)); }
    // Offset of the directory entry with this name.
    uint32_t Entry(const std::u16string& name) const {
        for (uint32_t at = DirectoryOffset(); at + 128 <= bytes.size(); at += 128) {
            bool same = Load32(bytes.data() + at + 64) % 65536 == (name.size() + 1) * 2;
            for (size_t i = 0; same && i < name.size(); ++i)
                same = (bytes[at + 2 * i] | bytes[at + 2 * i + 1] << 8) == name[i];
            if (same) return at;
        }
        ADD_FAILURE() << "no entry";
        return 0;
    }
    uint32_t EntryId(const std::u16string& name) const { return (Entry(name) - DirectoryOffset()) / 128; }
    BYTE* At(size_t offset) { return bytes.data() + offset; }
    void SetFat(uint32_t sector, uint32_t value) { Store32(At(FatOffset() + 4 * sector), value); }
};

}  // namespace

TEST(StorageNames, CompareShorterFirstThenUpperCase) {
    using platform::storage::CompareNames;
    EXPECT_LT(CompareNames(u"zz", u"aaa"), 0);
    EXPECT_EQ(CompareNames(u"abc", u"ABC"), 0);
    EXPECT_LT(CompareNames(u"abc", u"ABD"), 0);
    EXPECT_GT(CompareNames(u"_b", u"Ab"), 0);  // '_' (0x5F) sorts after 'A' once upper-cased
    EXPECT_EQ(CompareNames(u"\u00e9t\u00e9", u"\u00c9T\u00c9"), 0);
    EXPECT_EQ(CompareNames(u"\u0430", u"\u0410"), 0);
    EXPECT_LT(CompareNames(u"\u00d7", u"\u00f7"), 0);  // neither is a letter
}

TEST(StorageDamaged, BaseImageIsSound) {
    Image image{BaseImage()};
    ASSERT_GT(image.bytes.size(), 1024u);
    EXPECT_EQ(OpenAndWalk(image.bytes), S_OK);
}

// A stream's sector chain is followed when the stream is read, as Windows' structured storage
// does: a damaged chain opens, and its reads fail. (Before, the open failed, so a reader could
// not tell a stream it cannot read from one it cannot open.)
TEST(StorageDamaged, ADamagedChainFailsTheReadsNotTheOpen) {
    const Image base{BaseImage()};
    struct Case {
        const char* what;
        void (*damage)(Image&);
    } cases[] = {
        {"stream larger than its chain", [](Image& i) { i.SetFat(Load32(i.At(i.Entry(u"big") + 116)), 0xFFFFFFFE); }},
        {"stream chain cycle",
         [](Image& i) {
             uint32_t start = Load32(i.At(i.Entry(u"big") + 116));
             i.SetFat(start + 2, start);
         }},
        {"stream chain past the end", [](Image& i) { i.SetFat(Load32(i.At(i.Entry(u"big") + 116)), 0x00FFFFFF); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image image = base;
        c.damage(image);
        ComPtr<IStorage> storage;
        ASSERT_EQ(platform::testing::OpenStorageOnMemory(image.bytes.data(), image.bytes.size(), storage.Put()), S_OK);
        ComPtr<IStream> stream;
        ASSERT_EQ(storage->OpenStream(u"big", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()), S_OK);
        STATSTG stat{};
        EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
        EXPECT_EQ(stat.cbSize.QuadPart, 5000u) << "the size the directory gives";
        std::vector<BYTE> data(5000);
        ULONG read = 0;
        EXPECT_EQ(stream->Read(data.data(), 5000, &read), STG_E_DOCFILECORRUPT);
        // The sound streams beside it read as ever.
        ComPtr<IStream> small;
        ASSERT_EQ(storage->OpenStream(u"small", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, small.Put()), S_OK);
        EXPECT_EQ(small->Read(data.data(), 300, &read), S_OK);
        EXPECT_EQ(read, 300u);
    }
}

TEST(StorageDamaged, EachDamageGivesItsResult) {
    const Image base{BaseImage()};
    struct Case {
        const char* what;
        void (*damage)(Image&);
        HRESULT expected;
    } cases[] = {
        {"signature", [](Image& i) { i.bytes[0] = 0; }, STG_E_FILEALREADYEXISTS},
        {"truncated header", [](Image& i) { i.bytes.resize(300); }, STG_E_INVALIDHEADER},
        {"byte order", [](Image& i) { Store16(i.At(28), 0xFEFF); }, STG_E_INVALIDHEADER},
        {"sector shift", [](Image& i) { Store16(i.At(30), 12); }, STG_E_INVALIDHEADER},
        {"huge sector shift", [](Image& i) { Store16(i.At(30), 40); }, STG_E_INVALIDHEADER},
        {"mini sector shift", [](Image& i) { Store16(i.At(32), 7); }, STG_E_INVALIDHEADER},
        {"version", [](Image& i) { Store16(i.At(26), 5); }, STG_E_INVALIDHEADER},
        {"allocation table count", [](Image& i) { Store32(i.At(44), 0x7FFFFFFF); }, STG_E_INVALIDHEADER},
        {"no allocation table", [](Image& i) { Store32(i.At(44), 0); }, STG_E_INVALIDHEADER},
        {"DIFAT count short", [](Image& i) { Store32(i.At(44), 200); }, STG_E_INVALIDHEADER},
        {"table sector past the end", [](Image& i) { Store32(i.At(76), 0x00FFFFFF); }, STG_E_DOCFILECORRUPT},
        {"directory past the end", [](Image& i) { Store32(i.At(48), 0x00FFFFFF); }, STG_E_DOCFILECORRUPT},
        {"directory chain cycle",
         [](Image& i) { i.SetFat(i.Header(48), i.Header(48)); }, STG_E_DOCFILECORRUPT},
        {"directory chain into free sector",
         [](Image& i) { i.SetFat(i.Header(48), 0xFFFFFFFF); }, STG_E_DOCFILECORRUPT},
        {"root not a root", [](Image& i) { i.bytes[i.DirectoryOffset() + 66] = 1; }, STG_E_DOCFILECORRUPT},
        {"root's child is the root", [](Image& i) { Store32(i.At(i.DirectoryOffset() + 76), 0); }, STG_E_DOCFILECORRUPT},
        {"sibling is itself",
         [](Image& i) {
             uint32_t at = i.Entry(u"big");
             Store32(i.At(at + 68), i.EntryId(u"big"));
         },
         STG_E_DOCFILECORRUPT},
        {"child is its ancestor",
         [](Image& i) { Store32(i.At(i.Entry(u"sub") + 76), i.EntryId(u"sub")); }, STG_E_DOCFILECORRUPT},
        {"sibling out of range", [](Image& i) { Store32(i.At(i.Entry(u"big") + 72), 100000); }, STG_E_DOCFILECORRUPT},
        {"name too long", [](Image& i) { Store16(i.At(i.Entry(u"big") + 64), 66); }, STG_E_DOCFILECORRUPT},
        {"name length odd", [](Image& i) { Store16(i.At(i.Entry(u"big") + 64), 7); }, STG_E_DOCFILECORRUPT},
        {"unknown entry kind", [](Image& i) { i.bytes[i.Entry(u"big") + 66] = 3; }, STG_E_DOCFILECORRUPT},
        {"duplicate names",
         [](Image& i) {
             uint32_t at = i.Entry(u"small");
             const char16_t name[] = u"BIG";
             for (int k = 0; k < 4; ++k) Store16(i.At(at + 2 * k), name[k]);
             Store16(i.At(at + 64), 8);
         },
         STG_E_DOCFILECORRUPT},
        {"stream larger than the file",
         [](Image& i) { Store32(i.At(i.Entry(u"big") + 120), 0x7FFFFFFF); }, STG_E_DOCFILECORRUPT},
        {"stream larger than its chain",
         [](Image& i) { Store32(i.At(i.Entry(u"big") + 120), uint32_t(i.bytes.size() - 600)); }, STG_E_DOCFILECORRUPT},
        {"stream chain cycle",
         [](Image& i) {
             uint32_t start = Load32(i.At(i.Entry(u"big") + 116));
             i.SetFat(start + 2, start);
         },
         STG_E_DOCFILECORRUPT},
        {"stream starts past the end",
         [](Image& i) { Store32(i.At(i.Entry(u"big") + 116), 0x00FFFFFF); }, STG_E_DOCFILECORRUPT},
        {"stream chain past the end",
         [](Image& i) { i.SetFat(Load32(i.At(i.Entry(u"big") + 116)), 0x00FFFFFF); }, STG_E_DOCFILECORRUPT},
        {"mini stream sector past the mini stream",
         [](Image& i) { Store32(i.At(i.Entry(u"small") + 116), 100000); }, STG_E_DOCFILECORRUPT},
        {"mini stream chain cycle",
         [](Image& i) {
             uint32_t first = Load32(i.At(i.Entry(u"small") + 116));
             uint32_t miniFat = i.SectorOffset(i.Header(60));
             Store32(i.At(miniFat + 4 * (first + 1)), first);
         },
         STG_E_DOCFILECORRUPT},
        {"mini stream container cut short",
         [](Image& i) { Store64(i.At(i.DirectoryOffset() + 120), 64); }, STG_E_DOCFILECORRUPT},
        {"file cut after the directory", [](Image& i) { i.bytes.resize(i.DirectoryOffset() + 512); }, STG_E_DOCFILECORRUPT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Image image = base;
        c.damage(image);
        EXPECT_EQ(OpenAndWalk(image.bytes), c.expected);
    }
}

// Random damage anywhere: no crash, no hang; the result is success or one of the storage codes.
TEST(StorageDamaged, RandomDamageNeverCrashes) {
    const Image base{BaseImage()};
    uint32_t x = 2463534242u;
    auto next = [&] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    for (int round = 0; round < 2000; ++round) {
        Image image = base;
        int changes = 1 + int(next() % 8);
        for (int k = 0; k < changes; ++k) {
            size_t at = next() % image.bytes.size();
            image.bytes[at] = BYTE(next());
        }
        HRESULT hr = OpenAndWalk(image.bytes);
        EXPECT_TRUE(hr == S_OK || hr == STG_E_DOCFILECORRUPT || hr == STG_E_INVALIDHEADER ||
                    hr == STG_E_FILEALREADYEXISTS)
            << std::hex << hr;
    }
}

// Inputs the fuzz target found interesting (and any that once failed) open or fail cleanly.
TEST(StorageDamaged, FuzzRegressionInputs) {
    std::string folder = std::string(MSGPLUGIN_SOURCE_DIR) + "/fuzz/regressions/storage_fuzz";
    int count = 0;
    for (auto& entry : std::filesystem::directory_iterator(folder)) {
        SCOPED_TRACE(entry.path().string());
        HRESULT hr = OpenAndWalk(ReadFileBytes(entry.path().string()));
        EXPECT_TRUE(hr == S_OK || hr == STG_E_DOCFILECORRUPT || hr == STG_E_INVALIDHEADER ||
                    hr == STG_E_FILEALREADYEXISTS)
            << std::hex << hr;
        ++count;
    }
    EXPECT_GE(count, 2);
}

// A stream whose chain breaks part way reads up to the break: only the read that reaches the
// break fails, as with Windows' structured storage, which follows the chain as it reads.
TEST(StorageDamaged, AChainReadsUpToItsBreak) {
    const std::vector<BYTE> data = Pattern(40 * 512, 31), small = Pattern(300, 32), mini = Pattern(2000, 33);
    const std::map<std::u16string, const std::vector<BYTE>*> streams = {
        {u"long", &data}, {u"small", &small}, {u"mini2", &mini}};
    TempDir dir;
    Image base;
    {
        const std::string path = dir.File("base.msg");
        {
            ComPtr<IStorage> storage;
            ASSERT_EQ(Create(path, &storage), S_OK);
            PutStream(storage.Get(), u"long", data);
            PutStream(storage.Get(), u"small", small);
            PutStream(storage.Get(), u"mini2", mini);
            // Past 64 KB, so the file is read as a file, not held whole.
            PutStream(storage.Get(), u"pad", Pattern(70000, 34));
        }
        ASSERT_GT(ReadFileBytes(path).size(), 70000u);
        base.bytes = ReadFileBytes(path);
    }
    const uint32_t start = Load32(base.At(base.Entry(u"long") + 116));
    const uint32_t miniStart = Load32(base.At(base.Entry(u"small") + 116));
    const uint32_t miniFat = base.SectorOffset(base.Header(60));
    const uint32_t containerStart = Load32(base.At(base.DirectoryOffset() + 116));
    ASSERT_EQ(Load32(base.At(base.Entry(u"mini2") + 116)), 0u) << "the mini stream's first stream";
    struct Case {
        const char* what;
        std::function<void(Image&)> damage;
        const char16_t* stream;
        size_t readable;  // bytes before the break
    } cases[] = {
        {"30th sector leads past the file", [&](Image& i) { i.SetFat(start + 29, 0x00FFFFFF); }, u"long", 30 * 512},
        {"30th sector leads to a free mark", [&](Image& i) { i.SetFat(start + 29, 0xFFFFFFFF); }, u"long", 30 * 512},
        {"30th sector ends the chain early", [&](Image& i) { i.SetFat(start + 29, 0xFFFFFFFE); }, u"long", 30 * 512},
        {"30th sector leads back into the chain", [&](Image& i) { i.SetFat(start + 29, start + 3); }, u"long", 30 * 512},
        {"first sector ends the chain", [&](Image& i) { i.SetFat(start, 0xFFFFFFFE); }, u"long", 512},
        {"third mini sector leads past the mini stream",
         [&](Image& i) { Store32(i.At(miniFat + 4 * (miniStart + 2)), 100000); }, u"small", 3 * 64},
        {"third mini sector leads back to the first",
         [&](Image& i) { Store32(i.At(miniFat + 4 * (miniStart + 2)), miniStart); }, u"small", 3 * 64},
        {"the mini stream's own chain ends after its first sector",
         [&](Image& i) { i.SetFat(containerStart, 0xFFFFFFFE); }, u"mini2", 512},
    };
    for (const Case& c : cases) {
        Image image = base;
        c.damage(image);
        const std::vector<BYTE>& expected = *streams.at(c.stream);
        const std::string path = dir.File("damaged.msg");
        WriteFileBytes(path, image.bytes);
        for (bool fromFile : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (fromFile ? ", from a file" : ", from memory"));
            ComPtr<IStorage> storage;
            if (fromFile)
                ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
            else
                ASSERT_EQ(platform::testing::OpenStorageOnMemory(image.bytes.data(), image.bytes.size(), storage.Put()),
                          S_OK);
            ComPtr<IStream> stream;
            ASSERT_EQ(storage->OpenStream(c.stream, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()), S_OK);
            // The first read reaches nowhere near the break.
            std::vector<BYTE> piece(64);
            ULONG got = 0;
            ASSERT_EQ(stream->Read(piece.data(), 64, &got), S_OK);
            ASSERT_EQ(got, 64u);
            EXPECT_TRUE(std::equal(piece.begin(), piece.end(), expected.begin()));
            // Pieces up to the break read as written; the one that reaches it fails and reads nothing.
            std::vector<BYTE> all(piece.begin(), piece.end());
            HRESULT hr = S_OK;
            while (all.size() < expected.size()) {
                const ULONG size = ULONG(std::min<size_t>(64, expected.size() - all.size()));
                hr = stream->Read(piece.data(), size, &got);
                if (FAILED(hr)) break;
                ASSERT_EQ(got, size);
                all.insert(all.end(), piece.begin(), piece.begin() + size);
            }
            EXPECT_EQ(hr, STG_E_DOCFILECORRUPT);
            EXPECT_EQ(all.size(), c.readable);
            EXPECT_TRUE(std::equal(all.begin(), all.end(), expected.begin()));
            EXPECT_EQ(got, 0u);
            ULARGE_INTEGER position{};
            LARGE_INTEGER none{};
            ASSERT_EQ(stream->Seek(none, STREAM_SEEK_CUR, &position), S_OK);
            EXPECT_EQ(position.QuadPart, c.readable) << "the failed read moved nothing";
            // One read across the break fails whole; one read before it succeeds after that.
            LARGE_INTEGER at{};
            at.QuadPart = LONGLONG(c.readable) - 10;
            ASSERT_EQ(stream->Seek(at, STREAM_SEEK_SET, nullptr), S_OK);
            EXPECT_EQ(stream->Read(piece.data(), 20, &got), STG_E_DOCFILECORRUPT);
            EXPECT_EQ(stream->Read(piece.data(), 10, &got), S_OK);
            EXPECT_EQ(got, 10u);
            EXPECT_TRUE(std::equal(piece.begin(), piece.begin() + 10, expected.begin() + long(c.readable) - 10));
            // The sound stream beside it reads whole.
            const char16_t* other = std::u16string(c.stream) == u"long" ? u"mini2" : u"long";
            EXPECT_EQ(GetStream(storage.Get(), other), *streams.at(other));
        }
    }
}

// Writers place a small stream's mini sectors anywhere in the mini stream, in any order: every
// stream reads as written whatever the order, on seeded random shuffles of the mini sectors.
TEST(StorageChains, MiniSectorsInAnyOrderReadAsWritten) {
    TempDir dir;
    for (bool large : {false, true}) {  // a file held whole when opened, and one read as it goes
        std::mt19937 random(large ? 2027 : 2026);
        std::map<std::u16string, std::vector<BYTE>> streams;
        const std::string path = dir.File("base.msg");
        {
            ComPtr<IStorage> storage;
            ASSERT_EQ(Create(path, &storage), S_OK);
            for (unsigned i = 0; i < 12; ++i) {
                std::u16string name = u"mini" + Wide(std::to_string(i));
                streams[name] = Pattern(1 + random() % 4000, 100 + i);
                PutStream(storage.Get(), name, streams[name]);
            }
            if (large) PutStream(storage.Get(), u"pad", Pattern(70000, 99));
        }
        const Image base{ReadFileBytes(path)};
        auto fat = [&](uint32_t sector) {
            return Load32(base.bytes.data() + base.SectorOffset(base.Header(76 + 4 * (sector / 128))) + 4 * (sector % 128));
        };
        auto chain = [&](uint32_t sector) {
            std::vector<uint32_t> sectors;
            for (; sector < 0xFFFFFFFA && sectors.size() < 1000; sector = fat(sector)) sectors.push_back(sector);
            return sectors;
        };
        const uint32_t root = base.DirectoryOffset();
        const std::vector<uint32_t> container = chain(Load32(base.bytes.data() + root + 116));
        const std::vector<uint32_t> miniFat = chain(base.Header(60));
        const uint32_t used = (Load32(base.bytes.data() + root + 120) + 63) / 64;
        auto sectorAt = [&](uint32_t mini) { return base.SectorOffset(container[mini / 8]) + mini % 8 * 64; };
        auto entryAt = [&](uint32_t mini) { return base.SectorOffset(miniFat[mini / 128]) + mini % 128 * 4; };
        ASSERT_GT(used, 50u);
        for (int round = 0; round < 20; ++round) {
            std::vector<uint32_t> moved(used);  // mini sector m goes to moved[m]
            std::iota(moved.begin(), moved.end(), 0u);
            std::shuffle(moved.begin(), moved.end(), random);
            Image image = base;
            for (uint32_t m = 0; m < used; ++m) {
                std::copy_n(base.bytes.begin() + sectorAt(m), 64, image.At(sectorAt(moved[m])));
                const uint32_t next = Load32(base.bytes.data() + entryAt(m));
                Store32(image.At(entryAt(moved[m])), next < used ? moved[next] : next);
            }
            for (const auto& [name, data] : streams)
                Store32(image.At(image.Entry(name) + 116), moved[Load32(base.bytes.data() + base.Entry(name) + 116)]);
            WriteFileBytes(path, image.bytes);
            ComPtr<IStorage> storage;
            ASSERT_EQ(Open(path, kReadDenyWrite, &storage), S_OK);
            for (const auto& [name, data] : streams)
                ASSERT_EQ(GetStream(storage.Get(), name), data) << Utf8(name.c_str()) << " round " << round << (large ? " large" : "");
        }
    }
}
