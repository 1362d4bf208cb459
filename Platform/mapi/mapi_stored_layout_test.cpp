// Values as other writers lay them out: strings whose stream holds the terminator (accepted
// when it is one, refused when it is not), stored types the store cannot serve, multi-valued
// streams of impossible sizes or beyond the inline limit, storage names in lower-case hex and
// names that only look numbered, and values removed or retyped whose streams are already gone.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;

// A message storage whose property stream holds `entries` (tag and the entry's 8 value bytes,
// the low word first).
struct Layout {
    std::shared_ptr<MemNode> root = std::make_shared<MemNode>();
    std::vector<BYTE> props = std::vector<BYTE>(32, 0);
    Layout() { root->isStorage = true; }
    Layout& Entry(ULONG tag, ULONG low, ULONG high = 0) {
        Put32(props, tag);
        Put32(props, 6);
        Put32(props, low);
        Put32(props, high);
        return *this;
    }
    Layout& Stream(const std::string& name, std::vector<BYTE> data) {
        PutStream(root, name, std::move(data));
        return *this;
    }
    std::shared_ptr<MemNode> Done() {
        PutStream(root, "__properties_version1.0", props);
        return root;
    }
};

std::vector<BYTE> Utf16(const std::u16string& text, bool terminated) {
    std::vector<BYTE> bytes;
    for (char16_t c : text) bytes.push_back(BYTE(c)), bytes.push_back(BYTE(c >> 8));
    if (terminated) bytes.push_back(0), bytes.push_back(0);
    return bytes;
}

std::string StreamText(IStream* stream) {
    std::string all;
    char buffer[64];
    ULONG got = 0;
    while (stream->Read(buffer, sizeof buffer, &got) == S_OK && got) all.append(buffer, got);
    return all;
}

TEST(MapiStoredLayout, AStringStreamMayHoldItsTerminator) {
    const ULONG subject = PROP_TAG(PT_UNICODE, 0x0037), topic = PROP_TAG(PT_STRING8, 0x0070);
    const ULONG broken = PROP_TAG(PT_UNICODE, 0x1000);
    auto root = Layout()
                    .Entry(subject, 6)
                    .Stream("__substg1.0_0037001F", Utf16(u"Hi", true))
                    .Entry(topic, 4)
                    .Stream("__substg1.0_0070001E", {'a', 'b', 'c', 0})
                    .Entry(broken, 6)
                    .Stream("__substg1.0_1000001F", {'H', 0, 'i', 0, 'x', 0})
                    .Done();
    Props p;
    Opened o = OpenAndGetAll(root, p);
    EXPECT_EQ(p.hr, MAPI_W_ERRORS_RETURNED);
    ASSERT_TRUE(p.Find(subject));
    EXPECT_EQ(std::u16string(p.Find(subject)->Value.lpszW), u"Hi") << "the terminator is not part of the text";
    ASSERT_TRUE(p.Find(topic));
    EXPECT_STREQ(p.Find(topic)->Value.lpszA, "abc");
    ASSERT_TRUE(p.Find(PROP_TAG(PT_ERROR, 0x1000)));
    EXPECT_EQ(p.Find(PROP_TAG(PT_ERROR, 0x1000))->Value.err, MAPI_E_CORRUPT_DATA) << "a last character is no terminator";

    // Through a stream: the storage's own, read from the start, terminator and all.
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(o.message->OpenProperty(topic, &IID_IStream, 0, 0, unknown.Put()), S_OK);
    EXPECT_EQ(StreamText(static_cast<IStream*>(static_cast<void*>(unknown.Get()))), std::string("abc\0", 4));
    unknown.Reset();
    ASSERT_EQ(o.message->OpenProperty(subject, &IID_IStream, 0, 0, unknown.Put()), S_OK);
    EXPECT_EQ(StreamText(static_cast<IStream*>(static_cast<void*>(unknown.Get()))).size(), 6u);
    unknown.Reset();
    EXPECT_EQ(o.message->OpenProperty(broken, &IID_IStream, 0, 0, unknown.Put()), MAPI_E_CORRUPT_DATA);
    // A size that fits neither form.
    PutStream(root, "__substg1.0_0070001E", {'a', 'b', 'c', 'd', 'e', 0, 0});
    Opened again = Open(root);
    EXPECT_EQ(again.message->OpenProperty(topic, &IID_IStream, 0, 0, unknown.Put()), MAPI_E_CORRUPT_DATA);
    Props q;
    GetAll(again.message.Get(), q);
    EXPECT_EQ(q.Find(PROP_TAG(PT_ERROR, 0x0070))->Value.err, MAPI_E_CORRUPT_DATA);
}

