// The message store over a storage held in memory: the allocators and start count, the exact
// layout it writes, what it reads back, conversions, the inline limit and damaged property
// streams.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;
namespace pt = platform::testing;

// ---- Allocators and start count -------------------------------------------------------------

TEST(MapiAllocators, FaultsAndDefaultMalloc) {
    pt::FailNthCall("MAPIAllocateBuffer", 1, MAPI_E_NOT_ENOUGH_MEMORY);
    void* p = reinterpret_cast<void*>(1);
    EXPECT_EQ(MAPIAllocateBuffer(8, &p), MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(p, nullptr);
    LPMALLOC malloc = MAPIGetDefaultMalloc();
    ASSERT_NE(malloc, nullptr);
    void* block = malloc->Alloc(40);
    EXPECT_EQ(malloc->GetSize(block), 40u);
    malloc->Free(block);
    pt::ReturnNullOnNthCall("MAPIGetDefaultMalloc", 1);
    EXPECT_EQ(MAPIGetDefaultMalloc(), nullptr);
    EXPECT_NE(MAPIGetDefaultMalloc(), nullptr);
}

TEST(MapiInitialize, CountsStartsAndChecksTheBlock) {
    EXPECT_EQ(MAPIInitialize(nullptr), S_OK);
    MAPIINIT_0 init{MAPI_INIT_VERSION, MAPI_NO_COINIT | MAPI_MULTITHREAD_NOTIFICATIONS};
    EXPECT_EQ(pt::MapiLastInitializeFlags(), -1);
    EXPECT_EQ(MAPIInitialize(&init), S_OK);
    EXPECT_EQ(pt::MapiLastInitializeFlags(), 9);
    EXPECT_EQ(pt::MapiInitializeCount(), 2);
    MAPIINIT_0 badVersion{1, 0};
    EXPECT_EQ(MAPIInitialize(&badVersion), MAPI_E_VERSION);
    MAPIINIT_0 badFlags{0, 0x100};
    EXPECT_EQ(MAPIInitialize(&badFlags), MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(pt::MapiLastInitializeFlags(), 0x100) << "recorded whether it succeeds or not";
    pt::FailNthCall("MAPIInitialize", 1, E_FAIL);
    EXPECT_EQ(MAPIInitialize(nullptr), E_FAIL);
    EXPECT_EQ(pt::MapiLastInitializeFlags(), -1);
    EXPECT_EQ(pt::MapiInitializeCount(), 2);
    MAPIUninitialize();
    EXPECT_EQ(pt::MapiUnpairedUninitializeCount(), 0);
    MAPIUninitialize();
    EXPECT_EQ(pt::MapiUnpairedUninitializeCount(), 0);
    MAPIUninitialize();  // never below zero, but noted as a stop without a start
    EXPECT_EQ(pt::MapiInitializeCount(), 0);
    EXPECT_EQ(pt::MapiUnpairedUninitializeCount(), 1);
    MAPIUninitialize();
    EXPECT_EQ(pt::MapiUnpairedUninitializeCount(), 2);
    EXPECT_EQ(MAPIInitialize(nullptr), S_OK);
    EXPECT_EQ(pt::MapiInitializeCount(), 1) << "earlier stops without starts do not cancel a later start";
    MAPIUninitialize();
}

// ---- Writing a message from scratch ----------------------------------------------------------

TEST(MapiWriter, NewMessageHasTheMsgLayout) {
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"Hi"), msgwriter::Ansi(PR_BODY_A, "abc"),
                  msgwriter::Long(PR_MESSAGE_FLAGS, 0x11), msgwriter::Time(PR_CREATION_TIME, 0x01D0000012345678ull),
                  msgwriter::Bool(PR_HASATTACH, true)};
    spec.attachments.push_back({{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.pdf"),
                                 msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE),
                                 msgwriter::Binary(PR_ATTACH_DATA_BIN, {1, 2, 3})}});
    spec.attachments.push_back({{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"b.txt")}});
    auto root = Build(spec);
    auto props = mapitest::NodeAt(root, "__properties_version1.0", false, false);
    ASSERT_TRUE(props);
    const auto& p = props->data;
    ASSERT_EQ(p.size(), 32u + 5 * 16);
    EXPECT_EQ(Get32(p, 12), 2u);  // next attachment id
    EXPECT_EQ(Get32(p, 16), 0u);  // recipients
    EXPECT_EQ(Get32(p, 20), 2u);  // attachments
    // Entries in SetProps order; string sizes count the terminator.
    EXPECT_EQ(Get32(p, 32), PR_SUBJECT_W);
    EXPECT_EQ(Get32(p, 32 + 8), 6u);
    EXPECT_EQ(Get32(p, 48), PR_BODY_A);
    EXPECT_EQ(Get32(p, 48 + 8), 4u);
    EXPECT_EQ(Get32(p, 64), PR_MESSAGE_FLAGS);
    EXPECT_EQ(Get32(p, 64 + 8), 0x11u);
    EXPECT_EQ(Get32(p, 80 + 8), 0x12345678u);
    EXPECT_EQ(Get32(p, 80 + 12), 0x01D00000u);
    EXPECT_EQ(Get32(p, 96 + 8), 1u);
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_0037001F", false, false)->data, Wide(u"Hi"));
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_1000001E", false, false)->data, Bytes("abc"));
    EXPECT_TRUE(mapitest::NodeAt(root, "__nameid_version1.0/__substg1.0_00020102", false, false));
    EXPECT_TRUE(mapitest::NodeAt(root, "__nameid_version1.0/__substg1.0_00030102", false, false));
    EXPECT_TRUE(mapitest::NodeAt(root, "__nameid_version1.0/__substg1.0_00040102", false, false));
    auto a0 = mapitest::NodeAt(root, "__attach_version1.0_#00000000/__properties_version1.0", false, false);
    ASSERT_TRUE(a0);
    EXPECT_EQ(a0->data.size(), 8u + 3 * 16);
    EXPECT_EQ(mapitest::NodeAt(root, "__attach_version1.0_#00000000/__substg1.0_37010102", false, false)->data,
              (std::vector<BYTE>{1, 2, 3}));
    EXPECT_TRUE(mapitest::NodeAt(root, "__attach_version1.0_#00000001/__substg1.0_3707001F", false, false));
    EXPECT_TRUE(IsEqualGUID(root->clsid, CLSID_MailMessage));
    EXPECT_GE(root->commits, 1);
}

