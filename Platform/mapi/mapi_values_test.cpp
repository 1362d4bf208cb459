// Every property type the message store keeps, on seeded random values: set on a message and on
// an attachment, saved, and read back from a fresh open, the values are the values set; strings
// of one width are served in the other; a multi-valued property deleted leaves no stream behind;
// a value too large for its buffer fails the call, not the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;
namespace pt = platform::testing;

constexpr ULONG kImportance = PROP_TAG(PT_LONG, 0x0017);

// A value in the test's own memory: the SPropValue points into it.
struct OwnedValue {
    SPropValue prop{};
    std::vector<std::string> narrow;
    std::vector<std::u16string> wide;
    std::vector<std::vector<BYTE>> bytes;
    std::vector<GUID> guids;
    std::vector<LPSTR> narrowPointers;
    std::vector<LPWSTR> widePointers;
    std::vector<SBinary> binaries;
    std::vector<BYTE> fixed;  // the elements of a multi-valued fixed-size value
};

const ULONG kTypes[] = {PT_I2,         PT_LONG,      PT_R4,          PT_DOUBLE,     PT_CURRENCY,   PT_APPTIME,
                        PT_ERROR,      PT_BOOLEAN,   PT_I8,          PT_SYSTIME,    PT_STRING8,    PT_UNICODE,
                        PT_BINARY,     PT_CLSID,     PT_MV_I2,       PT_MV_LONG,    PT_MV_R4,      PT_MV_DOUBLE,
                        PT_MV_CURRENCY, PT_MV_APPTIME, PT_MV_I8,     PT_MV_SYSTIME, PT_MV_CLSID,   PT_MV_STRING8,
                        PT_MV_UNICODE, PT_MV_BINARY};

size_t ElementSize(ULONG type) {
    switch (type & ~MV_FLAG) {
        case PT_I2: case PT_BOOLEAN: return 2;
        case PT_LONG: case PT_R4: case PT_ERROR: return 4;
        case PT_CLSID: return 16;
        default: return 8;
    }
}

std::string RandomNarrow(std::mt19937& random) {
    std::string text(random() % 40, ' ');
    for (char& c : text) c = static_cast<char>(0x20 + random() % 0x5F);
    return text;
}
std::u16string RandomWide(std::mt19937& random) {
    std::u16string text(random() % 40, u' ');
    for (char16_t& c : text) {
        c = static_cast<char16_t>(1 + random() % 0xD7FF);  // no terminator, no surrogate halves
    }
    return text;
}
std::vector<BYTE> RandomBytes(std::mt19937& random, size_t size) {
    std::vector<BYTE> bytes(size);
    for (BYTE& b : bytes) b = static_cast<BYTE>(random());
    return bytes;
}

// A random value of `type` under property id `id`.
void MakeValue(ULONG type, ULONG id, std::mt19937& random, OwnedValue& v) {
    v.prop.ulPropTag = PROP_TAG(type, id);
    const size_t count = (type & MV_FLAG) ? random() % 5 : 1;
    switch (type) {
        case PT_STRING8: case PT_MV_STRING8:
            for (size_t i = 0; i < count; ++i) v.narrow.push_back(RandomNarrow(random));
            for (auto& s : v.narrow) v.narrowPointers.push_back(s.data());
            if (type == PT_STRING8) v.prop.Value.lpszA = v.narrowPointers[0];
            else v.prop.Value.MVszA = {static_cast<ULONG>(count), v.narrowPointers.data()};
            return;
        case PT_UNICODE: case PT_MV_UNICODE:
            for (size_t i = 0; i < count; ++i) v.wide.push_back(RandomWide(random));
            for (auto& s : v.wide) v.widePointers.push_back(s.data());
            if (type == PT_UNICODE) v.prop.Value.lpszW = v.widePointers[0];
            else v.prop.Value.MVszW = {static_cast<ULONG>(count), v.widePointers.data()};
            return;
        case PT_BINARY: case PT_MV_BINARY:
            for (size_t i = 0; i < count; ++i) v.bytes.push_back(RandomBytes(random, random() % 60));
            for (auto& b : v.bytes) v.binaries.push_back(SBinary{static_cast<ULONG>(b.size()), b.data()});
            if (type == PT_BINARY) v.prop.Value.bin = v.binaries[0];
            else v.prop.Value.MVbin = {static_cast<ULONG>(count), v.binaries.data()};
            return;
        case PT_CLSID:
            v.guids.resize(1);
            v.fixed = RandomBytes(random, 16);
            std::memcpy(&v.guids[0], v.fixed.data(), 16);
            v.prop.Value.lpguid = &v.guids[0];
            return;
        default:
            break;
    }
    const size_t size = ElementSize(type);
    v.fixed = RandomBytes(random, size * count);
    if (type == PT_BOOLEAN) {  // stored as 0 or 1
        v.fixed[0] &= 1;
        v.fixed[1] = 0;
    }
    if (!(type & MV_FLAG)) {
        std::memcpy(&v.prop.Value, v.fixed.data(), size);
        return;
    }
    // Every multi-valued array is {count, pointer}.
    v.prop.Value.MVl.cValues = static_cast<ULONG>(count);
    v.prop.Value.MVl.lpl = reinterpret_cast<LONG*>(v.fixed.data());
}

