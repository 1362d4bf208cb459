// Writing variables and saving them into the file, checked by independent readers.
#include <stdio.h>

#include <array>
#include <fstream>
#include <iterator>
#include <set>

#include "message/msgfile_test_support.h"

namespace msgtest {
namespace {

using msgplugin::CMsgFile;

std::set<std::string> Lines(const std::string& text) {
    std::set<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.insert(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

// Every property of the message and its attachments as olefile reads them: "<tag> <value>".
std::set<std::string> IndependentProperties(const std::string& path) {
    return Lines(RunCommand(std::string(MSGPLUGIN_PYTHON) + " '" + MSGPLUGIN_SOURCE_DIR +
                     "/Platform/mapi/msg_props_dump.py' '" + path + "'"));
}

// The file, as the independent reader reads it, holds this subject and sender name.
void ExpectStoredSubjectAndSender(const std::string& path, const std::u16string& subject, const std::u16string& sender) {
    const std::set<std::string> stored = IndependentProperties(path);
    EXPECT_TRUE(stored.count("0037001F " + Utf16Hex(subject))) << "subject " << Narrow(subject);
    EXPECT_TRUE(stored.count("0C1A001F " + Utf16Hex(sender))) << "sender name " << Narrow(sender);
}

// The lines in `after` that `before` lacks.
std::set<std::string> Added(const std::set<std::string>& before, const std::set<std::string>& after) {
    std::set<std::string> added;
    for (const std::string& line : after)
        if (!before.count(line)) added.insert(line);
    return added;
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

msgwriter::MessageSpec EditableMessage() {
    msgwriter::MessageSpec spec;
    spec.props = {
        msgwriter::Unicode(PR_SUBJECT_W, u"Old subject"),
        msgwriter::Unicode(PR_SENDER_NAME_W, u"Ann Example"),
        msgwriter::Unicode(PR_BODY_W, u"Old body"),
        msgwriter::Time(PR_CREATION_TIME, 134129520000000000ULL),  // 2026-01-15 12:00 UTC
        msgwriter::Long(0x00170003, 1),
        msgwriter::Bool(0x0E1F000B, false),
        msgwriter::Double(0x10800005, 1.0),
    };
    msgwriter::AttachmentSpec attachment;
    attachment.props = {msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.pdf"),
                        msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE)};
    spec.attachments.push_back(attachment);
    return spec;
}

class Writing : public MessageTest {
protected:
    // Writes one value and returns the record's found.
    static LONG WriteOne(IKivFileNavigator* navigator, const char16_t* attribute, VARIANT value, HRESULT* hr = nullptr) {
        Requests requests;
        requests.AddValue(attribute, value);
        HRESULT result = navigator->WriteVariables(0, 0, 0, 1, requests.data());
        if (hr) *hr = result;
        return requests[0].found;
    }
};

TEST_F(Writing, SubjectIsServedAtOnceAndSavedIntoTheFile) {
    std::string path = Write(EditableMessage());
    auto before = IndependentProperties(path);
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    EXPECT_EQ(WriteOne(navigator, u"SUBJECT", BstrValue(u"New subject")), 1);
    EXPECT_EQ(ReadOne(navigator, u"SUBJECT").text, u"New subject");
    EXPECT_TRUE(Object(navigator)->m_bDirty);
    EXPECT_EQ(navigator->Save(), S_OK);
    EXPECT_FALSE(Object(navigator)->m_bDirty);
    navigator.Release();

    auto added = Added(before, IndependentProperties(path));
    EXPECT_EQ(added, (std::set<std::string>{"0037001F " + Utf16Hex(u"New subject")}))
        << "only the written value differs";
    auto reopened = Open(path);
    ASSERT_TRUE(reopened);
    EXPECT_EQ(ReadOne(reopened, u"SUBJECT").text, u"New subject");
    EXPECT_EQ(ReadOne(reopened, u"BODY").text, u"Old body");
}

TEST_F(Writing, EightBitSubjectBecomesUnicode) {
    msgwriter::MessageSpec spec = EditableMessage();
    spec.props[0] = msgwriter::Ansi(PR_SUBJECT_A, "Old 8-bit subject");
    std::string path = Write(spec);
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    EXPECT_EQ(WriteOne(navigator, u"subject", BstrValue(u"Caf\u00E9")), 1);
    EXPECT_EQ(Object(navigator)->m_tags.Lookup(PR_SUBJECT_W)->ulPropTag, static_cast<ULONG>(PR_SUBJECT_W));
    ASSERT_EQ(navigator->Save(), S_OK);
    navigator.Release();
    auto after = IndependentProperties(path);
    EXPECT_TRUE(after.count("0037001F " + Utf16Hex(u"Caf\u00E9")));
    for (const std::string& line : after) EXPECT_NE(line.rfind("0037001E", 0), 0u) << "the 8-bit subject is replaced";
}

TEST_F(Writing, RecordsThatAreSkippedOrFindNothing) {
    msgwriter::MessageSpec spec = EditableMessage();
    spec.props.erase(spec.props.begin());  // no subject
    std::string path = Write(spec);
    const std::string bytesBefore = FileBytes(path);
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    Requests requests;
    requests.AddValue(u"SUBJECT", BstrValue(u"x"));                    // 0: not in the message
    requests.AddValue(u"ATTACHMENTS", BstrValue(u"evil.exe"));         // 1: read-only: skipped
    requests.AddValue(u"-2", BstrValue(u"evil.exe"));                  // 2: the pseudo entry refuses
    VariableRequest& foreign = requests.Add(u"OTHER", u"SENDER_NAME");  // 3: skipped
    VariantClear(&foreign.value);
    foreign.value = BstrValue(u"y");
    VARIANT i2;
    VariantInit(&i2);
    i2.vt = VT_I2;
    i2.iVal = 3;
    requests.AddValue(u"1507331", i2);     // 4: VT_I2 has no property form
    VARIANT empty;
    VariantInit(&empty);
    requests.AddValue(u"SENDER_NAME", empty);  // 5: VT_EMPTY neither
    requests.AddValue(u"0", BstrValue(u"z"));  // 6: skipped
    ASSERT_EQ(navigator->WriteVariables(0, 0, 0, requests.count(), requests.data()), S_OK);
    EXPECT_EQ(requests[0].found, 0);
    EXPECT_EQ(requests[1].found, 7);
    EXPECT_EQ(requests[2].found, 0);
    EXPECT_EQ(requests[3].found, 7);
    EXPECT_EQ(requests[4].found, 0);
    EXPECT_EQ(requests[5].found, 0);
    EXPECT_EQ(requests[6].found, 7);
    EXPECT_FALSE(Object(navigator)->m_bDirty);
    EXPECT_EQ(ReadOne(navigator, u"ATTACHMENTS").text, u"a.pdf");

    platform::testing::CountCalls("IMessage::SetProps");
    platform::testing::CountCalls("IMessage::SaveChanges");
    EXPECT_EQ(navigator->Save(), S_OK);
    EXPECT_EQ(platform::testing::CallCount("IMessage::SetProps"), 0u);
    EXPECT_EQ(platform::testing::CallCount("IMessage::SaveChanges"), 0u);
    navigator.Release();
    EXPECT_EQ(FileBytes(path), bytesBefore) << "a save with nothing written leaves the file as it was";
}

TEST_F(Writing, ValueKindsAndTheirTypes) {
    std::string path = Write(EditableMessage());
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    EXPECT_EQ(WriteOne(navigator, u"CREATION_TIME", BstrValue(u"yesterday")), 1) << "a text replaces any property";
    EXPECT_EQ(ReadOne(navigator, u"CREATION_TIME").vt, VT_BSTR);
    EXPECT_EQ(WriteOne(navigator, u"SENDER_NAME", BstrValue(nullptr)), 1);
    ReadResult sender = ReadOne(navigator, u"SENDER_NAME");
    EXPECT_EQ(sender.vt, VT_BSTR);
    EXPECT_EQ(sender.text, u"");
    EXPECT_EQ(WriteOne(navigator, u"1507331", I4Value(5)), 1);
    ReadResult number = ReadOne(navigator, u"1507331");
    EXPECT_EQ(number.vt, VT_I4);
    EXPECT_EQ(number.number, 5);

    VARIANT byReference;
    VariantInit(&byReference);
    LONG referenced = 9;
    byReference.vt = VT_BYREF | VT_I4;
    byReference.plVal = &referenced;
    EXPECT_EQ(WriteOne(navigator, u"1507331", byReference), 1);
    EXPECT_EQ(ReadOne(navigator, u"1507331").number, 9);

    VARIANT flag;
    VariantInit(&flag);
    flag.vt = VT_BOOL;
    flag.boolVal = VARIANT_TRUE;
    EXPECT_EQ(WriteOne(navigator, u"236912651", flag), 1);
    VARIANT real;
    VariantInit(&real);
    real.vt = VT_R8;
    real.dblVal = 0.25;
    EXPECT_EQ(WriteOne(navigator, u"276824069", real), 1);
    EXPECT_DOUBLE_EQ(ReadOne(navigator, u"276824069").real, 0.25);
    ASSERT_EQ(navigator->Save(), S_OK);
    navigator.Release();

    auto after = IndependentProperties(path);
    EXPECT_TRUE(after.count("00170003 09000000"));
    EXPECT_TRUE(after.count("0E1F000B 1")) << "a written yes is stored as true";
    EXPECT_TRUE(after.count("3007001F " + Utf16Hex(u"yesterday")));
}

TEST_F(Writing, KindsThatDisagreeAreRefusedAndChangeNothing) {
    std::string path = Write(EditableMessage());
    const std::string bytesBefore = FileBytes(path);
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    VARIANT flag;
    VariantInit(&flag);
    flag.vt = VT_BOOL;
    flag.boolVal = VARIANT_TRUE;
    EXPECT_EQ(WriteOne(navigator, u"SUBJECT", I4Value(5)), 0);
    EXPECT_EQ(WriteOne(navigator, u"SUBJECT", DateValue(45000.5)), 0);
    EXPECT_EQ(WriteOne(navigator, u"CREATION_TIME", flag), 0);
    EXPECT_EQ(WriteOne(navigator, u"3604483", I4Value(5)), 0) << "a 32-bit tag on a text subject";
    EXPECT_EQ(WriteOne(navigator, u"CREATION_TIME", DateValue(-700000.0)), 0) << "a date outside the calendar";
    EXPECT_FALSE(Object(navigator)->m_bDirty);
    EXPECT_EQ(navigator->Save(), S_OK);
    EXPECT_EQ(ReadOne(navigator, u"SUBJECT").text, u"Old subject");
    navigator.Release();
    EXPECT_EQ(FileBytes(path), bytesBefore);
}

TEST_F(Writing, DateReadAndWrittenBackIsStoredUnchanged) {
    std::string path = Write(EditableMessage());
    auto before = IndependentProperties(path);
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    SYSTEMTIME summer{2026, 7, 0, 20, 12, 0, 0, 0};
    platform::testing::SetNow(summer);
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    ReadResult created = ReadOne(navigator, u"CREATION_TIME");
    ASSERT_EQ(created.vt, VT_DATE);
    EXPECT_EQ(WriteOne(navigator, u"CREATION_TIME", DateValue(created.real)), 1);
    ASSERT_EQ(navigator->Save(), S_OK);
    navigator.Release();
    unsetenv("TZ");
    tzset();
    EXPECT_TRUE(Added(before, IndependentProperties(path)).empty()) << "the stored time did not move";
}

TEST_F(Writing, DateWrittenBackKeepsItsFractionOfASecond) {
    // Real messages store times with a fraction of a second; reading serves whole seconds.
    constexpr ULONGLONG kStored = 134129520000000000ULL + 1234567;  // 2026-01-15 12:00:00.1234567 UTC
    msgwriter::MessageSpec spec = EditableMessage();
    spec.props.push_back(msgwriter::Time(PR_LAST_MODIFICATION_TIME, kStored));
    spec.props.push_back(msgwriter::Time(PR_CLIENT_SUBMIT_TIME, kStored));
    std::string path = Write(spec);
    auto before = IndependentProperties(path);
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    ReadResult modified = ReadOne(navigator, u"LAST_MODIFICATION_TIME");
    ASSERT_EQ(modified.vt, VT_DATE);
    EXPECT_EQ(WriteOne(navigator, u"LAST_MODIFICATION_TIME", DateValue(modified.real)), 1);
    // One second later is a change: stored as the whole second written.
    EXPECT_EQ(WriteOne(navigator, u"CLIENT_SUBMIT_TIME", DateValue(modified.real + 1.0 / 86400)), 1);
    ASSERT_EQ(navigator->Save(), S_OK);
    navigator.Release();
    unsetenv("TZ");
    tzset();
    auto added = Added(before, IndependentProperties(path));
    char expected[64];
    const ULONGLONG later = 134129520000000000ULL + 10000000ULL;
    std::snprintf(expected, sizeof expected, "00390040 %02x%02x%02x%02x%02x%02x%02x%02x", unsigned(later & 0xFF),
                  unsigned(later >> 8 & 0xFF), unsigned(later >> 16 & 0xFF), unsigned(later >> 24 & 0xFF),
                  unsigned(later >> 32 & 0xFF), unsigned(later >> 40 & 0xFF), unsigned(later >> 48 & 0xFF),
                  unsigned(later >> 56 & 0xFF));
    EXPECT_EQ(added, std::set<std::string>{expected}) << "only the time that was changed moved";
}

// A time property as msg_props_dump.py shows it: "<tag> <the FILETIME's bytes>".
std::string TimeLine(const char* tag, ULONGLONG ticks) {
    std::string line = std::string(tag) + " ";
    char part[4];
    for (int i = 0; i < 8; ++i) {
        std::snprintf(part, sizeof part, "%02x", unsigned(ticks >> (8 * i) & 0xFF));
        line += part;
    }
    return line;
}

// Before, the second write was compared with the first: the stored fraction was lost.
TEST_F(Writing, DateWrittenBackAfterAnotherKeepsTheStoredTimeUntilTheSave) {
    constexpr ULONGLONG kStored = 134129520000000000ULL + 1234567;  // 2026-01-15 12:00:00.1234567 UTC
    constexpr double kDay = 1.0;
    msgwriter::MessageSpec spec = EditableMessage();
    spec.props.push_back(msgwriter::Time(PR_LAST_MODIFICATION_TIME, kStored));
    std::string path = Write(spec);
    const std::set<std::string> before = IndependentProperties(path);
    ASSERT_TRUE(before.count(TimeLine("30080040", kStored)));
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    const ReadResult original = ReadOne(navigator, u"LAST_MODIFICATION_TIME");
    ASSERT_EQ(original.vt, VT_DATE);
    EXPECT_EQ(WriteOne(navigator, u"LAST_MODIFICATION_TIME", DateValue(original.real + kDay)), 1);
    EXPECT_EQ(WriteOne(navigator, u"LAST_MODIFICATION_TIME", DateValue(original.real + 2 * kDay)), 1);
    EXPECT_EQ(WriteOne(navigator, u"LAST_MODIFICATION_TIME", DateValue(original.real)), 1);
    ASSERT_EQ(navigator->Save(), S_OK);
    EXPECT_EQ(IndependentProperties(path), before) << "the stored bytes did not move";

    // Once another date is saved, that one is the file's: writing the first date back is a
    // change again, stored as the whole second written.
    EXPECT_EQ(WriteOne(navigator, u"LAST_MODIFICATION_TIME", DateValue(original.real + kDay)), 1);
    ASSERT_EQ(navigator->Save(), S_OK);
    EXPECT_EQ(WriteOne(navigator, u"LAST_MODIFICATION_TIME", DateValue(original.real)), 1);
    ASSERT_EQ(navigator->Save(), S_OK);
    navigator.Release();
    EXPECT_EQ(Added(before, IndependentProperties(path)),
              std::set<std::string>{TimeLine("30080040", kStored - 1234567)});
}

TEST_F(Writing, IntegersFitToSixteenBitProperties) {
    msgwriter::MessageSpec spec = EditableMessage();
    spec.props.push_back(msgwriter::Long(0x66000002, 7));  // PT_I2
    std::string path = Write(spec);
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    EXPECT_EQ(WriteOne(navigator, u"1711276034", I4Value(32768)), 0) << "too large for 16 bits";
    EXPECT_EQ(WriteOne(navigator, u"1711276034", I4Value(-32769)), 0) << "too small for 16 bits";
    EXPECT_EQ(ReadOne(navigator, u"1711276034").number, 7);
    EXPECT_EQ(WriteOne(navigator, u"1711276034", I4Value(-32768)), 1);
    EXPECT_EQ(ReadOne(navigator, u"1711276034").number, -32768);
    EXPECT_EQ(WriteOne(navigator, u"1711276034", I4Value(-3)), 1);
    ReadResult read = ReadOne(navigator, u"1711276034");
    EXPECT_EQ(read.vt, VT_I4);
    EXPECT_EQ(read.number, -3);
    ASSERT_EQ(navigator->Save(), S_OK);
    navigator.Release();
    EXPECT_TRUE(IndependentProperties(path).count("66000002 fdff")) << "stored as a 16-bit -3";
}

TEST_F(Writing, FirstOnlyEndsAtTheFirstReplacedEntry) {
    auto navigator = Open(Write(EditableMessage()));
    ASSERT_TRUE(navigator);
    Requests requests;
    requests.AddValue(u"DISPLAY_CC", BstrValue(u"not in the message"));
    requests.AddValue(u"SUBJECT", BstrValue(u"first"));
    requests.AddValue(u"SENDER_NAME", BstrValue(u"second"));
    ASSERT_EQ(navigator->WriteVariables(0, 1, 0, requests.count(), requests.data()), S_OK);
    EXPECT_EQ(requests[0].found, 0);
    EXPECT_EQ(requests[1].found, 1);
    EXPECT_EQ(requests[2].found, 7);
    EXPECT_EQ(ReadOne(navigator, u"SENDER_NAME").text, u"Ann Example");
}

TEST_F(Writing, SavesSendEveryEntryWrittenSinceOpening) {
    std::string path = Write(EditableMessage());
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    platform::testing::CountCalls("IMessage::SetProps");
    EXPECT_EQ(navigator->Save(), S_OK);
    EXPECT_EQ(platform::testing::CallCount("IMessage::SetProps"), 0u) << "nothing written, nothing sent";

    WriteOne(navigator, u"SUBJECT", BstrValue(u"one"));
    WriteOne(navigator, u"SUBJECT", BstrValue(u"two"));
    ASSERT_EQ(navigator->Save(), S_OK);
    EXPECT_EQ(platform::testing::CallCount("IMessage::SetProps"), 1u) << "two writes, one value sent";

    WriteOne(navigator, u"SENDER_NAME", BstrValue(u"Bea"));
    ASSERT_EQ(navigator->Save(), S_OK);
    EXPECT_EQ(platform::testing::CallCount("IMessage::SetProps"), 3u) << "the second save sends both entries";
    navigator.Release();
    ExpectStoredSubjectAndSender(path, u"two", u"Bea");
}

TEST_F(Writing, BodyReadsTheMessageUntilSaved) {
    auto navigator = Open(Write(EditableMessage()));
    ASSERT_TRUE(navigator);
    EXPECT_EQ(WriteOne(navigator, u"BODY", BstrValue(u"New body")), 1);
    EXPECT_EQ(ReadOne(navigator, u"BODY").text, u"Old body");
    ASSERT_EQ(navigator->Save(), S_OK);
    EXPECT_EQ(ReadOne(navigator, u"BODY").text, u"New body");
}

TEST_F(Writing, SaveFailuresKeepTheChangesPending) {
    std::string path = Write(EditableMessage());
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    WriteOne(navigator, u"SUBJECT", BstrValue(u"pending"));
    WriteOne(navigator, u"SENDER_NAME", BstrValue(u"also pending"));

    platform::testing::FailNthCall("IMessage::SetProps", 2, MAPI_E_NO_ACCESS);
    EXPECT_EQ(navigator->Save(), MAPI_E_NO_ACCESS);
    EXPECT_TRUE(Object(navigator)->m_bDirty);

    platform::testing::ResetFaults();
    platform::testing::FailNthCall("IMessage::SaveChanges", 1, STG_E_MEDIUMFULL);
    EXPECT_EQ(navigator->Save(), STG_E_MEDIUMFULL);
    EXPECT_TRUE(Object(navigator)->m_bDirty);

    platform::testing::ResetFaults();
    EXPECT_EQ(navigator->Save(), S_OK) << "a later save tries again";
    EXPECT_FALSE(Object(navigator)->m_bDirty);
    navigator.Release();
    ExpectStoredSubjectAndSender(path, u"pending", u"also pending");
}

TEST_F(Writing, VariantFailuresEndTheCall) {
    auto navigator = Open(Write(EditableMessage()));
    ASSERT_TRUE(navigator);
    Requests requests;
    requests.AddValue(u"SENDER_NAME", BstrValue(u"kept"));
    requests.AddValue(u"SUBJECT", BstrValue(u"lost"));
    requests.AddValue(u"1507331", I4Value(3));
    platform::testing::FailNthCall("VariantCopy", 2, E_OUTOFMEMORY);
    EXPECT_EQ(navigator->WriteVariables(0, 0, 0, requests.count(), requests.data()), E_OUTOFMEMORY);
    EXPECT_EQ(requests[0].found, 1);
    EXPECT_EQ(requests[1].found, 7);
    EXPECT_EQ(requests[2].found, 7);

    platform::testing::ResetFaults();
    Requests conversion;
    VARIANT reference;
    VariantInit(&reference);
    reference.vt = VT_BYREF | VT_I4;
    LONG value = 4;
    reference.plVal = &value;
    conversion.AddValue(u"1507331", reference);
    platform::testing::FailNthCall("VariantChangeType", 1, DISP_E_OVERFLOW);
    EXPECT_EQ(navigator->WriteVariables(0, 0, 0, 1, conversion.data()), DISP_E_OVERFLOW);
    EXPECT_EQ(conversion[0].found, 7);
}

TEST_F(Writing, SavedSampleMessagesReadBackInAnotherReader) {
    const std::string reader = std::string(MSGPLUGIN_SOURCE_DIR) + "/tools/node/node_modules";
    if (!fs::exists(reader + "/@kenjiuno/msgreader")) GTEST_SKIP() << "tools/install-deps.sh installs the reader";
    int checked = 0;
    for (const fs::path& file : CorpusFiles()) {
        if (fs::file_size(file) == 0) continue;
        std::string path = CopyCorpus(file);
        auto before = IndependentProperties(path);
        auto navigator = Open(path);
        ASSERT_TRUE(navigator) << file;
        HRESULT hr = S_OK;
        LONG found = WriteOne(navigator, u"SUBJECT", BstrValue(u"Changed by the card"), &hr);
        ASSERT_EQ(hr, S_OK);
        if (found != 1) continue;  // no subject to change
        ASSERT_EQ(navigator->Save(), S_OK) << file;
        navigator.Release();
        for (const std::string& line : Added(before, IndependentProperties(path)))
            EXPECT_EQ(line.rfind("0037001F", 0), 0u) << file << ": " << line;
        std::string json = RunCommand("node '" + std::string(MSGPLUGIN_SOURCE_DIR) + "/Platform/mapi/msgreader_dump.js' '" +
                               reader + "' '" + path + "'");
        EXPECT_NE(json.find("\"subject\":\"Changed by the card\""), std::string::npos) << file << ": " << json;
        ++checked;
        if (checked == 12) break;  // a dozen messages of different writers is enough here
    }
    EXPECT_GE(checked, 10);
}

}  // namespace
}  // namespace msgtest
