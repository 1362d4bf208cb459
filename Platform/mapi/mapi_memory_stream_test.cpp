// The streams OpenProperty hands out for values held in memory (a value opened for writing, or
// served in a type other than the stored one): on seeded random sequences of writes, reads,
// seeks, size changes, copies and clones they behave as a plain byte vector with a position, and
// what a commit (or the last release after uncommitted writes) leaves in the property is the
// vector; a read-only one refuses every change.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "com/com_test_util.h"
#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;
namespace pt = platform::testing;

constexpr ULONG kData = PROP_TAG(PT_BINARY, 0x6710);
constexpr ULONG kOther = PROP_TAG(PT_BINARY, 0x6711);
constexpr DWORD kLockWrite = 1;

ComPtr<IStream> OpenStream(IMAPIProp* object, ULONG tag, ULONG flags) {
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(object->OpenProperty(tag, &IID_IStream, 0, flags, unknown.Put()), S_OK);
    return ComPtr<IStream>(static_cast<IStream*>(unknown.Get()));
}

// The property's bytes; "missing" when it is not there.
std::vector<BYTE> Stored(IMAPIProp* object, ULONG tag) {
    LPSPropValue value = nullptr;
    if (HrGetOneProp(object, tag, &value) != S_OK || !value) {
        const char missing[] = "missing";
        return std::vector<BYTE>(missing, missing + 7);
    }
    std::vector<BYTE> bytes(value->Value.bin.lpb, value->Value.bin.lpb + value->Value.bin.cb);
    MAPIFreeBuffer(value);
    return bytes;
}

struct Model {
    std::vector<BYTE> data;
    size_t position = 0;
    std::vector<BYTE> stored;  // what the property holds
    bool dirty = false;        // changed since the last commit
    void Commit() {
        stored = data;
        dirty = false;
    }
    size_t Available() const { return position < data.size() ? data.size() - position : 0; }
    void Write(const std::vector<BYTE>& bytes) {
        if (position + bytes.size() > data.size()) data.resize(position + bytes.size());
        std::copy(bytes.begin(), bytes.end(), data.begin() + static_cast<std::ptrdiff_t>(position));
        position += bytes.size();
        dirty = true;
    }
};

