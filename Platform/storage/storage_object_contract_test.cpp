// The contract of the storage objects (IStorage, IStream, IEnumSTATSTG and the direct reading
// of a storage's streams): arguments, names and modes refused before any work, read-only and
// write-only objects refusing what they may not do, elements destroyed under open objects
// (STG_E_REVERTED), and each operation's fault-injection name.
#include "storage/storage_test_util.h"

#include <climits>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "com/com_test_util.h"
#include "storage/storage_direct.h"

using namespace storage_test;
using platform::ComPtr;
namespace pt = platform::testing;

namespace {

constexpr DWORD kReadExclusive = STGM_READ | STGM_SHARE_EXCLUSIVE;
constexpr DWORD kWriteExclusive = STGM_WRITE | STGM_SHARE_EXCLUSIVE;

class StorageContract : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(StgCreateDocfile(Wide(dir_.File("c.stg")).c_str(), STGM_CREATE | kReadWriteExclusive, 0, root_.Put()),
                  S_OK);
    }
    ComPtr<IStream> NewStream(IStorage* parent, const char16_t* name, const std::string& text) {
        ComPtr<IStream> stream;
        EXPECT_EQ(parent->CreateStream(name, kReadWriteExclusive, 0, 0, stream.Put()), S_OK);
        if (stream && !text.empty()) {
            EXPECT_EQ(stream->Write(text.data(), ULONG(text.size()), nullptr), S_OK);
        }
        return stream;
    }
    // A new storage `name` in `parent` holding one stream of `text`, released again.
    void NewStorageWith(IStorage* parent, const char16_t* name, const char16_t* stream, const std::string& text) {
        ComPtr<IStorage> storage;
        ASSERT_EQ(parent->CreateStorage(name, kReadWriteExclusive, 0, 0, storage.Put()), S_OK);
        NewStream(storage.Get(), stream, text);
    }
    static std::string ReadRest(IStream* stream) {
        std::string all;
        char buffer[64];
        ULONG got = 0;
        while (stream->Read(buffer, sizeof buffer, &got) == S_OK && got) all.append(buffer, got);
        return all;
    }
    // The text of stream `stream` in storage `storage` of `parent`; both must open.
    static std::string ReadIn(IStorage* parent, const char16_t* storage, const char16_t* stream) {
        ComPtr<IStorage> child;
        ComPtr<IStream> opened;
        EXPECT_EQ(parent->OpenStorage(storage, nullptr, kReadExclusive, nullptr, 0, child.Put()), S_OK);
        if (child) {
            EXPECT_EQ(child->OpenStream(stream, nullptr, kReadExclusive, 0, opened.Put()), S_OK);
        }
        return opened ? ReadRest(opened.Get()) : std::string("<not opened>");
    }

    TempDir dir_;
    ComPtr<IStorage> root_;
};