TEST(MapiWriter, MultiValuedPropertiesUseLengthAndIndexStreams) {
    msgwriter::PropSpec names;
    names.tag = PROP_TAG(PT_MV_UNICODE, 0x8001);
    names.wides = {u"one", u"three"};
    msgwriter::PropSpec blobs;
    blobs.tag = PROP_TAG(PT_MV_BINARY, 0x8002);
    blobs.binaries = {{9}, {}};
    msgwriter::PropSpec longs;
    longs.tag = PROP_TAG(PT_MV_LONG, 0x8003);
    longs.longs = {7, -1};
    auto root = Build({{names, blobs, longs}, {}});
    const auto& lengths = mapitest::NodeAt(root, "__substg1.0_8001101F", false, false)->data;
    ASSERT_EQ(lengths.size(), 8u);
    EXPECT_EQ(Get32(lengths, 0), 8u);   // "one" + terminator
    EXPECT_EQ(Get32(lengths, 4), 12u);  // "three" + terminator
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_8001101F-00000001", false, false)->data, Wide(u"three"));
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_80021102", false, false)->data.size(), 16u);
    EXPECT_EQ(mapitest::NodeAt(root, "__substg1.0_80031003", false, false)->data.size(), 8u);

    Props p;
    Opened o = OpenAndGetAll(root, p);
    ASSERT_EQ(p.hr, S_OK);
    const SPropValue* mv = p.Find(names.tag);
    ASSERT_TRUE(mv);
    ASSERT_EQ(mv->Value.MVszW.cValues, 2u);
    EXPECT_EQ(std::u16string(mv->Value.MVszW.lppszW[1]), u"three");
    const SPropValue* mb = p.Find(blobs.tag);
    ASSERT_TRUE(mb);
    ASSERT_EQ(mb->Value.MVbin.cValues, 2u);
    EXPECT_EQ(mb->Value.MVbin.lpbin[0].cb, 1u);
    EXPECT_EQ(mb->Value.MVbin.lpbin[0].lpb[0], 9);
    EXPECT_EQ(mb->Value.MVbin.lpbin[1].cb, 0u);
    const SPropValue* ml = p.Find(longs.tag);
    ASSERT_TRUE(ml);
    ASSERT_EQ(ml->Value.MVl.cValues, 2u);
    EXPECT_EQ(ml->Value.MVl.lpl[1], -1);
}