TEST(MapiStoredLayout, TypesAndSizesTheStoreCannotServe) {
    std::vector<BYTE> manyLongs(MAPI_MAX_INLINE_VALUE_BYTES + 4, 0);
    std::vector<BYTE> lengths;
    for (int i = 0; i < 3; ++i) Put32(lengths, 8000), Put32(lengths, 0);
    Layout layout;
    layout.Entry(PROP_TAG(0x00FD, 0x6750), 0)  // a restriction
        .Entry(PROP_TAG(0x00FE, 0x6751), 0)    // rule actions
        .Entry(PROP_TAG(0x0077, 0x6752), 0)    // no type at all
        .Entry(PROP_TAG(PT_MV_LONG, 0x6753), 7)
        .Stream("__substg1.0_67531003", {1, 2, 3, 4, 5, 6, 7})
        .Entry(PROP_TAG(PT_MV_BINARY, 0x6754), 12)
        .Stream("__substg1.0_67541102", std::vector<BYTE>(12, 0))
        .Entry(PROP_TAG(PT_MV_LONG, 0x6755), static_cast<ULONG>(manyLongs.size()))
        .Stream("__substg1.0_67551003", manyLongs)
        .Entry(PROP_TAG(PT_MV_BINARY, 0x6756), static_cast<ULONG>(lengths.size()))
        .Stream("__substg1.0_67561102", lengths);
    for (int i = 0; i < 3; ++i) {
        char name[64];
        std::snprintf(name, sizeof name, "__substg1.0_67561102-%08X", i);
        layout.Stream(name, std::vector<BYTE>(8000, BYTE(i)));
    }
    Opened o = Open(layout.Done());
    ASSERT_EQ(o.hr, S_OK);
    Props p;
    GetAll(o.message.Get(), p);
    EXPECT_EQ(p.hr, MAPI_W_ERRORS_RETURNED);
    const std::pair<ULONG, SCODE> expected[] = {
        {0x6750, MAPI_E_NO_SUPPORT},       {0x6751, MAPI_E_NO_SUPPORT},       {0x6752, MAPI_E_CORRUPT_DATA},
        {0x6753, MAPI_E_CORRUPT_DATA},     {0x6754, MAPI_E_CORRUPT_DATA},     {0x6755, MAPI_E_NOT_ENOUGH_MEMORY},
        {0x6756, MAPI_E_NOT_ENOUGH_MEMORY}};
    for (auto [id, code] : expected) {
        SCOPED_TRACE(id);
        const SPropValue* value = p.Find(PROP_TAG(PT_ERROR, id));
        ASSERT_TRUE(value);
        EXPECT_EQ(value->Value.err, code);
    }
}

TEST(MapiStoredLayout, OnlyExactlyNumberedStoragesAreAttachmentsOrRecipients) {
    auto root = Layout().Done();
    std::vector<BYTE> attachment(8, 0);
    Put32(attachment, PR_ATTACH_METHOD), Put32(attachment, 6), Put32(attachment, 1), Put32(attachment, 0);
    for (const char* name : {"__attach_version1.0_#0000000a", "__attach_version1.0_#0000001B",
                             "__attach_version1.0_#0000000G", "__attach_version1.0_#000000011",
                             "__attach_version1.0_#0000002", "__attach_versionX.0_#00000003"})
        PutStream(root, std::string(name) + "/__properties_version1.0", attachment);
    PutStream(root, "__recip_version1.0_#0000000f/__properties_version1.0", std::vector<BYTE>(8, 0));
    Opened o = Open(root);
    ASSERT_EQ(o.hr, S_OK);
    RowSet attachments = TableRows(o.message.Get());
    ASSERT_TRUE(attachments);
    EXPECT_EQ(Longs(*attachments, PR_ATTACH_NUM), (std::vector<LONG>{10, 27}));
    RowSet recipients = TableRows(o.message.Get(), true);
    ASSERT_TRUE(recipients);
    EXPECT_EQ(Longs(*recipients, PR_ROWID), std::vector<LONG>{15});
}

