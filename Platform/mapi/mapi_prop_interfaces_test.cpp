// The IMAPIProp contract of the store's messages and attachments: arguments and flags refused
// before any work, values that cannot be stored reported one by one, read-only objects refusing
// every change, attachments created, deleted and saved out of order, embedded messages opened
// through their attachment, and the operations the store does not offer.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include "com/com_test_util.h"
#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;

constexpr ULONG kImportance = PROP_TAG(PT_LONG, 0x0017);

ComPtr<IAttach> OpenAttachment(const Opened& o, ULONG number) {
    LPATTACH raw = nullptr;
    EXPECT_EQ(o.message->OpenAttach(number, nullptr, 0, &raw), S_OK);
    return ComPtr<IAttach>::Attach(raw);
}

// The checks every property object shares, on `object`.
void ExpectPropContract(IMAPIProp* object, const char* what) {
    SCOPED_TRACE(what);
    ULONG count = 0;
    LPSPropValue values = nullptr;
    EXPECT_EQ(object->GetProps(nullptr, 0, nullptr, &values), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(object->GetProps(nullptr, 0, &count, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(object->GetProps(nullptr, 0x4, &count, &values), MAPI_E_UNKNOWN_FLAGS);
    SizedSPropTagArray(1, none) = {0, {0}};
    EXPECT_EQ(object->GetProps(reinterpret_cast<LPSPropTagArray>(&none), 0, &count, &values), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(values, nullptr);

    ComPtr<IUnknown> unknown;
    EXPECT_EQ(object->OpenProperty(PR_SUBJECT_W, &IID_IStream, 0, 0, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(object->OpenProperty(PR_SUBJECT_W, nullptr, 0, 0, unknown.Put()), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(object->OpenProperty(PR_SUBJECT_W, &IID_IStream, 0, 0x100, unknown.Put()), MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(object->OpenProperty(kImportance, &IID_IStream, 0, 0, unknown.Put()), MAPI_E_INTERFACE_NOT_SUPPORTED)
        << "a number has no stream";
    EXPECT_EQ(object->OpenProperty(PR_SUBJECT_W, &IID_IMAPITable, 0, 0, unknown.Put()),
              MAPI_E_INTERFACE_NOT_SUPPORTED);
    EXPECT_EQ(object->OpenProperty(PROP_TAG(PT_BINARY, 0x6720), &IID_ISequentialStream, 0, 0, unknown.Put()),
              MAPI_E_NOT_FOUND);

    LPSPropTagArray list = reinterpret_cast<LPSPropTagArray>(1);
    EXPECT_EQ(object->GetPropList(0, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(object->GetPropList(0x4, &list), MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(list, nullptr);
    ASSERT_EQ(object->GetPropList(MAPI_UNICODE, &list), S_OK);
    Props all;
    GetAll(object, all);
    EXPECT_EQ(list->cValues, all.count) << "the list names every property";
    MAPIFreeBuffer(list);

    EXPECT_EQ(object->SetProps(1, nullptr, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(object->SetProps(0, nullptr, nullptr), S_OK) << "nothing to set";
    EXPECT_EQ(object->DeleteProps(nullptr, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(object->CopyTo(0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(object->CopyProps(nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(object->GetNamesFromIDs(nullptr, nullptr, 0, nullptr, nullptr), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(object->GetIDsFromNames(0, nullptr, 0, nullptr), MAPI_E_NO_SUPPORT);
    LPMAPIERROR error = reinterpret_cast<LPMAPIERROR>(1);
    EXPECT_EQ(object->GetLastError(E_FAIL, 0, &error), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(object->GetLastError(E_FAIL, 0, nullptr), MAPI_E_NO_SUPPORT);

    platform::testing::ExpectIdentity(object, {&IID_IUnknown, &IID_IMAPIProp}, IID_IStream);
}

TEST(MapiPropContract, MessagesAndAttachmentsRefuseBadArguments) {
    Opened o = Open(Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")}, {{{msgwriter::Long(PR_ATTACH_METHOD, 1)}}}}));
    ASSERT_EQ(o.hr, S_OK);
    ExpectPropContract(o.message.Get(), "message");
    ComPtr<IAttach> attach = OpenAttachment(o, 0);
    ExpectPropContract(attach.Get(), "attachment");
    void* as = nullptr;
    ASSERT_EQ(o.message->QueryInterface(IID_IMessage, &as), S_OK);
    static_cast<IUnknown*>(as)->Release();
    EXPECT_EQ(o.message->QueryInterface(IID_IAttachment, &as), E_NOINTERFACE);
    ASSERT_EQ(attach->QueryInterface(IID_IAttachment, &as), S_OK);
    static_cast<IUnknown*>(as)->Release();
    EXPECT_EQ(attach->QueryInterface(IID_IMessage, &as), E_NOINTERFACE);
    EXPECT_EQ(o.message->SetReadFlag(0), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(attach->SaveChanges(0x100), MAPI_E_UNKNOWN_FLAGS);
    for (const IID* iid : {&IID_IUnknown, &IID_IMAPIProp}) {
        LPATTACH other = nullptr;
        ASSERT_EQ(o.message->OpenAttach(0, iid, 0, &other), S_OK);
        other->Release();
    }
}

TEST(MapiPropContract, OpeningAMessageOnAStorage) {
    auto root = Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")}, {}});
    auto* storage = new mapitest::MemStorage(root, true);
    LPMALLOC malloc = MAPIGetDefaultMalloc();
    LPMESSAGE message = reinterpret_cast<LPMESSAGE>(1);
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, malloc, nullptr, storage,
                             nullptr, 0, 0, nullptr),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, nullptr, MAPIFreeBuffer, malloc, nullptr, storage, nullptr, 0,
                             0, &message),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(message, nullptr);
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, nullptr, malloc, nullptr, storage, nullptr, 0,
                             0, &message),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, nullptr, nullptr, storage,
                             nullptr, 0, 0, &message),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, malloc, nullptr, storage,
                             nullptr, 0, 0x4, &message),
              MAPI_E_UNKNOWN_FLAGS);
    // IMSG_NO_ISTG_COMMIT: a save writes the streams but leaves the storage's commit to the caller.
    ASSERT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, malloc, nullptr, storage,
                             nullptr, 0, IMSG_NO_ISTG_COMMIT, &message),
              S_OK);
    const int commits = root->commits;
    SPropValue value{};
    value.ulPropTag = kImportance;
    value.Value.l = 1;
    ASSERT_EQ(message->SetProps(1, &value, nullptr), S_OK);
    ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(root->commits, commits);
    message->Release();
    storage->Release();
    malloc->Release();
    Opened again = Open(root);
    Props p;
    GetAll(again.message.Get(), p);
    ASSERT_TRUE(p.Find(kImportance));
    EXPECT_EQ(p.Find(kImportance)->Value.l, 1);
}

// An attachment's values through streams: its own stored stream, a new one, none while it or
// its message takes no changes.
TEST(MapiPropContract, AttachmentValuesThroughStreams) {
    auto root = Build({{}, {{{msgwriter::Ansi(PR_ATTACH_FILENAME_A, "A.TXT"),
                              msgwriter::Binary(PR_ATTACH_DATA_BIN, {1, 2, 3})}}}});
    Opened o = Open(root);
    ComPtr<IAttach> attach = OpenAttachment(o, 0);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(attach->OpenProperty(PR_ATTACH_FILENAME_A, &IID_IStream, 0, 0, unknown.Put()), S_OK);
    char text[16] = {};
    ULONG got = 0;
    ASSERT_EQ(static_cast<IStream*>(static_cast<void*>(unknown.Get()))->Read(text, sizeof text, &got), S_OK);
    EXPECT_EQ(std::string(text, got), "A.TXT");
    unknown.Reset();
    EXPECT_EQ(attach->OpenProperty(PR_ATTACH_LONG_FILENAME_W, &IID_IStream, 0, 0, unknown.Put()), MAPI_E_NOT_FOUND);
    ASSERT_EQ(attach->OpenProperty(PR_ATTACH_LONG_FILENAME_W, &IID_IStream, 0, MAPI_CREATE | MAPI_MODIFY, unknown.Put()),
              S_OK);
    auto* stream = static_cast<IStream*>(static_cast<void*>(unknown.Get()));
    ASSERT_EQ(stream->Write(u"long.txt", 16, nullptr), S_OK);
    ASSERT_EQ(stream->Commit(0), S_OK);
    unknown.Reset();
    LPSPropValue value = nullptr;
    ASSERT_EQ(HrGetOneProp(attach.Get(), PR_ATTACH_LONG_FILENAME_W, &value), S_OK);
    EXPECT_EQ(std::u16string(value->Value.lpszW), u"long.txt");
    MAPIFreeBuffer(value);
    // Saved into the message, then the message saved without staying writable: no more writing.
    ASSERT_EQ(o.message->SaveChanges(0), S_OK);
    EXPECT_EQ(attach->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_NO_ACCESS) << "the message takes no changes";
    Opened ro = Open(root, false);
    ComPtr<IAttach> readOnly = OpenAttachment(ro, 0);
    EXPECT_EQ(readOnly->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, MAPI_MODIFY, unknown.Put()), MAPI_E_NO_ACCESS);
    ASSERT_EQ(readOnly->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IStream, 0, 0, unknown.Put()), S_OK);
}

TEST(MapiPropContract, ValuesThatCannotBeStoredAreReportedOneByOne) {
    for (bool onAttachment : {false, true}) {
        SCOPED_TRACE(onAttachment ? "attachment" : "message");
        Opened o = Open(Build({{}, {{{}}}}));
        ComPtr<IAttach> attach = OpenAttachment(o, 0);
        IMAPIProp* object = onAttachment ? static_cast<IMAPIProp*>(attach.Get()) : o.message.Get();
        SPropValue values[9] = {};
        values[0].ulPropTag = PROP_TAG(PT_NULL, 0x6730);     // nothing to store: skipped
        values[1].ulPropTag = PROP_TAG(PT_LONG, 0x6731);     // stored
        values[1].Value.l = 5;
        values[2].ulPropTag = PROP_TAG(PT_OBJECT, 0x6732);   // objects are not set this way
        values[3].ulPropTag = PROP_TAG(0x0099, 0x6733);      // no such type
        values[4].ulPropTag = PROP_TAG(PT_LONG, 0);          // no such property
        values[5].ulPropTag = PROP_TAG(PT_BINARY, 0x6734);   // bytes counted but not given
        values[5].Value.bin.cb = 3;
        values[6].ulPropTag = PROP_TAG(PT_CLSID, 0x6735);    // no GUID
        values[7].ulPropTag = PROP_TAG(PT_MV_BINARY, 0x6736);  // values counted but not given
        values[7].Value.MVbin.cValues = 2;
        values[8].ulPropTag = PROP_TAG(PT_MV_LONG, 0x6737);
        values[8].Value.MVl.cValues = 2;
        LPSPropProblemArray problems = nullptr;
        ASSERT_EQ(object->SetProps(9, values, &problems), S_OK);
        ASSERT_NE(problems, nullptr);
        const std::pair<ULONG, SCODE> expected[] = {{2, MAPI_E_NO_SUPPORT}, {3, MAPI_E_INVALID_TYPE},
                                                    {4, MAPI_E_INVALID_TYPE}, {5, MAPI_E_BAD_VALUE},
                                                    {6, MAPI_E_BAD_VALUE}, {7, MAPI_E_BAD_VALUE},
                                                    {8, MAPI_E_BAD_VALUE}};
        ASSERT_EQ(problems->cProblem, std::size(expected));
        for (ULONG i = 0; i < std::size(expected); ++i) {
            EXPECT_EQ(problems->aProblem[i].ulIndex, expected[i].first);
            EXPECT_EQ(problems->aProblem[i].ulPropTag, values[expected[i].first].ulPropTag);
            EXPECT_EQ(problems->aProblem[i].scode, expected[i].second);
        }
        MAPIFreeBuffer(problems);
        Props p;
        GetAll(object, p);
        EXPECT_EQ(p.count, 1u) << "only the number was stored";
        ASSERT_TRUE(p.Find(PROP_TAG(PT_LONG, 0x6731)));
        // Without a problems array the call still succeeds.
        EXPECT_EQ(object->SetProps(9, values, nullptr), S_OK);
    }
}

TEST(MapiPropContract, AReadOnlyMessageRefusesEveryChange) {
    auto root = Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")}, {{{msgwriter::Long(PR_ATTACH_METHOD, 1)}}}});
    Opened o = Open(root, false);
    ASSERT_EQ(o.hr, S_OK);
    ComPtr<IAttach> attach = OpenAttachment(o, 0);
    SPropValue value{};
    value.ulPropTag = kImportance;
    SizedSPropTagArray(1, subject) = {1, {PR_SUBJECT_W}};
    for (IMAPIProp* object : {static_cast<IMAPIProp*>(o.message.Get()), static_cast<IMAPIProp*>(attach.Get())}) {
        EXPECT_EQ(object->SetProps(1, &value, nullptr), MAPI_E_NO_ACCESS);
        EXPECT_EQ(object->DeleteProps(reinterpret_cast<LPSPropTagArray>(&subject), nullptr), MAPI_E_NO_ACCESS);
    }
    EXPECT_EQ(attach->SaveChanges(0), MAPI_E_NO_ACCESS);
    ULONG number = 0;
    LPATTACH created = nullptr;
    EXPECT_EQ(o.message->CreateAttach(nullptr, 0, &number, &created), MAPI_E_NO_ACCESS);
    EXPECT_EQ(o.message->DeleteAttach(0, 0, nullptr, 0), MAPI_E_NO_ACCESS);
    Props p;
    GetAll(o.message.Get(), p);
    ASSERT_TRUE(p.Find(PR_SUBJECT_W));
    EXPECT_EQ(std::u16string(p.Find(PR_SUBJECT_W)->Value.lpszW), u"s");
}

TEST(MapiPropContract, AttachmentsCreatedDeletedAndSavedOutOfOrder) {
    auto root = Build({{}, {{{msgwriter::Long(PR_ATTACH_METHOD, 1)}}}});
    Opened o = Open(root);
    ULONG number = 0;
    LPATTACH raw = nullptr;
    EXPECT_EQ(o.message->CreateAttach(nullptr, 0, nullptr, &raw), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(o.message->CreateAttach(nullptr, 0, &number, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(o.message->CreateAttach(&IID_IStream, 0, &number, &raw), MAPI_E_INTERFACE_NOT_SUPPORTED);
    EXPECT_EQ(o.message->OpenAttach(0, &IID_IStream, 0, &raw), MAPI_E_INTERFACE_NOT_SUPPORTED);
    EXPECT_EQ(o.message->OpenAttach(0, nullptr, 0, nullptr), MAPI_E_INVALID_PARAMETER);
    ASSERT_EQ(o.message->OpenAttach(0, &IID_IAttachment, 0, &raw), S_OK);
    raw->Release();

    // Two new ones take the next numbers; one is deleted before its save, which then fails.
    ASSERT_EQ(o.message->CreateAttach(&IID_IAttachment, 0, &number, &raw), S_OK);
    auto first = ComPtr<IAttach>::Attach(raw);
    EXPECT_EQ(number, 1u);
    ASSERT_EQ(o.message->CreateAttach(&IID_IMAPIProp, 0, &number, &raw), S_OK);
    auto second = ComPtr<IAttach>::Attach(raw);
    EXPECT_EQ(number, 2u);
    EXPECT_EQ(o.message->DeleteAttach(1, 0, nullptr, 0), MAPI_E_NOT_FOUND) << "not saved into the message yet";
    ASSERT_EQ(first->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    ASSERT_EQ(o.message->DeleteAttach(1, 0, nullptr, 0), S_OK);
    EXPECT_EQ(first->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_OBJECT_DELETED);
    SPropValue method{};
    method.ulPropTag = PR_ATTACH_METHOD;
    method.Value.l = ATTACH_BY_VALUE;
    ASSERT_EQ(second->SetProps(1, &method, nullptr), S_OK);
    ASSERT_EQ(second->SaveChanges(0), S_OK);
    EXPECT_EQ(second->SetProps(1, &method, nullptr), MAPI_E_NO_ACCESS) << "saved without KEEP_OPEN_READWRITE";
    EXPECT_EQ(second->SaveChanges(0), MAPI_E_NO_ACCESS);
    // The existing one is deleted from the storage at the message's save.
    ASSERT_EQ(o.message->DeleteAttach(0, 0, nullptr, 0), S_OK);
    EXPECT_EQ(o.message->DeleteAttach(0, 0, nullptr, 0), MAPI_E_NOT_FOUND);
    ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    EXPECT_EQ(root->children.count(u"__attach_version1.0_#00000000"), 0u);
    EXPECT_EQ(root->children.count(u"__attach_version1.0_#00000001"), 0u);
    ASSERT_EQ(root->children.count(u"__attach_version1.0_#00000002"), 1u);
    Opened again = Open(root);
    ComPtr<IAttach> kept = OpenAttachment(again, 2);
    Props p;
    GetAll(kept.Get(), p);
    ASSERT_TRUE(p.Find(PR_ATTACH_METHOD));
    EXPECT_EQ(p.Find(PR_ATTACH_METHOD)->Value.l, ATTACH_BY_VALUE);
}

// An attachment holding a message (its data object a storage), laid out by hand: the store
// writes no embedded messages itself.
std::shared_ptr<MemNode> WithEmbeddedMessage() {
    auto root = Build({{}, {}});
    std::vector<BYTE> attachProps(8, 0), innerProps(24, 0);
    auto put32 = [](std::vector<BYTE>& stream, ULONG v) {
        for (int i = 0; i < 4; ++i) stream.push_back(BYTE(v >> (8 * i)));
    };
    auto entry = [&](std::vector<BYTE>& stream, ULONG tag, ULONG low) {
        put32(stream, tag), put32(stream, 6), put32(stream, low), put32(stream, 0);
    };
    entry(attachProps, PR_ATTACH_METHOD, ATTACH_EMBEDDED_MSG);
    entry(attachProps, PR_ATTACH_DATA_OBJ, 0xFFFFFFFF);
    entry(innerProps, kImportance, 2);
    PutStream(root, "__attach_version1.0_#00000000/__properties_version1.0", attachProps);
    PutStream(root, "__attach_version1.0_#00000000/__substg1.0_3701000D/__properties_version1.0", innerProps);
    // The message's own header counts the attachment.
    auto& header = mapitest::NodeAt(root, "__properties_version1.0", false, false)->data;
    header[12] = 1, header[20] = 1;
    return root;
}

TEST(MapiEmbedded, AnAttachedMessageOpensThroughItsAttachment) {
    auto root = WithEmbeddedMessage();
    Opened o = Open(root);
    ASSERT_EQ(o.hr, S_OK);
    ComPtr<IAttach> attach = OpenAttachment(o, 0);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, unknown.Put()), S_OK);
    auto* inner = static_cast<IMessage*>(static_cast<void*>(unknown.Get()));
    Props p;
    GetAll(inner, p);
    ASSERT_EQ(p.hr, S_OK);
    ASSERT_TRUE(p.Find(kImportance));
    EXPECT_EQ(p.Find(kImportance)->Value.l, 2);
    // The embedded message lives on after its attachment is released.
    ComPtr<IUnknown> keep = unknown;
    attach.Reset();
    Props again;
    GetAll(inner, again);
    EXPECT_EQ(again.hr, S_OK);
    unknown.Reset();
    keep.Reset();

    attach = OpenAttachment(o, 0);
    ASSERT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IStorage, 0, 0, unknown.Put()), S_OK);
    STATSTG stat{};
    ASSERT_EQ(static_cast<IStorage*>(static_cast<void*>(unknown.Get()))->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STORAGE));
    unknown.Reset();
    EXPECT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, MAPI_CREATE, unknown.Put()), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(attach->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMAPITable, 0, 0, unknown.Put()),
              MAPI_E_INTERFACE_NOT_SUPPORTED);
    EXPECT_EQ(attach->OpenProperty(PR_ATTACH_DATA_BIN, &IID_IMessage, 0, 0, unknown.Put()),
              MAPI_E_INTERFACE_NOT_SUPPORTED) << "binary data is no object";
    EXPECT_EQ(attach->OpenProperty(PROP_TAG(PT_OBJECT, 0x6740), &IID_IMessage, 0, 0, unknown.Put()), MAPI_E_NOT_FOUND);
    EXPECT_EQ(o.message->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, unknown.Put()),
              MAPI_E_INTERFACE_NOT_SUPPORTED) << "a message holds no objects of its own";
    // An object named in the attachment whose storage is gone.
    root->children[u"__attach_version1.0_#00000000"]->children.erase(u"__substg1.0_3701000D");
    Opened missing = Open(root);
    ComPtr<IAttach> orphan = OpenAttachment(missing, 0);
    EXPECT_EQ(orphan->OpenProperty(PR_ATTACH_DATA_OBJ, &IID_IMessage, 0, 0, unknown.Put()), MAPI_E_NOT_FOUND);
}

}  // namespace
