// Saving a message over a storage held in memory: what a save touches, the header's counts as
// attachments come and go, and writable streams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;
namespace pt = platform::testing;

// After a save: the header's next attachment number and attachment count, and the numbers the
// attachment table lists; the table's rows.
RowSet ExpectAttachments(const Opened& o, ULONG next, const std::vector<LONG>& numbers) {
    const auto& p = mapitest::NodeAt(o.root, "__properties_version1.0", false, false)->data;
    EXPECT_EQ(Get32(p, 12), next) << "next attachment number";
    EXPECT_EQ(Get32(p, 20), numbers.size()) << "attachment count";
    RowSet rows = TableRows(o.message.Get());
    EXPECT_EQ(rows ? Longs(*rows, PR_ATTACH_NUM) : std::vector<LONG>{}, numbers);
    return rows;
}

TEST(MapiSave, WritesOnlyWhatChangedAndReplacesRetypedStreams) {
    auto root = Build({{msgwriter::Ansi(PR_SUBJECT_A, "old"), msgwriter::Unicode(PR_BODY_W, u"body"),
                        msgwriter::Long(PR_MESSAGE_FLAGS, 1), msgwriter::Binary(PR_HTML, {1, 2})},
                       {{{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.txt")}}}});
    auto body = mapitest::NodeAt(root, "__substg1.0_1000001F", false, false);
    auto html = mapitest::NodeAt(root, "__substg1.0_10130102", false, false);
    auto attachProps = mapitest::NodeAt(root, "__attach_version1.0_#00000000/__properties_version1.0", false, false);
    const int bodyWrites = body->writes, htmlWrites = html->writes, attachWrites = attachProps->writes;
    {
        Opened o = Open(root);
        ASSERT_EQ(o.hr, S_OK);
        SPropValue values[2] = {};
        values[0].ulPropTag = PR_SUBJECT_W;
        values[0].Value.lpszW = const_cast<LPWSTR>(u"new \u00FC");
        values[1].ulPropTag = PR_MESSAGE_FLAGS;
        values[1].Value.l = 5;
        ASSERT_EQ(o.message->SetProps(2, values, nullptr), S_OK);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    EXPECT_FALSE(mapitest::NodeAt(root, "__substg1.0_0037001E", false, false));
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_0037001F", false, false)->data, Wide(u"new \u00FC"));
    // Same objects, not rewritten.
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_1000001F", false, false), body);
    EXPECT_EQ(body->writes, bodyWrites);
    EXPECT_EQ(html->writes, htmlWrites);
    EXPECT_EQ(attachProps->writes, attachWrites);
    const auto& p = mapitest::NodeAt(root, "__properties_version1.0", false, false)->data;
    EXPECT_EQ(Get32(p, 32), PR_SUBJECT_W);  // the entry keeps its place
    EXPECT_EQ(Get32(p, 40), 12u);  // 5 characters and the terminator
    EXPECT_EQ(Get32(p, 64 + 8), 5u);
    Opened again = Open(root);
    Props all;
    GetAll(again.message.Get(), all);
    ASSERT_EQ(all.hr, S_OK);
    EXPECT_EQ(std::u16string(all.Find(PR_SUBJECT_W)->Value.lpszW), u"new \u00FC");
    EXPECT_EQ(std::u16string(all.Find(PR_BODY_W)->Value.lpszW), u"body");
}

TEST(MapiSave, RepeatedSavesKeepWritingTheLatestValues) {
    auto root = Build({{msgwriter::Ansi(PR_SUBJECT_A, "one"), msgwriter::Long(PR_MESSAGE_FLAGS, 1)}, {}});
    Opened o = Open(root);
    auto set = [&](ULONG tag, const char16_t* text) {
        SPropValue v{tag, 0, {}};
        v.Value.lpszW = const_cast<LPWSTR>(text);
        return o.message->SetProps(1, &v, nullptr);
    };
    ASSERT_EQ(set(PR_SUBJECT_W, u"two"), S_OK);
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(set(PR_SUBJECT_W, u"three!"), S_OK);
    ASSERT_EQ(set(PR_BODY_W, u"added later"), S_OK);
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_FALSE(mapitest::NodeAt(root, "__substg1.0_0037001E", false, false));
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_0037001F", false, false)->data, Wide(u"three!"));
    const auto& p = mapitest::NodeAt(root, "__properties_version1.0", false, false)->data;
    ASSERT_EQ(p.size(), 32u + 3 * 16);
    EXPECT_EQ(Get32(p, 32 + 8), 14u);
    EXPECT_EQ(Get32(p, 64), PR_BODY_W);
    // A save with nothing changed rewrites nothing.
    auto props = mapitest::NodeAt(root, "__properties_version1.0", false, false);
    const int writes = props->writes;
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(props->writes, writes);
    Opened again = Open(root);
    LPSPropValue body = nullptr;
    ASSERT_EQ(HrGetOneProp(again.message.Get(), PR_BODY_W, &body), S_OK);
    EXPECT_EQ(std::u16string(body->Value.lpszW), u"added later");
    MAPIFreeBuffer(body);
}

TEST(MapiSave, AttachmentsAddedAndDeletedKeepTheHeaderRight) {
    auto root = Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")},
                       {{{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a")}},
                        {{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"b")}}}});
    {
        Opened o = Open(root);
        ASSERT_EQ(o.message->DeleteAttach(0, 0, nullptr, 0), S_OK);
        ULONG number = 0;
        LPATTACH raw = nullptr;
        ASSERT_EQ(o.message->CreateAttach(nullptr, 0, &number, &raw), S_OK);
        auto attach = ComPtr<IAttach>::Attach(raw);
        EXPECT_EQ(number, 2u);
        SPropValue name{};
        name.ulPropTag = PR_ATTACH_LONG_FILENAME_A;
        name.Value.lpszA = const_cast<LPSTR>("c.bin");
        ASSERT_EQ(attach->SetProps(1, &name, nullptr), S_OK);
        ASSERT_EQ(attach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    EXPECT_FALSE(mapitest::NodeAt(root, "__attach_version1.0_#00000000", false, true));
    EXPECT_TRUE(mapitest::NodeAt(root, "__attach_version1.0_#00000002/__substg1.0_3707001E", false, false));
    Opened o = Open(root);
    RowSet rows = ExpectAttachments(o, 3, {1, 2});
    ASSERT_TRUE(rows && rows->cRows == 2);
    EXPECT_STREQ(Find(rows->aRow[1], PR_ATTACH_LONG_FILENAME_A)->Value.lpszA, "c.bin");
}

// Attachments deleted with nothing added: the header's count follows each save, the next
// number stays (numbers are not given out again).
TEST(MapiSave, DeletingAttachmentsAloneKeepsTheHeaderRight) {
    auto root = Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")},
                       {{{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a")}},
                        {{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"b")}},
                        {{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"c")}}}});
    auto header = [&](size_t at) { return Get32(mapitest::NodeAt(root, "__properties_version1.0", false, false)->data, at); };
    ASSERT_EQ(header(20), 3u);
    ASSERT_EQ(header(12), 3u);
    for (ULONG number : {1u, 2u}) {
        Opened o = Open(root);
        ASSERT_EQ(o.message->DeleteAttach(number, 0, nullptr, 0), S_OK);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    EXPECT_FALSE(mapitest::NodeAt(root, "__attach_version1.0_#00000001", false, true));
    EXPECT_FALSE(mapitest::NodeAt(root, "__attach_version1.0_#00000002", false, true));
    ExpectAttachments(Open(root), 3, {0});
}

// A header whose counts disagree with the storages (a writer counted otherwise) is saved as it
// was found unless attachments come or go, and then only their counts change.
TEST(MapiSave, TheStoredHeaderIsKeptUnlessAttachmentsChange) {
    auto root = Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")}, {{{msgwriter::Unicode(PR_DISPLAY_NAME_W, u"a")}}}});
    auto& stored = mapitest::NodeAt(root, "__properties_version1.0", false, false)->data;
    for (auto [at, value] : {std::pair{8u, 9u}, {12u, 11u}, {16u, 5u}, {20u, 7u}, {24u, 0x12345678u}})
        for (int i = 0; i < 4; ++i) stored[at + i] = BYTE(value >> (8 * i));
    const std::vector<BYTE> header(stored.begin(), stored.begin() + 32);
    auto savedHeader = [&] {
        const auto& data = mapitest::NodeAt(root, "__properties_version1.0", false, false)->data;
        return std::vector<BYTE>(data.begin(), data.begin() + 32);
    };
    Opened o = Open(root);
    ASSERT_EQ(o.hr, S_OK);
    SPropValue subject{};
    subject.ulPropTag = PR_SUBJECT_W;
    subject.Value.lpszW = const_cast<LPWSTR>(u"changed");
    ASSERT_EQ(o.message->SetProps(1, &subject, nullptr), S_OK);
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(savedHeader(), header);
    // An attachment added: the attachment counts follow; the recipient counts stay.
    ULONG number = 0;
    LPATTACH raw = nullptr;
    ASSERT_EQ(o.message->CreateAttach(nullptr, 0, &number, &raw), S_OK);
    auto attach = ComPtr<IAttach>::Attach(raw);
    EXPECT_EQ(number, 11u);
    ASSERT_EQ(attach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    std::vector<BYTE> expected = header;
    for (auto [at, value] : {std::pair{12u, 12u}, {20u, 2u}})
        for (int i = 0; i < 4; ++i) expected[at + i] = BYTE(value >> (8 * i));
    EXPECT_EQ(savedHeader(), expected);
    // And another save with nothing added keeps that.
    ASSERT_EQ(o.message->SetProps(1, &subject, nullptr), S_OK);
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(savedHeader(), expected);
}

TEST(MapiSave, UnsavedAttachmentChangesAreDropped) {
    auto root = Build({{}, {{{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a")}}}});
    Opened o = Open(root);
    {
        LPATTACH raw = nullptr;
        ASSERT_EQ(o.message->OpenAttach(0, nullptr, MAPI_MODIFY, &raw), S_OK);
        auto attach = ComPtr<IAttach>::Attach(raw);
        ASSERT_EQ(HrSetOneProp(attach.Get(), [] {
                      static SPropValue v{PR_ATTACH_LONG_FILENAME_W, 0, {}};
                      v.Value.lpszW = const_cast<LPWSTR>(u"changed");
                      return &v;
                  }()), S_OK);
        ULONG number = 0;
        LPATTACH created = nullptr;
        ASSERT_EQ(o.message->CreateAttach(nullptr, 0, &number, &created), S_OK);
        created->Release();  // never saved: not part of the message
        // A deleted attachment's object cannot save it back.
        LPATTACH doomed = nullptr;
        ASSERT_EQ(o.message->CreateAttach(nullptr, 0, &number, &doomed), S_OK);
        ASSERT_EQ(doomed->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        ASSERT_EQ(o.message->DeleteAttach(number, 0, nullptr, 0), S_OK);
        EXPECT_EQ(doomed->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_OBJECT_DELETED);
        doomed->Release();
    }
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(mapitest::NodeAt(root, "__attach_version1.0_#00000000/__substg1.0_3707001F", false, false)->data,
              Wide(u"a"));
    EXPECT_FALSE(mapitest::NodeAt(root, "__attach_version1.0_#00000001", false, true));
}

// A deleted attachment's number is not given out again while the message is open, before or
// after a save: the deleted one's object, still open, cannot save into the new one.
TEST(MapiSave, ADeletedAttachmentsNumberIsNotGivenAgain) {
    auto root = Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")}, {}});
    Opened o = Open(root);
    auto create = [&](const char16_t* name, ULONG* number) {
        LPATTACH raw = nullptr;
        EXPECT_EQ(o.message->CreateAttach(nullptr, 0, number, &raw), S_OK);
        auto attach = ComPtr<IAttach>::Attach(raw);
        SPropValue value{PR_ATTACH_LONG_FILENAME_W, 0, {}};
        value.Value.lpszW = const_cast<LPWSTR>(name);
        EXPECT_EQ(attach->SetProps(1, &value, nullptr), S_OK);
        EXPECT_EQ(attach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        return attach;
    };
    for (bool saveBetween : {false, true}) {
        SCOPED_TRACE(saveBetween ? "saved between" : "not saved between");
        ULONG doomedNumber = 0, laterNumber = 0;
        auto doomed = create(u"doomed", &doomedNumber);
        ASSERT_EQ(o.message->DeleteAttach(doomedNumber, 0, nullptr, 0), S_OK);
        if (saveBetween) {
            ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        auto later = create(u"later", &laterNumber);
        EXPECT_NE(laterNumber, doomedNumber);
        EXPECT_EQ(doomed->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_OBJECT_DELETED);
        LPATTACH raw = nullptr;
        ASSERT_EQ(o.message->OpenAttach(laterNumber, nullptr, 0, &raw), S_OK);
        auto reopened = ComPtr<IAttach>::Attach(raw);
        LPSPropValue name = nullptr;
        ASSERT_EQ(HrGetOneProp(reopened.Get(), PR_ATTACH_LONG_FILENAME_W, &name), S_OK);
        EXPECT_EQ(std::u16string(name->Value.lpszW), u"later");
        MAPIFreeBuffer(name);
    }
}

TEST(MapiSave, WritableStreamsAndDeletedProperties) {
    auto root = Build({{msgwriter::Unicode(PR_BODY_W, u"old"), msgwriter::Unicode(PR_SUBJECT_W, u"s")}, {}});
    Opened o = Open(root);
    {
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(o.message->OpenProperty(PR_BODY_W, &IID_IStream, 0, MAPI_MODIFY, unknown.Put()), S_OK);
        auto* stream = static_cast<IStream*>(unknown.Get());
        LARGE_INTEGER end{};
        ASSERT_EQ(stream->Seek(end, STREAM_SEEK_END, nullptr), S_OK);
        ULONG written = 0;
        ASSERT_EQ(stream->Write(u" and new", 16, &written), S_OK);
        ASSERT_EQ(stream->Commit(0), S_OK);
    }
    SizedSPropTagArray(2, gone) = {2, {PR_SUBJECT_W, PR_HTML}};
    LPSPropProblemArray problems = nullptr;
    ASSERT_EQ(o.message->DeleteProps(reinterpret_cast<LPSPropTagArray>(&gone), &problems), S_OK);
    ASSERT_NE(problems, nullptr);
    ASSERT_EQ(problems->cProblem, 1u);
    EXPECT_EQ(problems->aProblem[0].ulPropTag, PR_HTML);
    MAPIFreeBuffer(problems);
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READONLY), S_OK);
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_1000001F", false, false)->data, Wide(u"old and new"));
    EXPECT_FALSE(mapitest::NodeAt(root, "__substg1.0_0037001F", false, false));
    EXPECT_EQ(mapitest::NodeAt(root, "__properties_version1.0", false, false)->data.size(), 32u + 16);
    // Read-only now.
    SPropValue v{PR_MESSAGE_FLAGS, 0, {}};
    EXPECT_EQ(o.message->SetProps(1, &v, nullptr), MAPI_E_NO_ACCESS);
}

}  // namespace
