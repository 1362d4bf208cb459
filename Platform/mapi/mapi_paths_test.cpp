// The message store's two roads to its values over a compound file: the platform storage's
// direct reading, and IStorage with IStream alone (through a wrapper that offers nothing else).
// Both give the same values and the same errors, damaged values included.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "mapi/message_writer.h"
#include "mapi/public_storage_test_helper.h"
#include "platform_testing.h"
#include "windows.h"

namespace {

using platform::ComPtr;
namespace pt = platform::testing;

void Put32(std::vector<BYTE>& b, ULONG v) {
    for (int i = 0; i < 4; ++i) b.push_back(BYTE(v >> (8 * i)));
}
void Entry(std::vector<BYTE>& stream, ULONG tag, ULONG low, ULONG high = 0) {
    Put32(stream, tag);
    Put32(stream, 6);
    Put32(stream, low);
    Put32(stream, high);
}
std::vector<BYTE> Wide(const std::u16string& s) { return msgwriter::Utf16Bytes(s); }

class TempFile {
public:
    TempFile() {
        char pattern[] = "/tmp/mapi-paths-XXXXXX";
        dir_ = ::mkdtemp(pattern);
    }
    ~TempFile() {
        std::error_code ignored;
        std::filesystem::remove_all(dir_, ignored);
    }
    std::u16string Path() const { return std::filesystem::path(dir_ + "/m.msg").u16string(); }

private:
    std::string dir_;
};

// Writes streams ("a/b" is stream b in storage a) into a new compound file.
void WriteLayout(const std::u16string& path, const std::map<std::string, std::vector<BYTE>>& streams) {
    ComPtr<IStorage> root;
    ASSERT_EQ(StgCreateDocfile(path.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, root.Put()), S_OK);
    for (const auto& [name, data] : streams) {
        ComPtr<IStorage> parent = root;
        std::string rest = name;
        for (size_t slash; (slash = rest.find('/')) != std::string::npos; rest = rest.substr(slash + 1)) {
            std::u16string part(rest.begin(), rest.begin() + long(slash));
            ComPtr<IStorage> child;
            if (FAILED(parent->OpenStorage(part.c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                           child.Put()))) {
                ASSERT_EQ(parent->CreateStorage(part.c_str(), STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0, child.Put()),
                          S_OK);
            }
            parent = child;
        }
        std::u16string leaf(rest.begin(), rest.end());
        ComPtr<IStream> stream;
        ASSERT_EQ(parent->CreateStream(leaf.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, 0,
                                       stream.Put()),
                  S_OK);
        if (!data.empty()) {
            ASSERT_EQ(stream->Write(data.data(), ULONG(data.size()), nullptr), S_OK);
        }
    }
    ASSERT_EQ(root->Commit(STGC_DEFAULT), S_OK);
}

ComPtr<IMessage> Open(const std::u16string& path, bool publicOnly, HRESULT* result = nullptr) {
    ComPtr<IStorage> storage;
    EXPECT_EQ(StgOpenStorage(path.c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0, storage.Put()), S_OK);
    if (publicOnly) storage = ComPtr<IStorage>::Attach(mapitest::PublicOnlyStorage::Wrap(storage.Get()));
    ComPtr<IMessage> message;
    HRESULT hr = OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                                nullptr, storage.Get(), nullptr, 0, 0, message.Put());
    if (result) *result = hr;
    else EXPECT_EQ(hr, S_OK);
    return message;
}

// Every value as text: tag, then the error code or the value's bytes.
std::vector<std::string> Describe(IMAPIProp* object, ULONG flags = 0) {
    ULONG count = 0;
    LPSPropValue values = nullptr;
    HRESULT hr = object->GetProps(nullptr, flags, &count, &values);
    EXPECT_GE(hr, 0);
    std::vector<std::string> out;
    for (ULONG i = 0; i < count; ++i) {
        const SPropValue& v = values[i];
        char head[32];
        std::snprintf(head, sizeof head, "%08X ", static_cast<unsigned>(v.ulPropTag));
        std::string text = head;
        switch (PROP_TYPE(v.ulPropTag)) {
            case PT_ERROR: text += "error " + std::to_string(v.Value.err); break;
            case PT_LONG: text += std::to_string(v.Value.l); break;
            case PT_STRING8: text += v.Value.lpszA; break;
            case PT_UNICODE:
                for (const char16_t* p = v.Value.lpszW; *p; ++p) text += char(*p);
                break;
            case PT_BINARY:
                text += std::string(reinterpret_cast<const char*>(v.Value.bin.lpb), v.Value.bin.cb);
                break;
            case PT_MV_UNICODE:
                for (ULONG k = 0; k < v.Value.MVszW.cValues; ++k) {
                    for (const char16_t* p = v.Value.MVszW.lppszW[k]; *p; ++p) text += char(*p);
                    text += ",";
                }
                break;
            default: text += "?"; break;
        }
        out.push_back(text);
    }
    MAPIFreeBuffer(values);
    return out;
}

