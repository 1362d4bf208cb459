// The message store's objects over a storage held in memory: the attachment table, the release
// callback, arguments, the fault-injection names and buffers left behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;
namespace pt = platform::testing;

TEST(MapiTable, RowsCarryNumbersKeysAndLimitedNames) {
    const std::u16string longName(MAPI_MAX_INLINE_VALUE_BYTES, u'n');
    auto root = Build({{},
                       {{{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE), msgwriter::Long(PR_RENDERING_POSITION, -1),
                          msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.pdf"),
                          msgwriter::Unicode(PR_DISPLAY_NAME_W, u"A")}},
                        {{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, longName)}},
                        {{msgwriter::Ansi(PR_ATTACH_FILENAME_A, "SHORT.TXT")}},
                        {{msgwriter::Error(0x3707, MAPI_E_CALL_FAILED)}}}});
    Opened o = Open(root);
    LPMAPITABLE rawTable = nullptr;
    ASSERT_EQ(o.message->GetAttachmentTable(0, &rawTable), S_OK);
    auto table = ComPtr<IMAPITable>::Attach(rawTable);
    ULONG count = 0;
    ASSERT_EQ(table->GetRowCount(0, &count), S_OK);
    EXPECT_EQ(count, 4u);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 4u);
    auto find = [&](ULONG row, ULONG tag) { return PpropFindProp(rows->aRow[row].lpProps, rows->aRow[row].cValues, tag); };
    for (ULONG r = 0; r < 3; ++r) {
        EXPECT_EQ(find(r, PR_ATTACH_NUM)->Value.l, static_cast<LONG>(r));
        EXPECT_EQ(find(r, PR_INSTANCE_KEY)->Value.bin.cb, 4u);
        EXPECT_TRUE(find(r, PR_RECORD_KEY));
    }
    EXPECT_EQ(find(0, PR_ATTACH_METHOD)->Value.l, 1);
    EXPECT_EQ(find(0, PR_RENDERING_POSITION)->Value.l, -1);
    EXPECT_EQ(std::u16string(find(0, PR_ATTACH_LONG_FILENAME_W)->Value.lpszW), u"a.pdf");
    EXPECT_EQ(find(1, PROP_TAG(PT_ERROR, 0x3707))->Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(find(2, PROP_TAG(PT_ERROR, 0x3707))->Value.err, MAPI_E_NOT_FOUND);
    EXPECT_STREQ(find(2, PR_ATTACH_FILENAME_A)->Value.lpszA, "SHORT.TXT");
    // An error-typed long file name is kept as stored, in the row and in the attachment.
    EXPECT_EQ(find(3, PROP_TAG(PT_ERROR, 0x3707))->Value.err, MAPI_E_CALL_FAILED);
    FreeProws(rows);
    Props p;
    GetAllOfAttachment(o.message.Get(), 3, p);
    ASSERT_EQ(p.hr, S_OK);
    ASSERT_EQ(p.count, 1u);
    EXPECT_EQ(p.values[0].ulPropTag, PROP_TAG(PT_ERROR, 0x3707));
    EXPECT_EQ(p.values[0].Value.err, MAPI_E_CALL_FAILED);
    // Chosen columns; a row limit below the count.
    SizedSPropTagArray(1, one) = {1, {PR_ATTACH_NUM}};
    ASSERT_EQ(HrQueryAllRows(table.Get(), reinterpret_cast<LPSPropTagArray>(&one), nullptr, nullptr, 0, &rows), S_OK);
    EXPECT_EQ(rows->aRow[2].cValues, 1u);
    FreeProws(rows);
    EXPECT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 2, &rows), MAPI_E_TABLE_TOO_BIG);
}

TEST(MapiObjects, ReleaseCallbackRunsOnceAndStorageIsHeld) {
    static int calls = 0;
    static LPMESSAGE seen = nullptr;
    calls = 0;
    auto root = Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")}, {}});
    auto* storage = new MemStorage(root, true);
    LPMESSAGE message = nullptr;
    MSGCALLRELEASE* callback = [](ULONG data, LPMESSAGE m) {
        calls += static_cast<int>(data);
        seen = m;
    };
    ASSERT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                             nullptr, storage, callback, 1, 0, &message),
              S_OK);
    storage->Release();  // the message keeps the storage
    LPSPropValue subject = nullptr;
    ASSERT_EQ(HrGetOneProp(message, PR_SUBJECT_W, &subject), S_OK);
    MAPIFreeBuffer(subject);
    message->AddRef();
    message->Release();
    EXPECT_EQ(calls, 0);
    message->Release();
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(seen, message);
}