// ---- Reading -------------------------------------------------------------------------------

TEST(MapiRead, GetPropsReturnsStoredTypesInStreamOrder) {
    auto root = Build({{msgwriter::Ansi(PR_SUBJECT_A, "Caf\xE9"), msgwriter::Long(PR_MESSAGE_CODEPAGE, 1252),
                        msgwriter::Unicode(PR_DISPLAY_TO_W, u"Bob"), msgwriter::Double(PROP_TAG(PT_DOUBLE, 0x8010), 2.5),
                        msgwriter::I8(PROP_TAG(PT_I8, 0x8011), -5), msgwriter::Error(0x8012, MAPI_E_NOT_FOUND)},
                       {}});
    Props p;
    Opened o = OpenAndGetAll(root, p);
    ASSERT_EQ(p.hr, S_OK);
    ASSERT_EQ(p.count, 6u);
    EXPECT_EQ(p.values[0].ulPropTag, PR_SUBJECT_A);
    EXPECT_STREQ(p.values[0].Value.lpszA, "Caf\xE9");
    EXPECT_EQ(p.values[1].Value.l, 1252);
    EXPECT_EQ(p.values[2].ulPropTag, PR_DISPLAY_TO_W);
    EXPECT_EQ(std::u16string(p.values[2].Value.lpszW), u"Bob");
    EXPECT_EQ(p.values[3].Value.dbl, 2.5);
    EXPECT_EQ(p.values[4].Value.li.QuadPart, -5);
    EXPECT_EQ(p.values[5].ulPropTag, PROP_TAG(PT_ERROR, 0x8012));
    EXPECT_EQ(p.values[5].Value.err, MAPI_E_NOT_FOUND);

    // MAPI_UNICODE turns 8-bit strings into Unicode.
    Props u;
    GetAll(o.message.Get(), u, MAPI_UNICODE);
    ASSERT_EQ(u.hr, S_OK);
    EXPECT_EQ(u.values[0].ulPropTag, PR_SUBJECT_W);
    EXPECT_EQ(std::u16string(u.values[0].Value.lpszW), u"Caf\u00E9");
}

