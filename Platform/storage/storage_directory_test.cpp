// The directory as the file stores it: names are found through the stored sibling trees, also
// when a writer left a tree out of order or degenerate; two children with one name are
// refused. And the direct reading of a storage's streams that the message store uses.
#include "storage/storage_test_util.h"

#include <functional>

#include "storage/storage_direct.h"
#include "storage/storage_internal.h"

using namespace storage_test;
using platform::ComPtr;
using platform::storage::Load16;
using platform::storage::Load32;
using platform::storage::Store16;
using platform::storage::Store32;

namespace {

constexpr uint32_t kNone = 0xFFFFFFFF;

// An image whose root holds streams "s01" ... "sNN" (stream i holds i bytes of value i).
std::vector<BYTE> ImageWithStreams(size_t count) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    {
        ComPtr<IStorage> storage;
        std::u16string wide = Wide(path);
        EXPECT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | kReadWriteExclusive, 0, storage.Put()), S_OK);
        for (size_t i = 1; i <= count; ++i) {
            char name[8];
            std::snprintf(name, sizeof name, "s%02zu", i);
            PutStream(storage.Get(), Wide(name), std::vector<BYTE>(i, BYTE(i)));
        }
    }
    return ReadFileBytes(path);
}

std::u16string StreamName(size_t i) {
    char name[8];
    std::snprintf(name, sizeof name, "s%02zu", i);
    return Wide(name);
}

// The directory of an image our writer made (it lies in consecutive sectors).
struct Directory {
    std::vector<BYTE>& image;
    BYTE* Entry(uint32_t id) { return image.data() + (Load32(image.data() + 48) + 1) * 512 + id * 128; }
    uint32_t Find(const std::u16string& name) {
        for (uint32_t id = 0;; ++id) {
            BYTE* e = Entry(id);
            if (Load16(e + 64) != (name.size() + 1) * 2) continue;
            bool same = true;
            for (size_t i = 0; same && i < name.size(); ++i) same = Load16(e + 2 * i) == name[i];
            if (same) return id;
        }
    }
    void Link(uint32_t id, uint32_t left, uint32_t right) {
        Store32(Entry(id) + 68, left);
        Store32(Entry(id) + 72, right);
    }
    // The root tree's top with its sides swapped: a tree out of order, as some writers leave it.
    void SwapTopSides() {
        const uint32_t top = Load32(Entry(0) + 76);
        Link(top, Load32(Entry(top) + 72), Load32(Entry(top) + 68));
    }
};

HRESULT OpenImage(const std::vector<BYTE>& image, ComPtr<IStorage>* storage) {
    return platform::testing::OpenStorageOnMemory(image.data(), image.size(), storage->Put());
}

std::vector<std::u16string> Names(IStorage* storage) {
    std::vector<std::u16string> names;
    ComPtr<IEnumSTATSTG> elements;
    EXPECT_EQ(storage->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    STATSTG stat;
    while (elements && elements->Next(1, &stat, nullptr) == S_OK) {
        names.emplace_back(stat.pwcsName);
        CoTaskMemFree(stat.pwcsName);
    }
    return names;
}

// Every stream of an image of `count` streams whose directory `change` rearranged is found by
// its name (and by its name in capitals), with its bytes, and listed in order.
void ExpectEveryStreamFound(size_t count, const std::function<void(Directory&)>& change) {
    std::vector<BYTE> image = ImageWithStreams(count);
    Directory directory{image};
    change(directory);
    ComPtr<IStorage> opened;
    ASSERT_EQ(OpenImage(image, &opened), S_OK);
    IStorage* storage = opened.Get();
    for (size_t i = 1; i <= count; ++i) {
        SCOPED_TRACE(i);
        std::u16string capitals = StreamName(i);
        capitals[0] = u'S';
        for (const std::u16string& name : {StreamName(i), capitals}) {
            ComPtr<IStream> stream;
            ASSERT_EQ(storage->OpenStream(name.c_str(), nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()),
                      S_OK);
            EXPECT_EQ(ReadAll(stream.Get()), std::vector<BYTE>(i, BYTE(i)));
        }
    }
    ComPtr<IStream> missing;
    EXPECT_EQ(storage->OpenStream(u"s00", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, missing.Put()),
              STG_E_FILENOTFOUND);
    std::vector<std::u16string> expected;
    for (size_t i = 1; i <= count; ++i) expected.push_back(StreamName(i));
    EXPECT_EQ(Names(storage), expected);
}

ComPtr<IStorageDirectRead> Direct(IStorage* storage) {
    ComPtr<IStorageDirectRead> direct;
    EXPECT_EQ(storage->QueryInterface(IID_IStorageDirectRead, direct.PutVoid()), S_OK);
    return direct;
}

}  // namespace