// An attachment that cannot be loaded is a row of its number and keys alone.
TEST(MapiStoredLayout, AnUnreadableAttachmentIsARowOfItsNumber) {
    auto root = Layout().Done();
    PutStream(root, "__attach_version1.0_#00000000/__properties_version1.0", {1, 2, 3});
    Opened o = Open(root);
    RowSet rows = TableRows(o.message.Get());
    ASSERT_TRUE(rows);
    ASSERT_EQ(Longs(*rows, PR_ATTACH_NUM), std::vector<LONG>{0});
    const SRow& row = rows->aRow[0];
    EXPECT_EQ(Find(row, PR_INSTANCE_KEY)->Value.bin.cb, 4u);
    EXPECT_EQ(Find(row, PROP_TAG(PT_ERROR, PROP_ID(PR_ATTACH_METHOD)))->Value.err, MAPI_E_NOT_FOUND);
    LPATTACH attach = nullptr;
    EXPECT_EQ(o.message->OpenAttach(0, nullptr, 0, &attach), MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(attach, nullptr);
}

TEST(MapiStoredLayout, RemovedAndRetypedValuesWhoseStreamsAreGone) {
    const ULONG words = PROP_TAG(PT_MV_UNICODE, 0x6760), text = PROP_TAG(PT_UNICODE, 0x6761);
    auto root = Layout().Entry(words, 0).Entry(text, 6).Entry(PROP_TAG(PT_LONG, 0x6762), 3).Done();  // no value streams
    {
        Opened o = Open(root);
        SizedSPropTagArray(1, tags) = {1, {words}};
        ASSERT_EQ(o.message->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), nullptr), S_OK);
        // Retyped: the text becomes a number, and back again under another value.
        SPropValue number{};
        number.ulPropTag = PROP_TAG(PT_LONG, 0x6761);
        number.Value.l = 9;
        ASSERT_EQ(o.message->SetProps(1, &number, nullptr), S_OK);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        SPropValue again{};
        again.ulPropTag = text;
        again.Value.lpszW = const_cast<LPWSTR>(u"back");
        ASSERT_EQ(o.message->SetProps(1, &again, nullptr), S_OK);
        // A value set and deleted before any save leaves nothing to remove.
        SPropValue fresh{};
        fresh.ulPropTag = PROP_TAG(PT_BINARY, 0x6763);
        ASSERT_EQ(o.message->SetProps(1, &fresh, nullptr), S_OK);
        SizedSPropTagArray(1, freshTag) = {1, {fresh.ulPropTag}};
        ASSERT_EQ(o.message->DeleteProps(reinterpret_cast<LPSPropTagArray>(&freshTag), nullptr), S_OK);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    Opened o = Open(root);
    Props p;
    GetAll(o.message.Get(), p);
    ASSERT_EQ(p.hr, S_OK);
    EXPECT_EQ(p.count, 2u);
    ASSERT_TRUE(p.Find(text));
    EXPECT_EQ(std::u16string(p.Find(text)->Value.lpszW), u"back");
    EXPECT_EQ(p.Find(PROP_TAG(PT_LONG, 0x6762))->Value.l, 3);
    EXPECT_FALSE(NodeAt(root, "__substg1.0_67630102", false, false));
}


// A storage without a property stream (a message made by something else, or never saved) gets,
// at its first save, a header that counts the recipients and attachments its storages hold.
TEST(MapiStoredLayout, AFirstSaveCountsTheStoragesFound) {
    auto root = std::make_shared<MemNode>();
    root->isStorage = true;
    std::vector<BYTE> empty(8, 0);
    PutStream(root, "__recip_version1.0_#00000004/__properties_version1.0", empty);
    PutStream(root, "__recip_version1.0_#00000001/__properties_version1.0", empty);
    PutStream(root, "__attach_version1.0_#00000002/__properties_version1.0", empty);
    {
        Opened o = Open(root);
        ASSERT_EQ(o.hr, S_OK);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    auto props = NodeAt(root, "__properties_version1.0", false, false);
    ASSERT_TRUE(props);
    ASSERT_EQ(props->data.size(), 32u);
    auto at = [&](size_t offset) {
        return ULONG(props->data[offset]) | ULONG(props->data[offset + 1]) << 8 | ULONG(props->data[offset + 2]) << 16 |
               ULONG(props->data[offset + 3]) << 24;
    };
    EXPECT_EQ(at(8), 5u) << "the next recipient number";
    EXPECT_EQ(at(12), 3u) << "the next attachment number";
    EXPECT_EQ(at(16), 2u) << "recipients";
    EXPECT_EQ(at(20), 1u) << "attachments";
    EXPECT_TRUE(NodeAt(root, "__nameid_version1.0", false, true)) << "the named-property map is made";
}

}  // namespace