TEST(MapiRead, OtherStringWidthIsConvertedWithTheMessageCodePage) {
    struct Case {
        const char* name;
        std::vector<msgwriter::PropSpec> extra;
        std::string stored;
        std::u16string expected;
    };
    const std::vector<Case> cases = {
        {"internet cpid wins", {msgwriter::Long(PR_INTERNET_CPID, 65001), msgwriter::Long(PR_MESSAGE_CODEPAGE, 1252)},
         "\xC3\xA9t\xC3\xA9", u"\u00E9t\u00E9"},
        {"message codepage", {msgwriter::Long(PR_MESSAGE_CODEPAGE, 1251)}, "\xCF\xF0\xE8", u"\u041F\u0440\u0438"},
        {"ansi code page", {}, "\x80 5", u"\u20AC 5"},
        {"shift-jis", {msgwriter::Long(PR_INTERNET_CPID, 932)}, "\x82\xA0", u"\u3042"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto props = c.extra;
        props.push_back(msgwriter::Ansi(PR_BODY_A, c.stored));
        Opened o = Open(Build({props, {}}));
        ASSERT_EQ(o.hr, S_OK);
        LPSPropValue body = nullptr;
        ASSERT_EQ(HrGetOneProp(o.message.Get(), PR_BODY_W, &body), S_OK);
        EXPECT_EQ(body->ulPropTag, PR_BODY_W);
        EXPECT_EQ(std::u16string(body->Value.lpszW), c.expected);
        MAPIFreeBuffer(body);
        // And through a stream.
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(o.message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, unknown.Put()), S_OK);
        EXPECT_EQ(ReadStream(static_cast<IStream*>(unknown.Get())), c.expected);
        // The reverse: a Unicode value asked for as 8-bit.
        Props all;
        GetAll(o.message.Get(), all);
        EXPECT_EQ(all.Find(PR_BODY_A) != nullptr, true);  // null tag array: stored type
    }
    // Without a code page of its own, the message follows the platform's ANSI code page.
    ASSERT_TRUE(platform::kernel::SetAnsiCodePage(1251));
    {
        Opened o = Open(Build({{msgwriter::Ansi(PR_BODY_A, "\xC4\xE0")}, {}}));
        LPSPropValue body = nullptr;
        ASSERT_EQ(HrGetOneProp(o.message.Get(), PR_BODY_W, &body), S_OK);
        EXPECT_EQ(std::u16string(body->Value.lpszW), u"\u0414\u0430");
        MAPIFreeBuffer(body);
    }
    ASSERT_TRUE(platform::kernel::SetAnsiCodePage(1252));
    Opened o = Open(Build({{msgwriter::Unicode(PR_SUBJECT_W, u"caf\u00E9"), msgwriter::Long(PR_INTERNET_CPID, 1252)}, {}}));
    LPSPropValue subject = nullptr;
    ASSERT_EQ(HrGetOneProp(o.message.Get(), PR_SUBJECT_A, &subject), S_OK);
    EXPECT_STREQ(subject->Value.lpszA, "caf\xE9");
    MAPIFreeBuffer(subject);
}

TEST(MapiRead, TagArraysAskForMissingUnspecifiedAndMismatchedTypes) {
    Opened o = Open(Build({{msgwriter::Unicode(PR_SUBJECT_W, u"S"), msgwriter::Long(PR_MESSAGE_FLAGS, 3)}, {}}));
    SizedSPropTagArray(4, tags) = {4, {PROP_TAG(PT_UNSPECIFIED, 0x0037), PR_BODY_W, PROP_TAG(PT_BINARY, 0x0E07),
                                      PR_MESSAGE_FLAGS}};
    ULONG count = 0;
    LPSPropValue values = nullptr;
    EXPECT_EQ(o.message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &values),
              MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(count, 4u);
    EXPECT_EQ(values[0].ulPropTag, PR_SUBJECT_W);
    EXPECT_EQ(values[1].ulPropTag, PROP_TAG(PT_ERROR, 0x1000));
    EXPECT_EQ(values[1].Value.err, MAPI_E_NOT_FOUND);
    EXPECT_EQ(values[2].ulPropTag, PROP_TAG(PT_ERROR, 0x0E07));
    EXPECT_EQ(values[3].Value.l, 3);
    MAPIFreeBuffer(values);
    LPSPropValue missing = reinterpret_cast<LPSPropValue>(1);
    EXPECT_EQ(HrGetOneProp(o.message.Get(), PR_BODY_W, &missing), MAPI_E_NOT_FOUND);
    EXPECT_EQ(missing, nullptr);
}