TEST(StorageDirectory, SiblingTreesAreSearchedAsStored) {
    ExpectEveryStreamFound(12, [](Directory&) {});
}

// A writer that leaves siblings out of order: names are still found and listed in order.
TEST(StorageDirectory, ATreeOutOfOrderIsStillSearched) {
    ExpectEveryStreamFound(12, [](Directory& directory) { directory.SwapTopSides(); });
}

// A tree as deep as it is long (a chain of right siblings) is sound, only slow to descend.
TEST(StorageDirectory, ADegenerateTreeIsSearched) {
    const size_t count = 40;
    ExpectEveryStreamFound(count, [&](Directory& directory) {
        std::vector<uint32_t> ids;
        for (size_t i = 1; i <= count; ++i) ids.push_back(directory.Find(StreamName(i)));
        Store32(directory.Entry(0) + 76, ids[0]);
        for (size_t i = 0; i < count; ++i) directory.Link(ids[i], kNone, i + 1 < count ? ids[i + 1] : kNone);
    });
}

TEST(StorageDirectory, TwoChildrenWithOneNameAreRefused) {
    const size_t count = 12;
    const std::vector<BYTE> base = ImageWithStreams(count);
    for (bool ordered : {true, false}) {
        SCOPED_TRACE(ordered ? "in a tree in order" : "in a tree out of order");
        std::vector<BYTE> image = base;
        Directory directory{image};
        // "s06" becomes "S05": equal to "s05" once upper-cased, and next to it in order.
        BYTE* e = directory.Entry(directory.Find(u"s06"));
        Store16(e, u'S');
        Store16(e + 4, u'5');
        if (!ordered) directory.SwapTopSides();
        ComPtr<IStorage> storage;
        EXPECT_EQ(OpenImage(image, &storage), STG_E_DOCFILECORRUPT);
    }
}

// Children added, renamed and destroyed are found (and not found) like the stored ones.
TEST(StorageDirectory, ChangedChildrenAreFound) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    std::vector<BYTE> image = ImageWithStreams(12);
    WriteFileBytes(path, image);
    ComPtr<IStorage> storage;
    std::u16string wide = Wide(path);
    ASSERT_EQ(StgOpenStorage(wide.c_str(), nullptr, kReadWriteExclusive, nullptr, 0, storage.Put()), S_OK);
    PutStream(storage.Get(), u"s00", {0});
    ASSERT_EQ(storage->RenameElement(u"s05", u"t05"), S_OK);
    ASSERT_EQ(storage->DestroyElement(u"S07"), S_OK);
    std::vector<std::u16string> expected = {u"s00", u"s01", u"s02", u"s03", u"s04", u"s06",
                                            u"s08", u"s09", u"s10", u"s11", u"s12", u"t05"};
    EXPECT_EQ(Names(storage.Get()), expected);
    for (const char16_t* name : {u"s07", u"s05"}) {
        ComPtr<IStream> stream;
        EXPECT_EQ(storage->OpenStream(name, nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()),
                  STG_E_FILENOTFOUND);
    }
    ComPtr<IStream> renamed;
    ASSERT_EQ(storage->OpenStream(u"T05", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, renamed.Put()), S_OK);
    EXPECT_EQ(ReadAll(renamed.Get()), std::vector<BYTE>(5, 5));
    renamed.Reset();
    ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    storage.Reset();
    ASSERT_EQ(StgOpenStorage(wide.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put()),
              S_OK);
    EXPECT_EQ(Names(storage.Get()), expected);
}

