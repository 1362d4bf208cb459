// Saving real messages and writing new ones, checked by independent readers: olefile sees
// exactly the changed streams changed, and @kenjiuno/msgreader and msgconvert
// (libemail-outlook-message-perl) read the new values and everything else as before.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>

#include "base/comptr.h"
#include "mapi/message_writer.h"
#include "platform_testing.h"
#include "windows.h"

namespace {

namespace fs = std::filesystem;
using platform::ComPtr;

std::string RunCommand(const std::string& command, int* status = nullptr) {
    FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
    std::string out;
    if (!pipe) return out;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    int rc = pclose(pipe);
    if (status) *status = rc;
    return out;
}
std::string Quote(const fs::path& p) {
    std::string out(1, '\'');
    out.append(p.string());
    out.push_back('\'');
    return out;
}

std::map<std::string, std::string> StreamDigests(const fs::path& file) {
    std::map<std::string, std::string> digests;
    std::istringstream lines(RunCommand(std::string(MSGPLUGIN_PYTHON) + " " MSGPLUGIN_SOURCE_DIR
                                 "/Platform/mapi/msg_stream_digest.py " + Quote(file)));
    std::string digest, path;
    while (lines >> digest && std::getline(lines >> std::ws, path)) digests[path] = digest;
    return digests;
}

const std::string kNodeModules = MSGPLUGIN_SOURCE_DIR "/tools/node/node_modules";
bool HaveMsgReader() { return fs::exists(kNodeModules + "/@kenjiuno/msgreader"); }
bool HaveMsgConvert() { return std::system("command -v msgconvert >/dev/null 2>&1") == 0; }

std::string MsgReaderJson(const fs::path& file) {
    return RunCommand("node " MSGPLUGIN_SOURCE_DIR "/Platform/mapi/msgreader_dump.js " + kNodeModules + " " + Quote(file));
}
std::string MsgConvert(const fs::path& file) { return RunCommand("msgconvert --outfile - " + Quote(file)); }

// The JSON field `name` of msgreader_dump.js's output (a crude but sufficient extraction).
std::string Field(const std::string& json, const std::string& name) {
    size_t at = json.find("\"" + name + "\":");
    if (at == std::string::npos) return "";
    at += name.size() + 3;
    size_t end = at;
    int depth = 0;
    bool inString = false;
    for (; end < json.size(); ++end) {
        char c = json[end];
        if (inString) {
            if (c == '\\') ++end;
            else if (c == '"') inString = false;
        } else if (c == '"') inString = true;
        else if (c == '[' || c == '{') ++depth;
        else if (c == ']' || c == '}') {
            if (depth == 0) break;
            --depth;
        } else if (c == ',' && depth == 0) break;
    }
    return json.substr(at, end - at);
}

std::string Utf8(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) {
        if (c < 0x80) out.push_back(static_cast<char>(c));
        else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// A JSON string literal of already-escaped text.
std::string JsonString(const std::string& text) {
    std::string out(1, '"');
    out.append(text);
    out.push_back('"');
    return out;
}

class TempDir {
public:
    TempDir() {
        char pattern[] = "/tmp/mapi_save_test.XXXXXX";
        path_ = mkdtemp(pattern);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

struct Change {
    std::u16string subject;
    std::u16string body;
    LONG flags;
    ULONGLONG creationTime;
};

HRESULT ApplyAndSave(const fs::path& file, const Change& change) {
    ComPtr<IStorage> storage;
    HRESULT hr = StgOpenStorage(file.u16string().c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                storage.Put());
    if (FAILED(hr)) return hr;
    ComPtr<IMessage> message;
    hr = OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer, MAPIGetDefaultMalloc(), nullptr,
                        storage.Get(), nullptr, 0, 0, message.Put());
    if (FAILED(hr)) return hr;
    storage.Reset();
    // One property at a time, as the module sends them.
    SPropValue values[4] = {};
    values[0].ulPropTag = PR_SUBJECT_W;
    values[0].Value.lpszW = const_cast<LPWSTR>(change.subject.c_str());
    values[1].ulPropTag = PR_BODY_W;
    values[1].Value.lpszW = const_cast<LPWSTR>(change.body.c_str());
    values[2].ulPropTag = PR_MESSAGE_FLAGS;
    values[2].Value.l = change.flags;
    values[3].ulPropTag = PR_CREATION_TIME;
    values[3].Value.ft.dwLowDateTime = static_cast<DWORD>(change.creationTime);
    values[3].Value.ft.dwHighDateTime = static_cast<DWORD>(change.creationTime >> 32);
    for (auto& value : values)
        if (FAILED(hr = message->SetProps(1, &value, nullptr))) return hr;
    return message->SaveChanges(KEEP_OPEN_READWRITE);
}

TEST(MapiSaveCorpus, ChangedValuesOnlyAndReadersAgree) {
    struct Case {
        const char* file;
        bool eightBit;  // subject and body stored 8-bit
        bool bigBody;   // a body above the inline limit
    };
    const Case cases[] = {{"outlook-message-perl/plain_uc_unsent.msg", false, false},
                          {"outlook-message-perl/plain_unsent.msg", true, true},
                          {"outlook-message-perl/plain_jpeg_attached.msg", true, false},
                          {"msgreader-js/attachmentFiles.msg", false, true}};
    TempDir temp;
    int checked = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path original = fs::path(MSGPLUGIN_CORPUS_DIR) / c.file;
        if (!fs::exists(original)) continue;
        const fs::path copy = temp.path() / original.filename();
        fs::copy_file(original, copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add);
        const auto before = StreamDigests(copy);
        ASSERT_FALSE(before.empty());
        Change change{u"Changed subject \u00E9\u2713", u"New body\r\nsecond line\r\n", 1, 0x01D9123456789ABCull};
        if (c.bigBody) change.body = std::u16string(20000, u'x') + u" end";
        ASSERT_EQ(ApplyAndSave(copy, change), S_OK);

        // Exactly the changed streams differ.
        const auto after = StreamDigests(copy);
        std::set<std::string> expectedChanged = {"__properties_version1.0", "__substg1.0_0037001F",
                                                 "__substg1.0_1000001F"};
        std::set<std::string> expectedGone;
        if (c.eightBit) expectedGone = {"__substg1.0_0037001E", "__substg1.0_1000001E"};
        std::set<std::string> changed, gone, added;
        for (const auto& [path, digest] : before) {
            auto found = after.find(path);
            if (found == after.end()) gone.insert(path);
            else if (found->second != digest) changed.insert(path);
        }
        for (const auto& [path, digest] : after)
            if (!before.count(path)) added.insert(path);
        std::set<std::string> touched = changed;
        touched.insert(added.begin(), added.end());
        EXPECT_EQ(touched, expectedChanged);
        EXPECT_EQ(gone, expectedGone);

        // Our own reading.
        {
            ComPtr<IStorage> storage;
            ASSERT_EQ(StgOpenStorage(copy.u16string().c_str(), nullptr, STGM_READ | STGM_SHARE_DENY_WRITE, nullptr, 0,
                                     storage.Put()),
                      S_OK);
            ComPtr<IMessage> message;
            ASSERT_EQ(OpenIMsgOnIStg(nullptr, MAPIAllocateBuffer, MAPIAllocateMore, MAPIFreeBuffer,
                                     MAPIGetDefaultMalloc(), nullptr, storage.Get(), nullptr, 0, 0, message.Put()),
                      S_OK);
            LPSPropValue value = nullptr;
            ASSERT_EQ(HrGetOneProp(message.Get(), PR_SUBJECT_W, &value), S_OK);
            EXPECT_EQ(std::u16string(value->Value.lpszW), change.subject);
            MAPIFreeBuffer(value);
            ASSERT_EQ(HrGetOneProp(message.Get(), PR_MESSAGE_FLAGS, &value), S_OK);
            EXPECT_EQ(value->Value.l, 1);
            MAPIFreeBuffer(value);
            ASSERT_EQ(HrGetOneProp(message.Get(), PR_CREATION_TIME, &value), S_OK);
            EXPECT_EQ(value->Value.ft.dwHighDateTime, 0x01D91234u);
            MAPIFreeBuffer(value);
            EXPECT_EQ(HrGetOneProp(message.Get(), PR_BODY_W, &value), c.bigBody ? MAPI_E_NOT_ENOUGH_MEMORY : S_OK);
            MAPIFreeBuffer(value);
        }

        if (HaveMsgReader()) {
            const std::string was = MsgReaderJson(original), now = MsgReaderJson(copy);
            ASSERT_FALSE(now.empty());
            EXPECT_EQ(Field(now, "error"), "null");
            EXPECT_EQ(Field(now, "subject"), JsonString(Utf8(change.subject)));
            EXPECT_EQ(Field(now, "body"), JsonString(c.bigBody ? Utf8(change.body) : std::string("New body\\r\\nsecond line\\r\\n")));
            for (const char* same : {"senderName", "recipients", "attachments"}) EXPECT_EQ(Field(now, same), Field(was, same)) << same;
        }
        if (HaveMsgConvert()) {
            const std::string was = MsgConvert(original), now = MsgConvert(copy);
            ASSERT_FALSE(now.empty());
            EXPECT_NE(now.find(c.bigBody ? " end" : "second line"), std::string::npos);
            if (std::string(c.file).find("unsent") != std::string::npos) {
                // Unsent messages carry no transport headers: the subject comes from the property.
                EXPECT_NE(now.find("Subject: "), std::string::npos);
                EXPECT_EQ(now.find("Subject: Test for MSGConvert"), std::string::npos);
                EXPECT_NE(was.find("Subject: Test for MSGConvert"), std::string::npos);
            }
            // Attachment names survive.
            for (const char* name : {"test.jpg"})
                EXPECT_EQ(was.find(name) != std::string::npos, now.find(name) != std::string::npos);
        }
        ++checked;
    }
    if (checked == 0) GTEST_SKIP() << "no sample messages";
}

TEST(MapiSaveCorpus, MessagesWrittenFromScratchOpenInOtherReaders) {
    TempDir temp;
    const fs::path file = temp.path() / "new.msg";
    std::vector<BYTE> data(3000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7);
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Unicode(PR_MESSAGE_CLASS_W, u"IPM.Note"),
                  msgwriter::Unicode(PR_SUBJECT_W, u"Built here \u00FC"),
                  msgwriter::Unicode(PR_BODY_W, u"Hello from the writer.\r\n"),
                  msgwriter::Unicode(PR_SENDER_NAME_W, u"Alice Example"),
                  msgwriter::Unicode(PR_SENDER_EMAIL_ADDRESS_W, u"alice@example.com"),
                  msgwriter::Long(PR_MESSAGE_FLAGS, 1),
                  msgwriter::Long(PR_INTERNET_CPID, 65001)};
    spec.attachments.push_back({{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE),
                                 msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"report.bin"),
                                 msgwriter::Unicode(PR_ATTACH_FILENAME_W, u"REPORT.BIN"),
                                 msgwriter::Binary(PR_ATTACH_DATA_BIN, data)}});
    ASSERT_EQ(msgwriter::WriteMessageFile(file.u16string(), spec), S_OK);

    const auto streams = StreamDigests(file);
    EXPECT_TRUE(streams.count("__properties_version1.0"));
    EXPECT_TRUE(streams.count("__nameid_version1.0/__substg1.0_00020102"));
    EXPECT_TRUE(streams.count("__attach_version1.0_#00000000/__substg1.0_37010102"));
    // The independent property reading sees what was written.
    const std::string dump = RunCommand(std::string(MSGPLUGIN_PYTHON) + " " MSGPLUGIN_SOURCE_DIR
                                 "/Platform/mapi/msg_props_dump.py " + Quote(file));
    EXPECT_NE(dump.find("0E070003 01000000"), std::string::npos);
    EXPECT_NE(dump.find("row 0 7200650070006f00720074002e00620069006e00"), std::string::npos);
    if (HaveMsgReader()) {
        const std::string json = MsgReaderJson(file);
        EXPECT_EQ(Field(json, "error"), "null");
        EXPECT_EQ(Field(json, "subject"), JsonString(Utf8(u"Built here \u00FC")));
        EXPECT_EQ(Field(json, "body"), "\"Hello from the writer.\\r\\n\"");
        EXPECT_EQ(Field(json, "senderName"), "\"Alice Example\"");
        EXPECT_EQ(Field(json, "attachments"), "[{\"fileName\":\"report.bin\",\"length\":3000}]");
    }
    if (HaveMsgConvert()) {
        const std::string eml = MsgConvert(file);
        EXPECT_NE(eml.find("Subject: "), std::string::npos) << eml.substr(0, 400);
        EXPECT_NE(eml.find("Hello from the writer."), std::string::npos);
        EXPECT_NE(eml.find("report.bin"), std::string::npos);
    }
}

}  // namespace