TEST(MapiRead, ValuesAboveTheInlineLimitAreLeftToStreams) {
    const std::u16string atLimit(MAPI_MAX_INLINE_VALUE_BYTES / 2, u'a');
    const std::u16string above(MAPI_MAX_INLINE_VALUE_BYTES / 2 + 1, u'b');
    std::vector<BYTE> bigBinary(MAPI_MAX_INLINE_VALUE_BYTES + 1, 7);
    Opened o = Open(Build({{msgwriter::Unicode(PR_SUBJECT_W, atLimit), msgwriter::Unicode(PR_BODY_W, above),
                            msgwriter::Binary(PR_RTF_COMPRESSED, bigBinary)},
                           {}}));
    Props p;
    GetAll(o.message.Get(), p);
    EXPECT_EQ(p.hr, MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(p.count, 3u);
    EXPECT_EQ(p.values[0].ulPropTag, PR_SUBJECT_W);
    EXPECT_EQ(std::u16string(p.values[0].Value.lpszW).size(), atLimit.size());
    EXPECT_EQ(p.values[1].ulPropTag, PROP_TAG(PT_ERROR, 0x1000));
    EXPECT_EQ(p.values[1].Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(p.values[2].ulPropTag, PROP_TAG(PT_ERROR, 0x1009));
    LPSPropValue body = nullptr;
    EXPECT_EQ(HrGetOneProp(o.message.Get(), PR_BODY_W, &body), MAPI_E_NOT_ENOUGH_MEMORY);
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(o.message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, unknown.Put()), S_OK);
    int reads = 0;
    EXPECT_EQ(ReadStream(static_cast<IStream*>(unknown.Get()), 510, &reads), above);
    EXPECT_EQ(reads, static_cast<int>(above.size() * 2 / 510 + 1 + ((above.size() * 2) % 510 ? 1 : 0)));
}

TEST(MapiRead, StreamedBodiesKeepTheirExactBytes) {
    std::vector<BYTE> odd = Wide(u"xyz");
    odd.push_back('!');  // 7 bytes
    std::vector<BYTE> withNull = Wide(std::u16string(u"ab\0cd", 5));
    std::vector<BYTE> exact(510, 'q');
    struct Case {
        const char* name;
        std::vector<BYTE> raw;
        std::u16string viaGetProps;
    };
    const std::vector<Case> cases = {{"odd length", odd, u"xyz"},
                                     {"embedded null", withNull, u"ab"},
                                     {"510 bytes", exact, std::u16string(255, u'\u7171')}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Opened o = Open(Build({{msgwriter::Stream(PR_BODY_W, c.raw)}, {}}));
        ASSERT_EQ(o.hr, S_OK);
        EXPECT_EQ(mapitest::NodeAt(o.root, "__substg1.0_1000001F", false, false)->data, c.raw);
        LPSPropValue body = nullptr;
        ASSERT_EQ(HrGetOneProp(o.message.Get(), PR_BODY_W, &body), S_OK);
        EXPECT_EQ(std::u16string(body->Value.lpszW), c.viaGetProps);
        MAPIFreeBuffer(body);
        ComPtr<IUnknown> unknown;
        ASSERT_EQ(o.message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, unknown.Put()), S_OK);
        auto* stream = static_cast<IStream*>(unknown.Get());
        std::vector<BYTE> got(600);
        ULONG n = 0;
        ASSERT_EQ(stream->Read(got.data(), 600, &n), S_OK);
        EXPECT_EQ(n, c.raw.size());
        ULONG written = 0;
        EXPECT_LT(stream->Write("x", 1, &written), 0);  // read-only by default
    }
}

// ---- Damaged input -------------------------------------------------------------------------

TEST(MapiDamaged, PropertyStreamsThatDoNotParseAreRefused) {
    struct Case {
        const char* name;
        std::vector<BYTE> stream;
    };
    const std::vector<Case> cases = {{"shorter than the header", std::vector<BYTE>(20, 0)}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto root = std::make_shared<MemNode>();
        root->isStorage = true;
        PutStream(root, "__properties_version1.0", c.stream);
        Opened o = Open(root);
        EXPECT_EQ(o.hr, MAPI_E_CORRUPT_DATA);
        EXPECT_FALSE(o.message);
    }
}