// ---- Direct reading ------------------------------------------------------------------------

TEST(StorageDirectRead, FindsListsAndReads) {
    TempDir dir;
    std::string path = dir.File("a.msg");
    ComPtr<IStorage> storage;
    std::u16string wide = Wide(path);
    ASSERT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | kReadWriteExclusive, 0, storage.Put()), S_OK);
    std::vector<BYTE> big(5000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = BYTE(i * 7);
    PutStream(storage.Get(), u"big", big);
    PutStream(storage.Get(), u"small", {1, 2, 3});
    ComPtr<IStorage> sub;
    ASSERT_EQ(storage->CreateStorage(u"sub", kReadWriteExclusive, 0, 0, sub.Put()), S_OK);
    PutStream(sub.Get(), u"inner", {9, 9});
    ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);  // read back from the file, not from written pages

    ComPtr<IStorageDirectRead> direct = Direct(storage.Get());
    ASSERT_TRUE(direct);
    STGELEMENT element{};
    ASSERT_EQ(direct->FindElement(u"BIG", &element), S_OK);
    EXPECT_EQ(element.type, DWORD(STGTY_STREAM));
    EXPECT_EQ(element.cbSize.QuadPart, big.size());
    std::vector<BYTE> read(6000);
    ULONG got = 0;
    ULARGE_INTEGER at{};
    at.QuadPart = 4990;
    ASSERT_EQ(direct->ReadElement(element.id, at, read.data(), 100, &got), S_OK);
    ASSERT_EQ(got, 10u);  // clipped to the stream, as IStream::Read is
    EXPECT_TRUE(std::equal(read.begin(), read.begin() + 10, big.begin() + 4990));
    at.QuadPart = 0;
    ASSERT_EQ(direct->ReadElement(element.id, at, read.data(), ULONG(read.size()), &got), S_OK);
    ASSERT_EQ(got, big.size());
    EXPECT_TRUE(std::equal(big.begin(), big.end(), read.begin()));
    const ULONG bigId = element.id;

    ASSERT_EQ(direct->FindElement(u"sub", &element), S_OK);
    EXPECT_EQ(element.type, DWORD(STGTY_STORAGE));
    EXPECT_EQ(direct->ReadElement(element.id, at, read.data(), 1, &got), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(direct->FindElement(u"inner", &element), STG_E_FILENOTFOUND);
    EXPECT_EQ(direct->FindElement(u"0123456789012345678901234567890123", &element), STG_E_INVALIDNAME);

    // Listing, all kinds or one.
    // Listing, all kinds or one, in batches of every size: each batch but the last is full.
    for (ULONG batch = 1; batch <= 4; ++batch) {
        SCOPED_TRACE(batch);
        for (DWORD type : {DWORD(0), DWORD(STGTY_STORAGE), DWORD(STGTY_STREAM)}) {
            std::vector<std::u16string> listed;
            std::vector<STGELEMENT> elements(batch);
            ULONG position = 0, fetched = 0;
            HRESULT hr;
            do {
                hr = direct->NextElements(&position, type, batch, elements.data(), &fetched);
                ASSERT_TRUE(hr == S_OK ? fetched == batch : hr == S_FALSE && fetched < batch);
                for (ULONG i = 0; i < fetched; ++i) {
                    listed.emplace_back(elements[i].name);
                    EXPECT_TRUE(type == 0 || elements[i].type == type);
                }
            } while (hr == S_OK);
            using Names = std::vector<std::u16string>;
            const Names expected = type == STGTY_STORAGE  ? Names{u"sub"}
                                   : type == STGTY_STREAM ? Names{u"big", u"small"}
                                                          : Names{u"big", u"sub", u"small"};
            EXPECT_EQ(listed, expected);
        }
    }

    // The child storage reads its own streams only.
    ComPtr<IStorageDirectRead> inner = Direct(sub.Get());
    ASSERT_EQ(inner->FindElement(u"inner", &element), S_OK);
    ASSERT_EQ(inner->ReadElement(element.id, at, read.data(), 10, &got), S_OK);
    EXPECT_EQ(got, 2u);
    EXPECT_EQ(inner->ReadElement(bigId, at, read.data(), 10, &got), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(direct->ReadElement(element.id, at, read.data(), 10, &got), STG_E_INVALIDPARAMETER);

    // Written bytes are read at once; destroyed elements are gone.
    ComPtr<IStream> small;
    ASSERT_EQ(storage->OpenStream(u"small", nullptr, kReadWriteExclusive, 0, small.Put()), S_OK);
    ASSERT_EQ(small->Write("\x07\x08\x09\x0A", 4, nullptr), S_OK);
    ASSERT_EQ(direct->FindElement(u"small", &element), S_OK);
    EXPECT_EQ(element.cbSize.QuadPart, 4u);
    ASSERT_EQ(direct->ReadElement(element.id, at, read.data(), 10, &got), S_OK);
    EXPECT_EQ(std::vector<BYTE>(read.begin(), read.begin() + got), (std::vector<BYTE>{7, 8, 9, 10}));
    small.Reset();
    ASSERT_EQ(storage->DestroyElement(u"small"), S_OK);
    EXPECT_EQ(direct->ReadElement(element.id, at, read.data(), 10, &got), STG_E_INVALIDPARAMETER);
    ASSERT_EQ(storage->DestroyElement(u"sub"), S_OK);
    EXPECT_EQ(inner->FindElement(u"inner", &element), STG_E_REVERTED);
}

TEST(StorageDirectRead, OnlyStoragesAnswerAndFaultsReachIt) {
    std::vector<BYTE> image = ImageWithStreams(3);
    ComPtr<IStorage> storage;
    ASSERT_EQ(OpenImage(image, &storage), S_OK);
    ComPtr<IStream> stream;
    ASSERT_EQ(storage->OpenStream(u"s01", nullptr, STGM_READ | STGM_SHARE_EXCLUSIVE, 0, stream.Put()), S_OK);
    ComPtr<IStorageDirectRead> none;
    EXPECT_EQ(stream->QueryInterface(IID_IStorageDirectRead, none.PutVoid()), E_NOINTERFACE);
    ComPtr<IStorageDirectRead> direct = Direct(storage.Get());
    STGELEMENT element{};
    ULONG position = 0, got = 0;
    BYTE buffer[4];
    ULARGE_INTEGER at{};
    const HRESULT code = STG_E_READFAULT;
    platform::testing::FailNthCall("IStorageDirectRead::FindElement", 1, code);
    EXPECT_EQ(direct->FindElement(u"s02", &element), code);
    ASSERT_EQ(direct->FindElement(u"s02", &element), S_OK);
    platform::testing::FailNthCall("IStorageDirectRead::ReadElement", 1, code);
    EXPECT_EQ(direct->ReadElement(element.id, at, buffer, 2, &got), code);
    EXPECT_EQ(got, 0u);
    platform::testing::FailNthCall("IStorageDirectRead::NextElements", 1, code);
    EXPECT_EQ(direct->NextElements(&position, 0, 1, &element, &got), code);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(direct->NextElements(&position, 0, 1, &element, &got), S_OK);
    EXPECT_EQ(got, 1u);
}