TEST(MapiObjects, ArgumentsAndUnsupportedOperations) {
    auto root = Build({{}, {}});
    auto* storage = new MemStorage(root, true);
    LPMESSAGE message = nullptr;
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, nullptr, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(), nullptr,
                             storage, nullptr, 0, 0, &message),
              MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                             nullptr, nullptr, nullptr, 0, 0, &message),
              MAPI_E_INVALID_PARAMETER);
    storage->Release();
    Opened o = Open(root);
    EXPECT_EQ(o.message->SubmitMessage(0), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(o.message->ModifyRecipients(0, nullptr), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(o.message->CopyTo(0, nullptr, nullptr, 0, nullptr, nullptr, nullptr, 0, nullptr), MAPI_E_NO_SUPPORT);
    LPATTACH attach = nullptr;
    EXPECT_EQ(o.message->OpenAttach(7, nullptr, 0, &attach), MAPI_E_NOT_FOUND);
    EXPECT_EQ(o.message->SaveChanges(0x100), MAPI_E_UNKNOWN_FLAGS);
    // A read-only storage gives a message that cannot be saved.
    Opened ro = Open(root, false);
    ASSERT_EQ(ro.hr, S_OK);
    EXPECT_EQ(ro.message->SaveChanges(KEEP_OPEN_READWRITE), MAPI_E_NO_ACCESS);
}

TEST(MapiFaults, EveryOperationConsultsItsName) {
    auto root = Build({{msgwriter::Unicode(PR_BODY_W, u"b")}, {{{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a")}}}});
    const HRESULT code = static_cast<HRESULT>(0x80041234);
    {
        pt::FailNthCall("OpenIMsgOnIStg", 1, code);
        EXPECT_EQ(Open(root).hr, code);
    }
    Opened o = Open(root);
    ASSERT_EQ(o.hr, S_OK);
    struct Case {
        const char* name;
        std::function<HRESULT()> call;
    };
    LPATTACH rawAttach = nullptr;
    ASSERT_EQ(o.message->OpenAttach(0, nullptr, 0, &rawAttach), S_OK);
    auto attach = ComPtr<IAttach>::Attach(rawAttach);
    // Every row of the attachment table, which opens without failing (HrQueryAllRows reads
    // through QueryRows).
    auto allRows = [&] {
        ComPtr<IMAPITable> t;
        EXPECT_EQ(o.message->GetAttachmentTable(0, t.Put()), S_OK);
        LPSRowSet rows = nullptr;
        HRESULT hr = HrQueryAllRows(t.Get(), nullptr, nullptr, nullptr, 0, &rows);
        FreeProws(rows);
        return hr;
    };
    const std::vector<Case> cases = {
        {"IMessage::GetProps", [&] { Props p; GetAll(o.message.Get(), p); return p.hr; }},
        {"IMessage::SetProps", [&] { SPropValue v{PR_MESSAGE_FLAGS, 0, {}}; return o.message->SetProps(1, &v, nullptr); }},
        {"IMessage::SaveChanges", [&] { return o.message->SaveChanges(KEEP_OPEN_READWRITE); }},
        {"IMessage::OpenProperty", [&] { ComPtr<IUnknown> u; return o.message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, u.Put()); }},
        {"IMessage::GetAttachmentTable", [&] { ComPtr<IMAPITable> t; return o.message->GetAttachmentTable(0, t.Put()); }},
        {"IMessage::OpenAttach", [&] { ComPtr<IAttach> a; return o.message->OpenAttach(0, nullptr, 0, a.Put()); }},
        {"IAttach::GetProps", [&] { Props p; GetAll(attach.Get(), p); return p.hr; }},
        {"HrGetOneProp", [&] { LPSPropValue v = nullptr; HRESULT hr = HrGetOneProp(o.message.Get(), PR_BODY_W, &v); MAPIFreeBuffer(v); return hr; }},
        {"HrQueryAllRows", allRows},
        {"IMAPITable::QueryRows", allRows},
        {"MAPIAllocateBuffer", [&] { Props p; GetAll(o.message.Get(), p); return p.hr; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        pt::FailNthCall(c.name, 1, code);
        EXPECT_EQ(c.call(), code);
        pt::ResetFaults();
        EXPECT_GE(c.call(), 0);  // and works again
    }
    // A memory stream's reads are injectable too (a converted body is served from memory).
    Opened ansi = Open(Build({{msgwriter::Ansi(PR_BODY_A, "text")}, {}}));
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(ansi.message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, unknown.Put()), S_OK);
    pt::FailNthCall("IStream::Read", 2, code);
    BYTE buffer[4];
    ULONG got = 0;
    EXPECT_EQ(static_cast<IStream*>(unknown.Get())->Read(buffer, 4, &got), S_OK);
    EXPECT_EQ(static_cast<IStream*>(unknown.Get())->Read(buffer, 4, &got), code);
}

TEST(MapiObjects, NoBufferIsLeftBehind) {
    const long before = pt::MapiBuffersInUse();
    {
        Opened o = Open(Build({{msgwriter::Unicode(PR_SUBJECT_W, u"s")}, {{{}}}}));
        Props p;
        GetAll(o.message.Get(), p);
        ComPtr<IMAPITable> t;
        ASSERT_EQ(o.message->GetAttachmentTable(0, t.Put()), S_OK);
        LPSRowSet rows = nullptr;
        ASSERT_EQ(HrQueryAllRows(t.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
        FreeProws(rows);
        ComPtr<IMAPITable> recipients;
        ASSERT_EQ(o.message->GetRecipientTable(0, recipients.Put()), S_OK);
    }
    EXPECT_EQ(pt::MapiBuffersInUse(), before);
}

}  // namespace