// Some mail clients leave a few bytes after the last whole entry: the entries are read, and a
// save writes them back without those bytes.
TEST(MapiDamaged, BytesAfterTheLastEntryAreLeftOut) {
    for (size_t extra : {1u, 5u, 15u}) {
        SCOPED_TRACE(extra);
        auto root = std::make_shared<MemNode>();
        root->isStorage = true;
        std::vector<BYTE> props = MessageHeader(0, 1);
        Entry(props, PR_MESSAGE_FLAGS, 1);
        Entry(props, PR_SUBJECT_W, 6);
        props.resize(props.size() + extra, 0xAB);
        PutStream(root, "__properties_version1.0", props);
        PutStream(root, "__substg1.0_0037001F", Wide(u"hi"));
        std::vector<BYTE> attachProps(8, 0);
        Entry(attachProps, PR_ATTACH_METHOD, ATTACH_BY_VALUE);
        attachProps.resize(attachProps.size() + extra, 0xCD);
        PutStream(root, "__attach_version1.0_#00000000/__properties_version1.0", attachProps);
        {
            Props p;
            Opened o = OpenAndGetAll(root, p);
            ASSERT_EQ(p.hr, S_OK);
            ASSERT_EQ(p.count, 2u);
            EXPECT_EQ(p.values[0].Value.l, 1);
            EXPECT_EQ(std::u16string(p.values[1].Value.lpszW), u"hi");
            Props a;
            GetAllOfAttachment(o.message.Get(), 0, a);
            ASSERT_EQ(a.hr, S_OK);
            ASSERT_EQ(a.count, 1u);
            EXPECT_EQ(a.values[0].Value.l, ATTACH_BY_VALUE);
            SPropValue importance{};
            importance.ulPropTag = PROP_TAG(PT_LONG, 0x0017);  // importance
            importance.Value.l = 2;
            ASSERT_EQ(o.message->SetProps(1, &importance, nullptr), S_OK);
            ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        const auto& saved = mapitest::NodeAt(root, "__properties_version1.0", false, false)->data;
        EXPECT_EQ(saved.size(), 32u + 3 * 16);
        EXPECT_TRUE(std::equal(saved.begin(), saved.begin() + 32 + 2 * 16, props.begin()));
        Opened again = Open(root);
        ASSERT_EQ(again.hr, S_OK);
        Props p;
        GetAll(again.message.Get(), p);
        ASSERT_EQ(p.count, 3u);
        EXPECT_EQ(p.values[2].Value.l, 2);
    }
}

TEST(MapiDamaged, BadValuesComeBackAsErrors) {
    auto root = std::make_shared<MemNode>();
    root->isStorage = true;
    std::vector<BYTE> props = MessageHeader();
    Entry(props, PR_SUBJECT_W, 8);                       // stream missing
    Entry(props, PR_BODY_W, 100);                        // stream shorter than the entry says
    Entry(props, PR_DISPLAY_TO_W, 4);                    // stream longer
    Entry(props, PROP_TAG(0x0099, 0x8000), 1);           // unknown type
    Entry(props, PROP_TAG(PT_CLSID, 0x8001), 12);        // a GUID of 12 bytes
    Entry(props, PROP_TAG(PT_MV_LONG, 0x8002), 6);       // not whole values
    Entry(props, PROP_TAG(PT_MV_UNICODE, 0x8003), 8);    // second value's stream missing
    Entry(props, PROP_TAG(PT_STRING8, 0x8004), 0);       // size 0: no room for the terminator
    Entry(props, PROP_TAG(PT_STRING8, 0x8005), 3);       // terminator included in the stream: fine
    Entry(props, PROP_TAG(PT_STRING8, 0x8006), 3);       // "terminator" that is not one
    Entry(props, PR_MESSAGE_FLAGS, 9);                   // an intact value among them
    PutStream(root, "__properties_version1.0", props);
    PutStream(root, "__substg1.0_1000001F", Wide(u"short"));
    PutStream(root, "__substg1.0_0E04001F", Wide(u"much longer than four"));
    PutStream(root, "__substg1.0_80010048", std::vector<BYTE>(12, 1));
    PutStream(root, "__substg1.0_80021003", std::vector<BYTE>(6, 1));
    std::vector<BYTE> lengths;
    Put32(lengths, 4);
    Put32(lengths, 4);
    PutStream(root, "__substg1.0_8003101F", lengths);
    PutStream(root, "__substg1.0_8003101F-00000000", Wide(u"a"));
    PutStream(root, "__substg1.0_8004001E", {});
    PutStream(root, "__substg1.0_8005001E", {'h', 'i', 0});
    PutStream(root, "__substg1.0_8006001E", {'h', 'i', 'x'});
    Props p;
    Opened o = OpenAndGetAll(root, p);
    EXPECT_EQ(p.hr, MAPI_W_ERRORS_RETURNED);
    ASSERT_EQ(p.count, 11u);
    const SCODE expected[] = {MAPI_E_NOT_FOUND,    MAPI_E_CORRUPT_DATA, MAPI_E_CORRUPT_DATA, MAPI_E_CORRUPT_DATA,
                              MAPI_E_CORRUPT_DATA, MAPI_E_CORRUPT_DATA, MAPI_E_NOT_FOUND,    MAPI_E_CORRUPT_DATA};
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(PROP_TYPE(p.values[i].ulPropTag), PT_ERROR);
        EXPECT_EQ(p.values[i].Value.err, expected[i]);
    }
    EXPECT_EQ(p.values[8].ulPropTag, PROP_TAG(PT_STRING8, 0x8005));
    EXPECT_STREQ(p.values[8].Value.lpszA, "hi");
    EXPECT_EQ(p.values[9].Value.err, MAPI_E_CORRUPT_DATA);
    EXPECT_EQ(p.values[10].Value.l, 9);
}