// A value as bytes that two equal values share: its tag and its payload, element by element.
std::string Canonical(const SPropValue& p) {
    std::string out(reinterpret_cast<const char*>(&p.ulPropTag), 4);
    auto add = [&out](const void* data, size_t size) {
        const ULONG length = static_cast<ULONG>(size);
        out.append(reinterpret_cast<const char*>(&length), 4);
        out.append(static_cast<const char*>(data), size);
    };
    const ULONG type = PROP_TYPE(p.ulPropTag);
    switch (type) {
        case PT_STRING8: add(p.Value.lpszA, std::strlen(p.Value.lpszA)); return out;
        case PT_UNICODE: add(p.Value.lpszW, std::u16string(p.Value.lpszW).size() * 2); return out;
        case PT_BINARY: add(p.Value.bin.lpb, p.Value.bin.cb); return out;
        case PT_CLSID: add(p.Value.lpguid, 16); return out;
        case PT_MV_STRING8:
            for (ULONG i = 0; i < p.Value.MVszA.cValues; ++i)
                add(p.Value.MVszA.lppszA[i], std::strlen(p.Value.MVszA.lppszA[i]));
            return out;
        case PT_MV_UNICODE:
            for (ULONG i = 0; i < p.Value.MVszW.cValues; ++i)
                add(p.Value.MVszW.lppszW[i], std::u16string(p.Value.MVszW.lppszW[i]).size() * 2);
            return out;
        case PT_MV_BINARY:
            for (ULONG i = 0; i < p.Value.MVbin.cValues; ++i) add(p.Value.MVbin.lpbin[i].lpb, p.Value.MVbin.lpbin[i].cb);
            return out;
        case PT_BOOLEAN: {
            const unsigned short b = p.Value.b ? 1 : 0;
            add(&b, 2);
            return out;
        }
        default:
            break;
    }
    if (type & MV_FLAG) {
        add(p.Value.MVl.lpl, ElementSize(type) * p.Value.MVl.cValues);
        return out;
    }
    add(&p.Value, ElementSize(type));
    return out;
}

// Sets every value on `object`; S_OK with no problems.
void SetAll(IMAPIProp* object, std::vector<OwnedValue>& values) {
    std::vector<SPropValue> props;
    for (auto& v : values) props.push_back(v.prop);
    LPSPropProblemArray problems = nullptr;
    ASSERT_EQ(object->SetProps(static_cast<ULONG>(props.size()), props.data(), &problems), S_OK);
    EXPECT_EQ(problems, nullptr);
}

// Reads the tags of `values` from `object` and compares them with the values.
void ExpectValues(IMAPIProp* object, const std::vector<OwnedValue>& values, const char* where) {
    SCOPED_TRACE(where);
    std::vector<BYTE> buffer(CbNewSPropTagArray(values.size()));
    auto* tags = reinterpret_cast<LPSPropTagArray>(buffer.data());
    tags->cValues = static_cast<ULONG>(values.size());
    for (size_t i = 0; i < values.size(); ++i) tags->aulPropTag[i] = values[i].prop.ulPropTag;
    ULONG count = 0;
    LPSPropValue read = nullptr;
    ASSERT_EQ(object->GetProps(tags, 0, &count, &read), S_OK);
    ASSERT_EQ(count, values.size());
    for (size_t i = 0; i < values.size(); ++i)
        EXPECT_EQ(Canonical(read[i]), Canonical(values[i].prop)) << "type 0x" << std::hex << PROP_TYPE(values[i].prop.ulPropTag);
    MAPIFreeBuffer(read);
}