TEST(MapiMemoryStream, FollowsAPlainModelOnRandomSequences) {
    for (unsigned seed = 1; seed <= 25; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        std::vector<BYTE> initial(random() % 50);
        for (BYTE& b : initial) b = static_cast<BYTE>(random());
        auto root = Build({{msgwriter::Binary(kData, initial)}, {}});
        Opened o = Open(root);
        ASSERT_EQ(o.hr, S_OK);
        const bool create = random() % 3 == 0;  // created afresh: empty, whatever was stored
        ComPtr<IStream> stream = OpenStream(o.message.Get(), kData, MAPI_MODIFY | (create ? MAPI_CREATE : 0));
        ComPtr<IStream> other = OpenStream(o.message.Get(), kOther, MAPI_MODIFY | MAPI_CREATE);
        ASSERT_TRUE(stream && other);
        Model model, otherModel;
        model.data = create ? std::vector<BYTE>() : initial;
        model.stored = initial;
        const char missing[] = "missing";
        otherModel.stored.assign(missing, missing + 7);
        for (int step = 0; step < 80; ++step) {
            switch (random() % 8) {
                case 0: case 1: {
                    std::vector<BYTE> bytes(random() % 20);
                    for (BYTE& b : bytes) b = static_cast<BYTE>(random());
                    ULONG written = 0;
                    ASSERT_EQ(stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written), S_OK);
                    EXPECT_EQ(written, bytes.size());
                    model.Write(bytes);
                    break;
                }
                case 2: {
                    BYTE buffer[32];
                    const ULONG want = random() % 32;
                    ULONG got = 99;
                    ASSERT_EQ(stream->Read(buffer, want, &got), S_OK);
                    const size_t expected = std::min<size_t>(want, model.Available());
                    ASSERT_EQ(got, expected);
                    EXPECT_TRUE(std::equal(buffer, buffer + got, model.data.begin() + static_cast<std::ptrdiff_t>(model.position)));
                    model.position += expected;
                    break;
                }
                case 3: {
                    const DWORD origin = random() % 4;  // 3 is no origin at all
                    LARGE_INTEGER move;
                    move.QuadPart = static_cast<LONGLONG>(random() % 80) - 30;
                    ULARGE_INTEGER now{};
                    const HRESULT hr = stream->Seek(move, origin, &now);
                    const long long base = origin == STREAM_SEEK_SET ? 0
                                           : origin == STREAM_SEEK_CUR ? static_cast<long long>(model.position)
                                                                       : static_cast<long long>(model.data.size());
                    if (origin > STREAM_SEEK_END || base + move.QuadPart < 0) {
                        EXPECT_EQ(hr, STG_E_INVALIDFUNCTION);
                    } else {
                        ASSERT_EQ(hr, S_OK);
                        model.position = static_cast<size_t>(base + move.QuadPart);
                        EXPECT_EQ(now.QuadPart, model.position);
                    }
                    break;
                }
                case 4: {
                    ULARGE_INTEGER size;
                    size.QuadPart = random() % 60;
                    ASSERT_EQ(stream->SetSize(size), S_OK);
                    model.data.resize(static_cast<size_t>(size.QuadPart));
                    model.dirty = true;
                    break;
                }
                case 5: {
                    STATSTG stat{};
                    ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
                    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
                    EXPECT_EQ(stat.cbSize.QuadPart, model.data.size());
                    EXPECT_EQ(stat.grfMode, static_cast<DWORD>(STGM_READWRITE));
                    break;
                }
                case 6: {
                    // A copy into the other stream, from the position on.
                    ULARGE_INTEGER count, read{}, written{};
                    count.QuadPart = random() % 30;
                    ASSERT_EQ(stream->CopyTo(other.Get(), count, &read, &written), S_OK);
                    const size_t n = std::min<size_t>(static_cast<size_t>(count.QuadPart), model.Available());
                    EXPECT_EQ(read.QuadPart, n);
                    EXPECT_EQ(written.QuadPart, n);
                    if (n)
                        otherModel.Write(std::vector<BYTE>(model.data.begin() + static_cast<std::ptrdiff_t>(model.position),
                                                           model.data.begin() + static_cast<std::ptrdiff_t>(model.position + n)));
                    model.position += n;
                    break;
                }
                default: {
                    // A clone reads the same bytes from the same position, and cannot write.
                    ComPtr<IStream> clone;
                    ASSERT_EQ(stream->Clone(clone.Put()), S_OK);
                    std::vector<BYTE> rest(model.Available() + 4);
                    ULONG got = 0;
                    ASSERT_EQ(clone->Read(rest.data(), static_cast<ULONG>(rest.size()), &got), S_OK);
                    ASSERT_EQ(got, model.Available());
                    EXPECT_TRUE(std::equal(rest.begin(), rest.begin() + got, model.data.begin() + static_cast<std::ptrdiff_t>(model.position)));
                    BYTE one = 1;
                    EXPECT_EQ(clone->Write(&one, 1, nullptr), STG_E_ACCESSDENIED);
                    break;
                }
            }
            if (random() % 10 == 0) {
                ASSERT_EQ(stream->Commit(STGC_DEFAULT), S_OK);
                model.Commit();
                EXPECT_EQ(Stored(o.message.Get(), kData), model.stored) << "what a commit leaves in the property";
            }
        }
        // Until the last release, the property holds what was committed; the release commits
        // what was written since.
        EXPECT_EQ(Stored(o.message.Get(), kData), model.stored);
        stream.Reset();
        other.Reset();
        if (model.dirty) model.Commit();
        if (otherModel.dirty) otherModel.Commit();
        EXPECT_EQ(Stored(o.message.Get(), kData), model.stored);
        EXPECT_EQ(Stored(o.message.Get(), kOther), otherModel.stored);
    }
}