TEST(MapiDamaged, SizesBeyondTheLimitAreJudgedFromTheEntry) {
    // The entry alone says the value is too large: GetProps does not open its stream; a stream
    // that is not there shows when someone opens it.
    auto root = std::make_shared<MemNode>();
    root->isStorage = true;
    std::vector<BYTE> props = MessageHeader();
    Entry(props, PR_BODY_W, 200000);
    PutStream(root, "__properties_version1.0", props);
    Opened o = Open(root);
    ASSERT_EQ(o.hr, S_OK);
    LPSPropValue body = nullptr;
    EXPECT_EQ(HrGetOneProp(o.message.Get(), PR_BODY_W, &body), MAPI_E_NOT_ENOUGH_MEMORY);
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(o.message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, unknown.Put()), MAPI_E_NOT_FOUND);
    // Present but of another size: corrupt.
    PutStream(root, "__substg1.0_1000001F", Wide(u"tiny"));
    EXPECT_EQ(o.message->OpenProperty(PR_BODY_W, &IID_IStream, 0, 0, unknown.Put()), MAPI_E_CORRUPT_DATA);
}

TEST(MapiDamaged, HugeClaimedSizesAllocateNothing) {
    auto root = std::make_shared<MemNode>();
    root->isStorage = true;
    std::vector<BYTE> props = MessageHeader();
    Entry(props, PROP_TAG(PT_MV_BINARY, 0x8000), 16);
    PutStream(root, "__properties_version1.0", props);
    std::vector<BYTE> lengths;
    Put32(lengths, 0xFFFFFFF0);
    Put32(lengths, 0);
    Put32(lengths, 0x7FFFFFFF);
    Put32(lengths, 0);
    PutStream(root, "__substg1.0_80001102", lengths);
    PutStream(root, "__substg1.0_80001102-00000000", {1, 2});
    Props p;
    Opened o = OpenAndGetAll(root, p);
    ASSERT_EQ(p.count, 1u);
    EXPECT_EQ(p.values[0].Value.err, MAPI_E_CORRUPT_DATA);
}

}  // namespace