// A message whose values are sound and damaged in every way the store judges.
std::map<std::string, std::vector<BYTE>> DamagedLayout() {
    std::vector<BYTE> props(32, 0);
    Entry(props, PR_SUBJECT_W, 12);                     // five characters and a terminator
    Entry(props, PR_BODY_W, 100);                       // stream shorter than the entry says
    Entry(props, PR_DISPLAY_TO_W, 4);                   // stream longer
    Entry(props, PROP_TAG(PT_UNICODE, 0x8001), 8);      // stream missing
    Entry(props, PROP_TAG(0x0099, 0x8000), 1);          // unknown type
    Entry(props, PROP_TAG(PT_MV_UNICODE, 0x8003), 8);   // second value's stream missing
    Entry(props, PROP_TAG(PT_MV_UNICODE, 0x8007), 8);   // both values there
    Entry(props, PROP_TAG(PT_STRING8, 0x8005), 3);      // terminator included in the stream: fine
    Entry(props, PROP_TAG(PT_STRING8, 0x8006), 3);      // "terminator" that is not one
    Entry(props, PROP_TAG(PT_BINARY, 0x8008), 3);       // binary
    Entry(props, PROP_TAG(PT_UNICODE, 0x8009), 7);      // odd length: the last byte is no character
    Entry(props, PROP_TAG(PT_UNICODE, 0x800A), 20002);  // beyond the inline limit
    Entry(props, PR_MESSAGE_FLAGS, 9);
    props.insert(props.end(), {1, 2, 3, 4, 5});         // bytes after the last entry: left out
    std::vector<BYTE> lengths;
    Put32(lengths, 4);
    Put32(lengths, 4);
    std::vector<BYTE> odd = Wide(u"ab");
    odd.push_back('c');
    return {
        {"__properties_version1.0", props},
        {"__substg1.0_0037001F", Wide(u"hello")},
        {"__substg1.0_1000001F", Wide(u"short")},
        {"__substg1.0_0E04001F", Wide(u"much longer than four")},
        {"__substg1.0_8003101F", lengths},
        {"__substg1.0_8003101F-00000000", Wide(u"a")},
        {"__substg1.0_8007101F", lengths},
        {"__substg1.0_8007101F-00000000", Wide(u"x")},
        {"__substg1.0_8007101F-00000001", Wide(u"y")},
        {"__substg1.0_8005001E", {'h', 'i', 0}},
        {"__substg1.0_8006001E", {'h', 'i', 'x'}},
        {"__substg1.0_80080102", {'b', 0, 'n'}},
        {"__substg1.0_8009001F", odd},
        {"__substg1.0_800A001F", std::vector<BYTE>(20000, 'z')},
        {"__attach_version1.0_#00000000/__properties_version1.0", std::vector<BYTE>(8, 0)},
        {"__recip_version1.0_#00000000/__properties_version1.0", std::vector<BYTE>(8, 0)},
    };
}

}  // namespace

TEST(MapiPaths, BothRoadsGiveTheSameValuesAndErrors) {
    TempFile file;
    WriteLayout(file.Path(), DamagedLayout());
    ComPtr<IMessage> direct = Open(file.Path(), false), plain = Open(file.Path(), true);
    ASSERT_TRUE(direct && plain);
    const std::vector<std::string> values = Describe(direct.Get());
    const std::vector<std::string> expected = {
        "0037001F hello",
        "1000000A error " + std::to_string(MAPI_E_CORRUPT_DATA),
        "0E04000A error " + std::to_string(MAPI_E_CORRUPT_DATA),
        "8001000A error " + std::to_string(MAPI_E_NOT_FOUND),
        "8000000A error " + std::to_string(MAPI_E_CORRUPT_DATA),
        "8003000A error " + std::to_string(MAPI_E_NOT_FOUND),
        "8007101F x,y,",
        "8005001E hi",
        "8006000A error " + std::to_string(MAPI_E_CORRUPT_DATA),
        std::string("80080102 b") + '\0' + "n",
        "8009001F ab",
        "800A000A error " + std::to_string(MAPI_E_NOT_ENOUGH_MEMORY),
        "0E070003 9",
    };
    EXPECT_EQ(values, expected);
    EXPECT_EQ(Describe(plain.Get()), values);
    EXPECT_EQ(Describe(plain.Get(), MAPI_UNICODE), Describe(direct.Get(), MAPI_UNICODE));
    // The attachment and the recipient are found on both roads.
    for (IMessage* message : {direct.Get(), plain.Get()}) {
        ComPtr<IMAPITable> table;
        ASSERT_EQ(message->GetAttachmentTable(0, table.Put()), S_OK);
        ULONG rows = 0;
        EXPECT_EQ(table->GetRowCount(0, &rows), S_OK);
        EXPECT_EQ(rows, 1u);
        ASSERT_EQ(message->GetRecipientTable(0, table.Put()), S_OK);
        EXPECT_EQ(table->GetRowCount(0, &rows), S_OK);
        EXPECT_EQ(rows, 1u);
    }
    // A value above the limit is still whole through a stream.
    ComPtr<IUnknown> unknown;
    ASSERT_EQ(direct->OpenProperty(PROP_TAG(PT_UNICODE, 0x800A), &IID_IStream, 0, 0, unknown.Put()), S_OK);
    STATSTG stat{};
    ASSERT_EQ(static_cast<IStream*>(unknown.Get())->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.cbSize.QuadPart, 20000u);
}