TEST(MapiMemoryStream, ReadOnlyStreamsRefuseEveryChange) {
    // An 8-bit body asked for as Unicode is served converted, from memory, read-only.
    Opened o = Open(Build({{msgwriter::Ansi(PR_BODY_A, "text")}, {}}));
    ComPtr<IStream> stream = OpenStream(o.message.Get(), PR_BODY_W, 0);
    BYTE byte = 1;
    ULONG written = 7;
    EXPECT_EQ(stream->Write(&byte, 1, &written), STG_E_ACCESSDENIED);
    EXPECT_EQ(written, 0u);
    ULARGE_INTEGER size;
    size.QuadPart = 1;
    EXPECT_EQ(stream->SetSize(size), STG_E_ACCESSDENIED);
    EXPECT_EQ(stream->Commit(STGC_DEFAULT), S_OK) << "nothing to commit";
    STATSTG stat{};
    ASSERT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.grfMode, static_cast<DWORD>(STGM_READ));
    EXPECT_EQ(stat.cbSize.QuadPart, 8u);
    EXPECT_EQ(mapitest::ReadStream(stream.Get()), u"text");

    // Arguments and what a memory stream does not offer.
    ULONG got = 0;
    EXPECT_EQ(stream->Read(nullptr, 1, &got), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Stat(nullptr, 0), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->Clone(nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->CopyTo(nullptr, size, nullptr, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(stream->LockRegion(size, size, kLockWrite), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->UnlockRegion(size, size, kLockWrite), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(stream->Revert(), S_OK);
    pt::ExpectIdentity(stream.Get(), {&IID_IStream, &IID_IUnknown, &IID_ISequentialStream}, IID_IStorage);

    // A writable one: no null data, no size beyond what memory should hold; faults by name.
    Opened w = Open(Build({{}, {}}));
    ComPtr<IStream> writable = OpenStream(w.message.Get(), kData, MAPI_MODIFY | MAPI_CREATE);
    EXPECT_EQ(writable->Write(nullptr, 1, &written), STG_E_INVALIDPOINTER);
    size.QuadPart = (1ULL << 31) + 1;
    EXPECT_EQ(writable->SetSize(size), STG_E_INSUFFICIENTMEMORY);
    const HRESULT code = static_cast<HRESULT>(0x80045678);
    for (const char* name : {"IStream::Write", "IStream::Seek", "IStream::Commit", "IStream::Stat"}) {
        SCOPED_TRACE(name);
        pt::FailNthCall(name, 1, code);
        LARGE_INTEGER zero{};
        STATSTG ignored{};
        HRESULT hr = std::string(name) == "IStream::Write"   ? writable->Write(&byte, 1, nullptr)
                     : std::string(name) == "IStream::Seek"  ? writable->Seek(zero, STREAM_SEEK_SET, nullptr)
                     : std::string(name) == "IStream::Commit" ? writable->Commit(0)
                                                              : writable->Stat(&ignored, 0);
        EXPECT_EQ(hr, code);
        pt::ResetFaults();
    }
}

TEST(MapiMemoryStream, CommitsNeedAWritableObject) {
    auto root = Build({{msgwriter::Binary(kData, {1, 2})}, {}});
    Opened o = Open(root);
    ComPtr<IStream> stream = OpenStream(o.message.Get(), kData, MAPI_MODIFY);
    BYTE bytes[] = {9, 9, 9};
    ASSERT_EQ(stream->Write(bytes, 3, nullptr), S_OK);
    // Saved without keeping it open for writing, the message takes no more changes.
    ASSERT_EQ(o.message->SaveChanges(0), S_OK);
    EXPECT_EQ(stream->Commit(STGC_DEFAULT), MAPI_E_NO_ACCESS);
    EXPECT_EQ(Stored(o.message.Get(), kData), (std::vector<BYTE>{1, 2}));
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(o.message->OpenProperty(kData, &IID_IStream, 0, MAPI_MODIFY, unknown.Put()), MAPI_E_NO_ACCESS);
    // A read-only message opens no stream for writing either.
    Opened ro = Open(root, false);
    EXPECT_EQ(ro.message->OpenProperty(kData, &IID_IStream, 0, MAPI_MODIFY, unknown.Put()), MAPI_E_NO_ACCESS);
    EXPECT_EQ(ro.message->OpenProperty(kOther, &IID_IStream, 0, 0, unknown.Put()), MAPI_E_NOT_FOUND);
}

}  // namespace