TEST_F(StorageContract, StreamArgumentsModesAndRegions) {
    ComPtr<IStream> stream = NewStream(root_.Get(), u"s", "0123456789");
    pt::ExpectIdentity(stream.Get(), {&IID_IStream, &IID_IUnknown, &IID_ISequentialStream}, IID_IStorage);

    ULONG count = 7;
    EXPECT_EQ(stream->Read(nullptr, 1, &count), STG_E_INVALIDPOINTER);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(stream->Write(nullptr, 1, &count), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Write("x", 0, &count), S_OK);
    EXPECT_EQ(count, 0u);
    LARGE_INTEGER move{};
    ULARGE_INTEGER now{};
    EXPECT_EQ(stream->Seek(move, 7, &now), STG_E_INVALIDFUNCTION);
    move.QuadPart = -11;
    EXPECT_EQ(stream->Seek(move, STREAM_SEEK_END, &now), STG_E_INVALIDFUNCTION);
    move.QuadPart = LLONG_MAX;
    ASSERT_EQ(stream->Seek(move, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(stream->Seek(move, STREAM_SEEK_CUR, &now), STG_E_INVALIDFUNCTION) << "no position past 2^63";
    move.QuadPart = 3;
    ASSERT_EQ(stream->Seek(move, STREAM_SEEK_SET, &now), S_OK);
    EXPECT_EQ(now.QuadPart, 3u);

    STATSTG stat{};
    EXPECT_EQ(stream->Stat(nullptr, STATFLAG_NONAME), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Stat(&stat, 3), STG_E_INVALIDFLAG);
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_DEFAULT), S_OK);
    EXPECT_EQ(std::u16string(stat.pwcsName), u"s");
    EXPECT_EQ(stat.cbSize.QuadPart, 10u);
    CoTaskMemFree(stat.pwcsName);

    // A clone reads on from the same position, on its own.
    ComPtr<IStream> clone;
    EXPECT_EQ(stream->Clone(nullptr), STG_E_INVALIDPOINTER);
    ASSERT_EQ(stream->Clone(clone.Put()), S_OK);
    EXPECT_EQ(ReadRest(clone.Get()), "3456789");
    EXPECT_EQ(ReadRest(stream.Get()), "3456789");

    ULARGE_INTEGER region{}, length{};
    length.QuadPart = 1;
    EXPECT_EQ(stream->LockRegion(region, length, 1), STG_E_INVALIDFUNCTION) << "no region locks";
    EXPECT_EQ(stream->UnlockRegion(region, length, 1), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(stream->Revert(), S_OK);

    // Copies: to nowhere, and into a stream that refuses writing (its error, and the counts).
    ULARGE_INTEGER all{}, read{}, written{};
    all.QuadPart = 100;
    EXPECT_EQ(stream->CopyTo(nullptr, all, &read, &written), STG_E_INVALIDPOINTER);
    stream.Reset();
    clone.Reset();
    ComPtr<IStream> source, readOnly;
    ASSERT_EQ(root_->OpenStream(u"s", nullptr, kReadExclusive, 0, source.Put()), S_OK);
    NewStream(root_.Get(), u"t", "");
    ASSERT_EQ(root_->OpenStream(u"t", nullptr, kReadExclusive, 0, readOnly.Put()), S_OK);
    EXPECT_EQ(source->CopyTo(readOnly.Get(), all, &read, &written), STG_E_ACCESSDENIED);
    EXPECT_EQ(read.QuadPart, 10u);
    EXPECT_EQ(written.QuadPart, 0u);
    // A read-only stream takes no writing and no new size; a write-only one gives nothing.
    EXPECT_EQ(source->Write("x", 1, nullptr), STG_E_ACCESSDENIED);
    ULARGE_INTEGER size{};
    EXPECT_EQ(source->SetSize(size), STG_E_ACCESSDENIED);
    source.Reset();
    ComPtr<IStream> writeOnly;
    ASSERT_EQ(root_->OpenStream(u"s", nullptr, kWriteExclusive, 0, writeOnly.Put()), S_OK);
    char byte = 0;
    EXPECT_EQ(writeOnly->Read(&byte, 1, &count), STG_E_ACCESSDENIED);
    EXPECT_EQ(writeOnly->Write("A", 1, nullptr), S_OK);
}

TEST_F(StorageContract, NamesModesAndReservedArgumentsOfElements) {
    ComPtr<IStream> stream;
    ComPtr<IStorage> storage;
    EXPECT_EQ(root_->CreateStream(u"a", kReadWriteExclusive, 0, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(root_->CreateStream(u"a", kReadWriteExclusive, 1, 0, stream.Put()), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root_->CreateStream(u"a", kReadWriteExclusive, 0, 1, stream.Put()), STG_E_INVALIDPARAMETER);
    for (const char16_t* name : {u"", u"a/b", u"a\\b", u"a:b", u"a!b", u"0123456789012345678901234567890123"})
        EXPECT_EQ(root_->CreateStream(name, kReadWriteExclusive, 0, 0, stream.Put()), STG_E_INVALIDNAME)
            << std::string(name, name + std::char_traits<char16_t>::length(name)).size();
    EXPECT_EQ(root_->CreateStream(nullptr, kReadWriteExclusive, 0, 0, stream.Put()), STG_E_INVALIDPOINTER);
    for (DWORD mode : {DWORD(0x13), DWORD(STGM_READWRITE | STGM_SHARE_DENY_NONE), DWORD(kReadWriteExclusive | 0x80000),
                       DWORD(kReadWriteExclusive | STGM_DIRECT_SWMR), DWORD(kReadExclusive | STGM_TRANSACTED)})
        EXPECT_EQ(root_->CreateStream(u"a", mode, 0, 0, stream.Put()), STG_E_INVALIDFLAG) << std::hex << mode;
    EXPECT_EQ(root_->CreateStorage(u"d", kReadWriteExclusive | STGM_TRANSACTED, 0, 0, storage.Put()), STG_E_INVALIDFLAG)
        << "no transacted writing";
    EXPECT_EQ(root_->CreateStorage(u"d", kReadWriteExclusive, 0, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(root_->CreateStorage(u"d", kReadWriteExclusive, 2, 0, storage.Put()), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root_->CreateStorage(u"", kReadWriteExclusive, 0, 0, storage.Put()), STG_E_INVALIDNAME);

    // Existing elements: not created twice; replaced with STGM_CREATE unless open.
    stream = NewStream(root_.Get(), u"a", "old");
    ComPtr<IStream> second;
    EXPECT_EQ(root_->CreateStream(u"a", kReadWriteExclusive, 0, 0, second.Put()), STG_E_FILEALREADYEXISTS);
    EXPECT_EQ(root_->CreateStream(u"a", kReadWriteExclusive | STGM_CREATE, 0, 0, second.Put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(root_->OpenStream(u"a", nullptr, kReadExclusive, 0, second.Put()), STG_E_ACCESSDENIED) << "open already";
    stream.Reset();
    ASSERT_EQ(root_->CreateStream(u"A", kReadWriteExclusive | STGM_CREATE, 0, 0, second.Put()), S_OK)
        << "names compare without case";
    STATSTG stat{};
    ASSERT_EQ(second->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, 0u);
    second.Reset();

    EXPECT_EQ(root_->OpenStream(u"a", nullptr, kReadExclusive, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(root_->OpenStream(u"a", reinterpret_cast<void*>(1), kReadExclusive, 0, stream.Put()), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root_->OpenStream(u"a", nullptr, kReadExclusive, 1, stream.Put()), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root_->OpenStream(u"a", nullptr, kReadExclusive | STGM_CREATE, 0, stream.Put()), STG_E_INVALIDFLAG);
    EXPECT_EQ(root_->OpenStream(u"0123456789012345678901234567890123", nullptr, kReadExclusive, 0, stream.Put()),
              STG_E_INVALIDNAME);
    EXPECT_EQ(root_->OpenStream(u"none", nullptr, kReadExclusive, 0, stream.Put()), STG_E_FILENOTFOUND);
    ASSERT_EQ(root_->CreateStorage(u"d", kReadWriteExclusive, 0, 0, storage.Put()), S_OK);
    EXPECT_EQ(root_->OpenStream(u"d", nullptr, kReadExclusive, 0, stream.Put()), STG_E_FILENOTFOUND) << "a storage";
    EXPECT_EQ(root_->OpenStorage(u"a", nullptr, kReadExclusive, nullptr, 0, storage.Put()), STG_E_FILENOTFOUND) << "a stream";
    storage.Reset();
    ComPtr<IStorage> open, again;
    ASSERT_EQ(root_->OpenStorage(u"d", nullptr, kReadExclusive, nullptr, 0, open.Put()), S_OK);
    EXPECT_EQ(root_->OpenStorage(u"d", nullptr, kReadExclusive, nullptr, 0, again.Put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(root_->OpenStorage(u"d", nullptr, kReadExclusive, nullptr, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(root_->OpenStorage(u"d", root_.Get(), kReadExclusive, nullptr, 0, again.Put()), STG_E_INVALIDPARAMETER);
    OLECHAR* names[] = {nullptr};
    EXPECT_EQ(root_->OpenStorage(u"d", nullptr, kReadExclusive, names, 0, again.Put()), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root_->OpenStorage(u"d", nullptr, kReadExclusive, nullptr, 1, again.Put()), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root_->OpenStorage(u"d", nullptr, kReadExclusive | STGM_CREATE, nullptr, 0, again.Put()), STG_E_INVALIDFLAG);
    EXPECT_EQ(root_->OpenStorage(u"", nullptr, kReadExclusive, nullptr, 0, again.Put()), STG_E_INVALIDNAME);
    // A read-only storage: nothing created, renamed, destroyed, stamped or written below it.
    EXPECT_EQ(open->CreateStream(u"x", kReadWriteExclusive, 0, 0, stream.Put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(open->CreateStream(u"x", kReadExclusive, 0, 0, stream.Put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(open->CreateStorage(u"x", kReadExclusive, 0, 0, storage.Put()), STG_E_ACCESSDENIED);
    EXPECT_EQ(open->DestroyElement(u"x"), STG_E_ACCESSDENIED);
    EXPECT_EQ(open->RenameElement(u"x", u"y"), STG_E_ACCESSDENIED);
    FILETIME time{1, 2};
    EXPECT_EQ(open->SetElementTimes(nullptr, &time, nullptr, &time), STG_E_ACCESSDENIED);
    EXPECT_EQ(open->SetClass(CLSID_NULL), STG_E_ACCESSDENIED);
    EXPECT_EQ(open->SetStateBits(1, 1), STG_E_ACCESSDENIED);
    EXPECT_EQ(open->MoveElementTo(u"x", root_.Get(), u"y", STGMOVE_MOVE), STG_E_ACCESSDENIED);
    EXPECT_EQ(open->Commit(STGC_DEFAULT), S_OK) << "nothing to commit";
    EXPECT_EQ(open->Commit(0x10), STG_E_INVALIDFLAG);
    EXPECT_EQ(open->Revert(), S_OK);
}

TEST_F(StorageContract, RenamingStampingAndMarkingElements) {
    NewStream(root_.Get(), u"a", "1");
    NewStream(root_.Get(), u"b", "2");
    EXPECT_EQ(root_->RenameElement(u"a", u"B"), STG_E_ACCESSDENIED) << "the new name is taken";
    EXPECT_EQ(root_->RenameElement(u"none", u"c"), STG_E_FILENOTFOUND);
    EXPECT_EQ(root_->RenameElement(u"a", u"c/d"), STG_E_INVALIDNAME);
    EXPECT_EQ(root_->RenameElement(nullptr, u"c"), STG_E_INVALIDPOINTER);
    ASSERT_EQ(root_->RenameElement(u"a", u"c"), S_OK);
    ComPtr<IStream> stream;
    EXPECT_EQ(root_->OpenStream(u"a", nullptr, kReadExclusive, 0, stream.Put()), STG_E_FILENOTFOUND);
    ASSERT_EQ(root_->OpenStream(u"c", nullptr, kReadExclusive, 0, stream.Put()), S_OK);
    EXPECT_EQ(ReadRest(stream.Get()), "1");
    stream.Reset();

    const FILETIME created{0x11111111, 0x01D00000}, modified{0x22222222, 0x01D00001}, accessed{3, 4};
    EXPECT_EQ(root_->SetElementTimes(u"none", &created, nullptr, nullptr), STG_E_FILENOTFOUND);
    EXPECT_EQ(root_->SetElementTimes(u"", &created, nullptr, nullptr), STG_E_INVALIDNAME);
    ASSERT_EQ(root_->SetElementTimes(u"c", &created, &accessed, &modified), S_OK);
    ASSERT_EQ(root_->SetElementTimes(nullptr, nullptr, nullptr, &modified), S_OK) << "the storage's own";
    ASSERT_EQ(root_->SetElementTimes(u"b", nullptr, &accessed, nullptr), S_OK) << "only an access time: kept nowhere";
    ComPtr<IEnumSTATSTG> elements;
    ASSERT_EQ(root_->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    STATSTG stat[3] = {};
    ULONG fetched = 0;
    ASSERT_EQ(elements->Next(3, stat, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    for (ULONG i = 0; i < fetched; ++i) {
        const std::u16string name = stat[i].pwcsName;
        if (name == u"c") {
            EXPECT_EQ(stat[i].ctime.dwLowDateTime, created.dwLowDateTime);
            EXPECT_EQ(stat[i].mtime.dwHighDateTime, modified.dwHighDateTime);
        } else {
            EXPECT_EQ(stat[i].ctime.dwLowDateTime, 0u);
            EXPECT_EQ(stat[i].mtime.dwLowDateTime, 0u);
        }
        CoTaskMemFree(stat[i].pwcsName);
    }
    STATSTG own{};
    ASSERT_EQ(root_->Stat(&own, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(own.mtime.dwLowDateTime, modified.dwLowDateTime);
    EXPECT_EQ(root_->Stat(nullptr, 0), STG_E_INVALIDPOINTER);
    EXPECT_EQ(root_->Stat(&own, 5), STG_E_INVALIDFLAG);

    // Class and state bits, under a mask.
    const CLSID clsid = {0x12345678, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
    ASSERT_EQ(root_->SetClass(clsid), S_OK);
    ASSERT_EQ(root_->SetClass(clsid), S_OK) << "the same class again changes nothing";
    ASSERT_EQ(root_->SetStateBits(0xF0F0, 0xFF00), S_OK);
    ASSERT_EQ(root_->SetStateBits(0x000F, 0x000F), S_OK);
    ASSERT_EQ(root_->SetStateBits(0xFFFF, 0), S_OK) << "an empty mask changes nothing";
    ASSERT_EQ(root_->Stat(&own, STATFLAG_NONAME), S_OK);
    EXPECT_TRUE(IsEqualCLSID(own.clsid, clsid));
    EXPECT_EQ(own.grfStateBits, 0xF00Fu);
}

TEST_F(StorageContract, CopiesAndMovesBetweenStorages) {
    NewStream(root_.Get(), u"one", "1");
    ComPtr<IStorage> box, inner, target;
    ASSERT_EQ(root_->CreateStorage(u"box", kReadWriteExclusive, 0, 0, box.Put()), S_OK);
    NewStream(box.Get(), u"two", "22");
    NewStorageWith(box.Get(), u"inner", u"three", "333");
    const CLSID clsid = {0xABCDEF01, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 9}};
    ASSERT_EQ(box->SetClass(clsid), S_OK);
    ASSERT_EQ(box->SetStateBits(0x5, 0xF), S_OK);

    // Into another file: exclusions by kind and by name.
    TempDir other;
    ComPtr<IStorage> file;
    ASSERT_EQ(StgCreateDocfile(Wide(other.File("t.stg")).c_str(), STGM_CREATE | kReadWriteExclusive, 0, file.Put()), S_OK);
    EXPECT_EQ(box->CopyTo(0, nullptr, nullptr, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(box->CopyTo(1, nullptr, nullptr, file.Get()), STG_E_INVALIDPOINTER);
    const IID noStorages[] = {IID_IStorage};
    ASSERT_EQ(box->CopyTo(1, noStorages, nullptr, file.Get()), S_OK);
    ComPtr<IStream> stream;
    ASSERT_EQ(file->OpenStream(u"two", nullptr, kReadExclusive, 0, stream.Put()), S_OK);
    EXPECT_EQ(ReadRest(stream.Get()), "22");
    stream.Reset();
    EXPECT_EQ(file->OpenStorage(u"inner", nullptr, kReadExclusive, nullptr, 0, inner.Put()), STG_E_FILENOTFOUND);
    STATSTG stat{};
    ASSERT_EQ(file->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_TRUE(IsEqualCLSID(stat.clsid, clsid)) << "the class and the state bits come along";
    EXPECT_EQ(stat.grfStateBits, 0x5u);
    ASSERT_EQ(file->DestroyElement(u"two"), S_OK);
    const IID noStreams[] = {IID_IStream, IID_IUnknown};
    OLECHAR name[] = u"nothing";
    OLECHAR* exclude[] = {name, nullptr};
    ASSERT_EQ(box->CopyTo(2, noStreams, exclude, file.Get()), S_OK);
    EXPECT_EQ(file->OpenStream(u"two", nullptr, kReadExclusive, 0, stream.Put()), STG_E_FILENOTFOUND);
    EXPECT_EQ(ReadIn(file.Get(), u"inner", u"three"), "333") << "storages are copied whole, streams within them too";
    OLECHAR innerName[] = u"INNER";
    OLECHAR* excludeInner[] = {innerName, nullptr};
    ComPtr<IStorage> fresh;
    ASSERT_EQ(file->CreateStorage(u"fresh", kReadWriteExclusive, 0, 0, fresh.Put()), S_OK);
    ASSERT_EQ(box->CopyTo(0, nullptr, excludeInner, fresh.Get()), S_OK);
    EXPECT_EQ(fresh->OpenStorage(u"inner", nullptr, kReadExclusive, nullptr, 0, inner.Put()), STG_E_FILENOTFOUND)
        << "names are excluded without regard to case";

    // Into itself or below itself: refused.
    ASSERT_EQ(box->OpenStorage(u"inner", nullptr, kReadWriteExclusive, nullptr, 0, inner.Put()), S_OK);
    EXPECT_EQ(box->CopyTo(0, nullptr, nullptr, inner.Get()), STG_E_ACCESSDENIED);
    EXPECT_EQ(root_->MoveElementTo(u"box", inner.Get(), u"loop", STGMOVE_COPY), STG_E_ACCESSDENIED);
    inner.Reset();

    // Moves and copies of single elements.
    EXPECT_EQ(root_->MoveElementTo(u"one", nullptr, u"x", STGMOVE_MOVE), STG_E_INVALIDPOINTER);
    EXPECT_EQ(root_->MoveElementTo(u"one", box.Get(), u"x", 7), STG_E_INVALIDFLAG);
    EXPECT_EQ(root_->MoveElementTo(u"none", box.Get(), u"x", STGMOVE_MOVE), STG_E_FILENOTFOUND);
    EXPECT_EQ(root_->MoveElementTo(u"one", box.Get(), u"x:y", STGMOVE_MOVE), STG_E_INVALIDNAME);
    EXPECT_EQ(root_->MoveElementTo(u"ONE", root_.Get(), u"one", STGMOVE_MOVE), S_OK) << "onto itself: nothing moves";
    ASSERT_EQ(root_->OpenStream(u"one", nullptr, kReadExclusive, 0, stream.Put()), S_OK);
    stream.Reset();
    ASSERT_EQ(root_->MoveElementTo(u"one", box.Get(), u"copied", STGMOVE_COPY), S_OK);
    ASSERT_EQ(root_->OpenStream(u"one", nullptr, kReadExclusive, 0, stream.Put()), S_OK) << "a copy leaves the source";
    stream.Reset();
    ASSERT_EQ(root_->MoveElementTo(u"one", box.Get(), u"moved", STGMOVE_MOVE), S_OK);
    EXPECT_EQ(root_->OpenStream(u"one", nullptr, kReadExclusive, 0, stream.Put()), STG_E_FILENOTFOUND);
    ASSERT_EQ(box->OpenStream(u"moved", nullptr, kReadExclusive, 0, stream.Put()), S_OK);
    EXPECT_EQ(ReadRest(stream.Get()), "1");
    stream.Reset();
    // A read-only storage may be copied from.
    box.Reset();
    ComPtr<IStorage> readOnly;
    ASSERT_EQ(root_->OpenStorage(u"box", nullptr, kReadExclusive, nullptr, 0, readOnly.Put()), S_OK);
    ASSERT_EQ(readOnly->MoveElementTo(u"two", root_.Get(), u"two", STGMOVE_COPY), S_OK);
    ASSERT_EQ(root_->OpenStream(u"two", nullptr, kReadExclusive, 0, stream.Put()), S_OK);
    EXPECT_EQ(ReadRest(stream.Get()), "22");
}

TEST_F(StorageContract, EnumeratorsSnapshotsSkipsAndClones) {
    for (const char16_t* name : {u"a", u"b", u"c", u"d"}) NewStream(root_.Get(), name, "x");
    ComPtr<IEnumSTATSTG> elements;
    EXPECT_EQ(root_->EnumElements(0, nullptr, 0, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(root_->EnumElements(1, nullptr, 0, elements.Put()), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root_->EnumElements(0, reinterpret_cast<void*>(1), 0, elements.Put()), STG_E_INVALIDPARAMETER);
    EXPECT_EQ(root_->EnumElements(0, nullptr, 1, elements.Put()), STG_E_INVALIDPARAMETER);
    ASSERT_EQ(root_->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    void* same = nullptr;
    ASSERT_EQ(elements->QueryInterface(IID_IEnumSTATSTG, &same), S_OK);
    static_cast<IUnknown*>(same)->Release();
    ASSERT_EQ(elements->QueryInterface(IID_IUnknown, &same), S_OK);
    static_cast<IUnknown*>(same)->Release();
    EXPECT_EQ(elements->QueryInterface(IID_IStream, &same), E_NOINTERFACE);
    EXPECT_EQ(elements->QueryInterface(IID_IUnknown, nullptr), E_POINTER);

    STATSTG stat[4] = {};
    ULONG fetched = 9;
    EXPECT_EQ(elements->Next(1, nullptr, &fetched), STG_E_INVALIDPOINTER);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(elements->Next(2, stat, nullptr), STG_E_INVALIDPARAMETER) << "more than one needs a count";
    ASSERT_EQ(elements->Next(1, stat, nullptr), S_OK);
    EXPECT_EQ(std::u16string(stat[0].pwcsName), u"a");
    CoTaskMemFree(stat[0].pwcsName);
    ComPtr<IEnumSTATSTG> clone;
    EXPECT_EQ(elements->Clone(nullptr), STG_E_INVALIDPOINTER);
    ASSERT_EQ(elements->Clone(clone.Put()), S_OK);
    // An element destroyed after the snapshot is left out.
    ASSERT_EQ(root_->DestroyElement(u"b"), S_OK);
    ASSERT_EQ(elements->Next(4, stat, &fetched), S_FALSE);
    ASSERT_EQ(fetched, 2u);
    EXPECT_EQ(std::u16string(stat[0].pwcsName), u"c");
    EXPECT_EQ(std::u16string(stat[1].pwcsName), u"d");
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(stat[i].pwcsName);
    // The clone goes on from where the original was.
    EXPECT_EQ(clone->Skip(1), S_OK);
    ASSERT_EQ(clone->Next(1, stat, &fetched), S_OK);
    EXPECT_EQ(std::u16string(stat[0].pwcsName), u"c");
    CoTaskMemFree(stat[0].pwcsName);
    EXPECT_EQ(clone->Skip(5), S_FALSE) << "past the end";
    EXPECT_EQ(clone->Next(1, stat, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    // A reset takes a new snapshot.
    NewStream(root_.Get(), u"e", "y");
    ASSERT_EQ(clone->Reset(), S_OK);
    ASSERT_EQ(clone->Next(4, stat, &fetched), S_OK);
    EXPECT_EQ(fetched, 4u);
    EXPECT_EQ(std::u16string(stat[3].pwcsName), u"e");
    for (ULONG i = 0; i < fetched; ++i) CoTaskMemFree(stat[i].pwcsName);
}

TEST_F(StorageContract, ObjectsOfADestroyedElementAreReverted) {
    ComPtr<IStorage> box;
    ASSERT_EQ(root_->CreateStorage(u"box", kReadWriteExclusive, 0, 0, box.Put()), S_OK);
    ComPtr<IStream> stream = NewStream(box.Get(), u"s", "abc");
    ComPtr<IStream> clone;
    ASSERT_EQ(stream->Clone(clone.Put()), S_OK);
    ComPtr<IEnumSTATSTG> elements;
    ASSERT_EQ(box->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    ASSERT_EQ(root_->DestroyElement(u"box"), S_OK);
    EXPECT_EQ(root_->DestroyElement(u"box"), STG_E_FILENOTFOUND);

    char byte = 0;
    ULONG count = 0;
    LARGE_INTEGER move{};
    ULARGE_INTEGER size{};
    STATSTG stat{};
    ComPtr<IStream> other;
    for (IStream* object : {stream.Get(), clone.Get()}) {
        EXPECT_EQ(object->Read(&byte, 1, &count), STG_E_REVERTED);
        EXPECT_EQ(object->Write("x", 1, &count), STG_E_REVERTED);
        EXPECT_EQ(object->Seek(move, STREAM_SEEK_SET, nullptr), STG_E_REVERTED);
        EXPECT_EQ(object->SetSize(size), STG_E_REVERTED);
        EXPECT_EQ(object->Stat(&stat, STATFLAG_NONAME), STG_E_REVERTED);
        EXPECT_EQ(object->Commit(0), STG_E_REVERTED);
        EXPECT_EQ(object->Clone(other.Put()), STG_E_REVERTED);
    }
    ComPtr<IStorage> storage;
    ComPtr<IEnumSTATSTG> enumerator;
    const FILETIME time{1, 1};
    EXPECT_EQ(box->CreateStream(u"n", kReadWriteExclusive, 0, 0, other.Put()), STG_E_REVERTED);
    EXPECT_EQ(box->OpenStream(u"s", nullptr, kReadExclusive, 0, other.Put()), STG_E_REVERTED);
    EXPECT_EQ(box->CreateStorage(u"n", kReadWriteExclusive, 0, 0, storage.Put()), STG_E_REVERTED);
    EXPECT_EQ(box->OpenStorage(u"n", nullptr, kReadExclusive, nullptr, 0, storage.Put()), STG_E_REVERTED);
    EXPECT_EQ(box->CopyTo(0, nullptr, nullptr, root_.Get()), STG_E_REVERTED);
    EXPECT_EQ(box->MoveElementTo(u"s", root_.Get(), u"s", STGMOVE_COPY), STG_E_REVERTED);
    EXPECT_EQ(box->Commit(0), STG_E_REVERTED);
    EXPECT_EQ(box->EnumElements(0, nullptr, 0, enumerator.Put()), STG_E_REVERTED);
    EXPECT_EQ(box->DestroyElement(u"s"), STG_E_REVERTED);
    EXPECT_EQ(box->RenameElement(u"s", u"t"), STG_E_REVERTED);
    EXPECT_EQ(box->SetElementTimes(nullptr, &time, nullptr, nullptr), STG_E_REVERTED);
    EXPECT_EQ(box->SetClass(CLSID_NULL), STG_E_REVERTED);
    EXPECT_EQ(box->SetStateBits(0, 0), STG_E_REVERTED);
    EXPECT_EQ(box->Stat(&stat, STATFLAG_NONAME), STG_E_REVERTED);
    ComPtr<IStorageDirectRead> direct;
    ASSERT_EQ(box->QueryInterface(IID_IStorageDirectRead, direct.PutVoid()), S_OK);
    STGELEMENT element{};
    ULONG position = 0;
    ULARGE_INTEGER offset{};
    EXPECT_EQ(direct->FindElement(u"s", &element), STG_E_REVERTED);
    ULONG fetched = 1;
    EXPECT_EQ(direct->NextElements(&position, 0, 1, &element, &fetched), STG_E_REVERTED);
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(direct->ReadElement(0, offset, &byte, 1, &count), STG_E_REVERTED);
    // The enumerator made before keeps its snapshot but shows nothing destroyed.
    STATSTG listed{};
    EXPECT_EQ(elements->Next(1, &listed, &count), S_FALSE);
}

TEST_F(StorageContract, DirectReadingOfAStoragesStreams) {
    NewStream(root_.Get(), u"alpha", "0123456789");
    ComPtr<IStorage> box;
    ASSERT_EQ(root_->CreateStorage(u"box", kReadWriteExclusive, 0, 0, box.Put()), S_OK);
    ComPtr<IStream> inside = NewStream(box.Get(), u"inside", "in");
    inside.Reset();
    ComPtr<IStorageDirectRead> direct, inner;
    ASSERT_EQ(root_->QueryInterface(IID_IStorageDirectRead, direct.PutVoid()), S_OK);
    ASSERT_EQ(box->QueryInterface(IID_IStorageDirectRead, inner.PutVoid()), S_OK);
    STGELEMENT element{};
    EXPECT_EQ(direct->FindElement(u"alpha", nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(direct->FindElement(u"", &element), STG_E_INVALIDNAME);
    EXPECT_EQ(direct->FindElement(u"beta", &element), STG_E_FILENOTFOUND);
    ASSERT_EQ(direct->FindElement(u"ALPHA", &element), S_OK);
    EXPECT_EQ(element.type, static_cast<DWORD>(STGTY_STREAM));
    EXPECT_EQ(element.cbSize.QuadPart, 10u);
    EXPECT_EQ(element.name[0], 0) << "FindElement names nothing";
    const ULONG alpha = element.id;
    // Storages only, then streams only.
    ULONG position = 0;
    ULONG fetched = 0;
    EXPECT_EQ(direct->NextElements(nullptr, 0, 1, &element, &fetched), STG_E_INVALIDPOINTER);
    EXPECT_EQ(direct->NextElements(&position, 0, 1, nullptr, &fetched), STG_E_INVALIDPOINTER);
    EXPECT_EQ(direct->NextElements(&position, 0, 1, &element, nullptr), STG_E_INVALIDPOINTER);
    ASSERT_EQ(direct->NextElements(&position, STGTY_STORAGE, 1, &element, &fetched), S_OK);
    EXPECT_EQ(std::u16string(element.name), u"box");
    EXPECT_EQ(element.cbSize.QuadPart, 0u);
    EXPECT_EQ(direct->NextElements(&position, STGTY_STORAGE, 1, &element, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);
    position = 0;
    ASSERT_EQ(direct->NextElements(&position, STGTY_STREAM, 1, &element, &fetched), S_OK);
    EXPECT_EQ(std::u16string(element.name), u"alpha");

    char buffer[16] = {};
    ULONG got = 0;
    ULARGE_INTEGER offset{};
    offset.QuadPart = 4;
    EXPECT_EQ(direct->ReadElement(alpha, offset, nullptr, 1, &got), STG_E_INVALIDPOINTER);
    ASSERT_EQ(direct->ReadElement(alpha, offset, buffer, sizeof buffer, &got), S_OK);
    EXPECT_EQ(std::string(buffer, got), "456789");
    EXPECT_EQ(inner->ReadElement(alpha, offset, buffer, 1, &got), STG_E_INVALIDPARAMETER) << "not this storage's";
    ASSERT_EQ(direct->FindElement(u"box", &element), S_OK);
    EXPECT_EQ(direct->ReadElement(element.id, offset, buffer, 1, &got), STG_E_INVALIDPARAMETER) << "not a stream";
    EXPECT_EQ(direct->ReadElement(100000, offset, buffer, 1, &got), STG_E_INVALIDPARAMETER) << "no such element";
    ASSERT_EQ(root_->DestroyElement(u"alpha"), S_OK);
    EXPECT_EQ(direct->ReadElement(alpha, offset, buffer, 1, &got), STG_E_INVALIDPARAMETER) << "destroyed";
    void* same = nullptr;
    EXPECT_EQ(root_->QueryInterface(IID_IStream, &same), E_NOINTERFACE);
    EXPECT_EQ(same, nullptr);
    EXPECT_EQ(root_->QueryInterface(IID_IStorage, nullptr), E_POINTER);
}

// Outputs a caller may leave out are left out; storages moved and merged within a file and into
// another one.
TEST_F(StorageContract, OptionalOutputsAndMovesWithinAndBetweenFiles) {
    ComPtr<IStream> stream = NewStream(root_.Get(), u"s", "abcdef");
    LARGE_INTEGER start{};
    ASSERT_EQ(stream->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
    char buffer[4] = {};
    ASSERT_EQ(stream->Read(buffer, 2, nullptr), S_OK);
    EXPECT_EQ(std::string(buffer, 2), "ab");
    ComPtr<IStream> target = NewStream(root_.Get(), u"t", "");
    ULARGE_INTEGER three{};
    three.QuadPart = 3;
    ASSERT_EQ(stream->CopyTo(target.Get(), three, nullptr, nullptr), S_OK);
    ASSERT_EQ(target->Seek(start, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(ReadRest(target.Get()), "cde");
    stream.Reset();
    target.Reset();
    ComPtr<IStorageDirectRead> direct;
    ASSERT_EQ(root_->QueryInterface(IID_IStorageDirectRead, direct.PutVoid()), S_OK);
    STGELEMENT element{};
    ASSERT_EQ(direct->FindElement(u"s", &element), S_OK);
    ULARGE_INTEGER offset{};
    ASSERT_EQ(direct->ReadElement(element.id, offset, buffer, 4, nullptr), S_OK);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    pt::ExpectIdentity(root_.Get(), {&IID_IStorage, &IID_IUnknown}, IID_IStream);
    ComPtr<IStorage> storage;
    EXPECT_EQ(root_->CreateStorage(u"x", kReadWriteExclusive, 0, 3, storage.Put()), STG_E_INVALIDPARAMETER);

    // A storage moved to a new name in its own parent: the old name is gone.
    ComPtr<IStorage> box;
    NewStorageWith(root_.Get(), u"box", u"in", "1");
    ASSERT_EQ(root_->MoveElementTo(u"box", root_.Get(), u"crate", STGMOVE_MOVE), S_OK);
    EXPECT_EQ(root_->OpenStorage(u"box", nullptr, kReadExclusive, nullptr, 0, box.Put()), STG_E_FILENOTFOUND);
    EXPECT_EQ(ReadIn(root_.Get(), u"crate", u"in"), "1");
    // Into another file, where a storage of that name exists: the two merge.
    TempDir other;
    ComPtr<IStorage> file;
    ASSERT_EQ(StgCreateDocfile(Wide(other.File("o.stg")).c_str(), STGM_CREATE | kReadWriteExclusive, 0, file.Put()), S_OK);
    NewStorageWith(file.Get(), u"crate", u"kept", "2");
    ASSERT_EQ(root_->MoveElementTo(u"crate", file.Get(), u"crate", STGMOVE_MOVE), S_OK);
    EXPECT_EQ(root_->OpenStorage(u"crate", nullptr, kReadExclusive, nullptr, 0, box.Put()), STG_E_FILENOTFOUND);
    EXPECT_EQ(ReadIn(file.Get(), u"crate", u"in"), "1");
    EXPECT_EQ(ReadIn(file.Get(), u"crate", u"kept"), "2");
}

// Every operation of the objects consults its own fault name first.
TEST_F(StorageContract, EveryOperationConsultsItsFaultName) {
    ComPtr<IStream> stream = NewStream(root_.Get(), u"s", "abc");
    ComPtr<IEnumSTATSTG> elements;
    ASSERT_EQ(root_->EnumElements(0, nullptr, 0, elements.Put()), S_OK);
    ComPtr<IStorageDirectRead> direct;
    ASSERT_EQ(root_->QueryInterface(IID_IStorageDirectRead, direct.PutVoid()), S_OK);
    const HRESULT code = static_cast<HRESULT>(0x80039999);
    ULARGE_INTEGER any{};
    LARGE_INTEGER zero{};
    STATSTG stat{};
    STGELEMENT element{};
    ULONG position = 0, count = 0;
    char byte = 0;
    const FILETIME time{1, 1};
    struct Case {
        const char* name;
        std::function<HRESULT()> call;
    };
    const std::vector<Case> cases = {
        {"IStream::Read", [&] { return stream->Read(&byte, 1, &count); }},
        {"IStream::Write", [&] { return stream->Write("x", 1, &count); }},
        {"IStream::Seek", [&] { return stream->Seek(zero, STREAM_SEEK_SET, nullptr); }},
        {"IStream::SetSize", [&] { return stream->SetSize(any); }},
        {"IStream::CopyTo", [&] { return stream->CopyTo(stream.Get(), any, nullptr, nullptr); }},
        {"IStream::Commit", [&] { return stream->Commit(0); }},
        {"IStream::Revert", [&] { return stream->Revert(); }},
        {"IStream::LockRegion", [&] { return stream->LockRegion(any, any, 0); }},
        {"IStream::UnlockRegion", [&] { return stream->UnlockRegion(any, any, 0); }},
        {"IStream::Stat", [&] { return stream->Stat(&stat, STATFLAG_NONAME); }},
        {"IStream::Clone", [&] { ComPtr<IStream> c; return stream->Clone(c.Put()); }},
        {"IStorage::CreateStream", [&] { ComPtr<IStream> s; return root_->CreateStream(u"n", kReadWriteExclusive, 0, 0, s.Put()); }},
        {"IStorage::OpenStream", [&] { ComPtr<IStream> s; return root_->OpenStream(u"s", nullptr, kReadExclusive, 0, s.Put()); }},
        {"IStorage::CreateStorage", [&] { ComPtr<IStorage> s; return root_->CreateStorage(u"n", kReadWriteExclusive, 0, 0, s.Put()); }},
        {"IStorage::OpenStorage", [&] { ComPtr<IStorage> s; return root_->OpenStorage(u"n", nullptr, kReadExclusive, nullptr, 0, s.Put()); }},
        {"IStorage::CopyTo", [&] { return root_->CopyTo(0, nullptr, nullptr, root_.Get()); }},
        {"IStorage::MoveElementTo", [&] { return root_->MoveElementTo(u"s", root_.Get(), u"s", STGMOVE_COPY); }},
        {"IStorage::Commit", [&] { return root_->Commit(0); }},
        {"IStorage::Revert", [&] { return root_->Revert(); }},
        {"IStorage::EnumElements", [&] { ComPtr<IEnumSTATSTG> e; return root_->EnumElements(0, nullptr, 0, e.Put()); }},
        {"IStorage::DestroyElement", [&] { return root_->DestroyElement(u"none"); }},
        {"IStorage::RenameElement", [&] { return root_->RenameElement(u"none", u"x"); }},
        {"IStorage::SetElementTimes", [&] { return root_->SetElementTimes(nullptr, &time, nullptr, nullptr); }},
        {"IStorage::SetClass", [&] { return root_->SetClass(CLSID_NULL); }},
        {"IStorage::SetStateBits", [&] { return root_->SetStateBits(0, 0); }},
        {"IStorage::Stat", [&] { return root_->Stat(&stat, STATFLAG_NONAME); }},
        {"IEnumSTATSTG::Next", [&] { return elements->Next(0, nullptr, nullptr); }},
        {"IEnumSTATSTG::Skip", [&] { return elements->Skip(0); }},
        {"IEnumSTATSTG::Reset", [&] { return elements->Reset(); }},
        {"IEnumSTATSTG::Clone", [&] { ComPtr<IEnumSTATSTG> e; return elements->Clone(e.Put()); }},
        {"IStorageDirectRead::FindElement", [&] { return direct->FindElement(u"s", &element); }},
        {"IStorageDirectRead::NextElements", [&] { position = 0; return direct->NextElements(&position, 0, 1, &element, &count); }},
        {"IStorageDirectRead::ReadElement", [&] { return direct->ReadElement(0, any, &byte, 0, &count); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        pt::FailNthCall(c.name, 1, code);
        EXPECT_EQ(c.call(), code);
        pt::ResetFaults();
    }
    // An armed success code ends the call too: it succeeds without doing its work.
    pt::FailNthCall("IStorage::CreateStream", 1, S_OK);
    ComPtr<IStream> none;
    EXPECT_EQ(root_->CreateStream(u"armed", kReadWriteExclusive, 0, 0, none.Put()), S_OK);
    EXPECT_FALSE(none);
    EXPECT_EQ(root_->OpenStream(u"armed", nullptr, kReadExclusive, 0, none.Put()), STG_E_FILENOTFOUND);
    ASSERT_EQ(stream->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
    pt::FailNthCall("IStream::Read", 1, S_OK);
    BYTE three[3];
    ULONG got = 7;
    EXPECT_EQ(stream->Read(three, 3, &got), S_OK);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(stream->Read(three, 3, &got), S_OK);
    EXPECT_EQ(got, 3u) << "the stream did not move";
}

}  // namespace