// A read that fails comes back as the value's error on either road.
TEST(MapiPaths, ReadFailuresBecomeTheValuesErrors) {
    TempFile file;
    WriteLayout(file.Path(), DamagedLayout());
    const HRESULT code = STG_E_READFAULT;
    for (bool publicOnly : {false, true}) {
        SCOPED_TRACE(publicOnly ? "IStorage and IStream" : "direct");
        ComPtr<IMessage> message = Open(file.Path(), publicOnly);
        ASSERT_TRUE(message);
        pt::FailNthCall(publicOnly ? "IStream::Read" : "IStorageDirectRead::ReadElement", 1, code);
        const std::vector<std::string> values = Describe(message.Get());
        pt::ResetFaults();
        ASSERT_FALSE(values.empty());
        EXPECT_EQ(values[0], "0037000A error " + std::to_string(code));
        EXPECT_EQ(values[7], "8005001E hi");
        // Opening fails the same way when the property stream cannot be read.
        pt::FailNthCall(publicOnly ? "IStream::Read" : "IStorageDirectRead::ReadElement", 1, code);
        HRESULT opened = S_OK;
        EXPECT_FALSE(Open(file.Path(), publicOnly, &opened));
        EXPECT_EQ(opened, code);
        pt::ResetFaults();
    }
}

// An attachment open twice: values the other object saved since are read as a look-up by name
// would read them (the same length: the new bytes; another length: corrupt), on either road.
TEST(MapiPaths, ValuesRewrittenThroughAnotherObjectAreReadAfresh) {
    TempFile file;
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"s")};
    spec.attachments.push_back({{msgwriter::Unicode(PR_DISPLAY_NAME_W, u"first"),
                                 msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"name.txt")}});
    ASSERT_EQ(msgwriter::WriteMessageFile(file.Path(), spec), S_OK);
    for (bool publicOnly : {false, true}) {
        SCOPED_TRACE(publicOnly ? "IStorage and IStream" : "direct");
        ComPtr<IStorage> storage;
        ASSERT_EQ(StgOpenStorage(file.Path().c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                 storage.Put()),
                  S_OK);
        if (publicOnly) storage = ComPtr<IStorage>::Attach(mapitest::PublicOnlyStorage::Wrap(storage.Get()));
        ComPtr<IMessage> message;
        ASSERT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(),
                                 nullptr, storage.Get(), nullptr, 0, 0, message.Put()),
                  S_OK);
        ComPtr<IAttach> reader, writer;
        ASSERT_EQ(message->OpenAttach(0, nullptr, MAPI_MODIFY, reader.Put()), S_OK);
        EXPECT_EQ(Describe(reader.Get()), (std::vector<std::string>{"3001001F first", "3707001F name.txt"}));
        ASSERT_EQ(message->OpenAttach(0, nullptr, MAPI_MODIFY, writer.Put()), S_OK);
        SPropValue values[2] = {};
        values[0].ulPropTag = PR_DISPLAY_NAME_W;
        values[0].Value.lpszW = const_cast<LPWSTR>(u"FIRST");
        values[1].ulPropTag = PR_ATTACH_LONG_FILENAME_W;
        values[1].Value.lpszW = const_cast<LPWSTR>(u"longer.txt");
        ASSERT_EQ(writer->SetProps(2, values, nullptr), S_OK);
        ASSERT_EQ(writer->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        EXPECT_EQ(Describe(reader.Get()),
                  (std::vector<std::string>{"3001001F FIRST", "3707000A error " + std::to_string(MAPI_E_CORRUPT_DATA)}));
        // Put back for the other road.
        values[0].Value.lpszW = const_cast<LPWSTR>(u"first");
        values[1].Value.lpszW = const_cast<LPWSTR>(u"name.txt");
        ASSERT_EQ(writer->SetProps(2, values, nullptr), S_OK);
        ASSERT_EQ(writer->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
        ASSERT_EQ(message->SaveChanges(KEEP_OPEN_READWRITE), S_OK);
    }
}