TEST(MapiValues, EveryTypeRoundTripsOnMessagesAndAttachments) {
    for (unsigned seed = 1; seed <= 12; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        std::vector<OwnedValue> onMessage(std::size(kTypes)), onAttachment(std::size(kTypes));
        for (size_t i = 0; i < std::size(kTypes); ++i) {
            MakeValue(kTypes[i], 0x6700 + static_cast<ULONG>(i), random, onMessage[i]);
            MakeValue(kTypes[i], 0x6780 + static_cast<ULONG>(i), random, onAttachment[i]);
        }
        auto root = Build({{}, {}});
        {
            Opened o = Open(root);
            ASSERT_EQ(o.hr, S_OK);
            SetAll(o.message.Get(), onMessage);
            ExpectValues(o.message.Get(), onMessage, "before the save");
            ULONG number = 0;
            LPATTACH raw = nullptr;
            ASSERT_EQ(o.message->CreateAttach(nullptr, 0, &number, &raw), S_OK);
            auto attach = ComPtr<IAttach>::Attach(raw);
            SetAll(attach.Get(), onAttachment);
            ASSERT_EQ(attach->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
            ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        }
        Opened again = Open(root, false);
        ASSERT_EQ(again.hr, S_OK);
        ExpectValues(again.message.Get(), onMessage, "message after a fresh open");
        LPATTACH raw = nullptr;
        ASSERT_EQ(again.message->OpenAttach(0, nullptr, 0, &raw), S_OK);
        auto attach = ComPtr<IAttach>::Attach(raw);
        ExpectValues(attach.Get(), onAttachment, "attachment after a fresh open");
    }
}

// The other string width is served converted, single and multi-valued, through a tag of that
// width, through MAPI_UNICODE with unspecified types, and in the list of properties.
TEST(MapiValues, StringsAreServedInTheWidthAskedFor) {
    const ULONG single = PROP_TAG(PT_STRING8, 0x6701), multi = PROP_TAG(PT_MV_STRING8, 0x6702);
    auto root = Build({{}, {}});
    {
        Opened o = Open(root);
        LPSTR items[] = {const_cast<LPSTR>("one"), const_cast<LPSTR>(""), const_cast<LPSTR>("three")};
        SPropValue values[2] = {};
        values[0].ulPropTag = single;
        values[0].Value.lpszA = const_cast<LPSTR>("plain text");
        values[1].ulPropTag = multi;
        values[1].Value.MVszA = {3, items};
        ASSERT_EQ(o.message->SetProps(2, values, nullptr), S_OK);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    Opened o = Open(root);
    SizedSPropTagArray(2, wide) = {2, {CHANGE_PROP_TYPE(single, PT_UNICODE), CHANGE_PROP_TYPE(multi, PT_MV_UNICODE)}};
    SizedSPropTagArray(2, unspecified) = {2, {CHANGE_PROP_TYPE(single, PT_UNSPECIFIED), CHANGE_PROP_TYPE(multi, PT_UNSPECIFIED)}};
    for (auto [tags, flags] : {std::pair{reinterpret_cast<LPSPropTagArray>(&wide), ULONG{0}},
                               std::pair{reinterpret_cast<LPSPropTagArray>(&unspecified), ULONG{MAPI_UNICODE}}}) {
        ULONG count = 0;
        LPSPropValue read = nullptr;
        ASSERT_EQ(o.message->GetProps(tags, flags, &count, &read), S_OK);
        ASSERT_EQ(count, 2u);
        EXPECT_EQ(read[0].ulPropTag, CHANGE_PROP_TYPE(single, PT_UNICODE));
        EXPECT_EQ(std::u16string(read[0].Value.lpszW), u"plain text");
        ASSERT_EQ(read[1].ulPropTag, CHANGE_PROP_TYPE(multi, PT_MV_UNICODE));
        ASSERT_EQ(read[1].Value.MVszW.cValues, 3u);
        EXPECT_EQ(std::u16string(read[1].Value.MVszW.lppszW[0]), u"one");
        EXPECT_EQ(std::u16string(read[1].Value.MVszW.lppszW[1]), u"");
        EXPECT_EQ(std::u16string(read[1].Value.MVszW.lppszW[2]), u"three");
        MAPIFreeBuffer(read);
    }
    // Unspecified types without MAPI_UNICODE: as stored.
    ULONG count = 0;
    LPSPropValue read = nullptr;
    ASSERT_EQ(o.message->GetProps(reinterpret_cast<LPSPropTagArray>(&unspecified), 0, &count, &read), S_OK);
    EXPECT_EQ(read[0].ulPropTag, single);
    EXPECT_STREQ(read[0].Value.lpszA, "plain text");
    EXPECT_EQ(read[1].ulPropTag, multi);
    MAPIFreeBuffer(read);
    // The list of properties names them in the width asked for.
    for (ULONG flags : {ULONG{0}, ULONG{MAPI_UNICODE}}) {
        LPSPropTagArray list = nullptr;
        ASSERT_EQ(o.message->GetPropList(flags, &list), S_OK);
        std::vector<ULONG> tags(list->aulPropTag, list->aulPropTag + list->cValues);
        MAPIFreeBuffer(list);
        const bool unicode = flags & MAPI_UNICODE;
        EXPECT_NE(std::find(tags.begin(), tags.end(), unicode ? CHANGE_PROP_TYPE(single, PT_UNICODE) : single), tags.end());
        EXPECT_NE(std::find(tags.begin(), tags.end(), unicode ? CHANGE_PROP_TYPE(multi, PT_MV_UNICODE) : multi), tags.end());
    }
    LPSPropTagArray list = nullptr;
    EXPECT_EQ(o.message->GetPropList(0x4, &list), MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(o.message->GetPropList(0, nullptr), MAPI_E_INVALID_PARAMETER);
}

// Names of the streams below a storage node.
std::vector<std::u16string> StreamNames(const std::shared_ptr<MemNode>& node) {
    std::vector<std::u16string> names;
    for (const auto& [name, child] : node->children)
        if (!child->isStorage) names.push_back(name);
    return names;
}

TEST(MapiValues, ADeletedMultiValuedPropertyLeavesNoStreams) {
    const ULONG multi = PROP_TAG(PT_MV_UNICODE, 0x6703);
    auto root = Build({{}, {}});
    auto streamsOf = [&] {
        std::vector<std::u16string> found;
        for (const auto& name : StreamNames(root))
            if (name.find(u"__substg1.0_6703") == 0) found.push_back(name);
        return found;
    };
    {
        Opened o = Open(root);
        LPWSTR items[] = {const_cast<LPWSTR>(u"a"), const_cast<LPWSTR>(u"bb")};
        SPropValue value{};
        value.ulPropTag = multi;
        value.Value.MVszW = {2, items};
        ASSERT_EQ(o.message->SetProps(1, &value, nullptr), S_OK);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    EXPECT_EQ(streamsOf().size(), 3u) << "the length stream and one stream per value";
    {
        Opened o = Open(root);
        SizedSPropTagArray(2, tags) = {2, {multi, PROP_TAG(PT_LONG, 0x6704)}};
        LPSPropProblemArray problems = nullptr;
        ASSERT_EQ(o.message->DeleteProps(reinterpret_cast<LPSPropTagArray>(&tags), &problems), S_OK);
        ASSERT_NE(problems, nullptr) << "the property that was not there is reported";
        ASSERT_EQ(problems->cProblem, 1u);
        EXPECT_EQ(problems->aProblem[0].ulIndex, 1u);
        EXPECT_EQ(problems->aProblem[0].scode, MAPI_E_NOT_FOUND);
        MAPIFreeBuffer(problems);
        ASSERT_EQ(o.message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
    EXPECT_TRUE(streamsOf().empty());
    Opened o = Open(root);
    Props p;
    GetAll(o.message.Get(), p);
    EXPECT_EQ(p.Find(multi), nullptr);
}

// A value that cannot be given a buffer fails GetProps as a whole, with nothing handed out;
// the next call succeeds.
TEST(MapiValues, AValueWithoutABufferFailsTheCall) {
    auto root = Build({{msgwriter::Unicode(PR_SUBJECT_W, u"stored subject"), msgwriter::Long(kImportance, 2)}, {}});
    Opened o = Open(root);
    const long before = pt::MapiBuffersInUse();
    for (ULONG tag : {PR_SUBJECT_W, PR_SUBJECT_A}) {  // from the storage, and converted
        SCOPED_TRACE(tag);
        SizedSPropTagArray(1, tags) = {1, {tag}};
        pt::FailNthCall("MAPIAllocateMore", 1, MAPI_E_NOT_ENOUGH_MEMORY);
        ULONG count = 7;
        LPSPropValue read = reinterpret_cast<LPSPropValue>(1);
        EXPECT_EQ(o.message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &read),
                  MAPI_E_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(read, nullptr);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(pt::MapiBuffersInUse(), before);
        pt::ResetFaults();
        ASSERT_EQ(o.message->GetProps(reinterpret_cast<LPSPropTagArray>(&tags), 0, &count, &read), S_OK);
        EXPECT_EQ(PROP_TYPE(read[0].ulPropTag), PROP_TYPE(tag));
        MAPIFreeBuffer(read);
    }
    // A fixed-size value needs no buffer of its own.
    pt::FailNthCall("MAPIAllocateMore", 1, MAPI_E_NOT_ENOUGH_MEMORY);
    SizedSPropTagArray(1, importance) = {1, {kImportance}};
    ULONG count = 0;
    LPSPropValue read = nullptr;
    ASSERT_EQ(o.message->GetProps(reinterpret_cast<LPSPropTagArray>(&importance), 0, &count, &read), S_OK);
    EXPECT_EQ(read[0].Value.l, 2);
    MAPIFreeBuffer(read);
}

}  // namespace
