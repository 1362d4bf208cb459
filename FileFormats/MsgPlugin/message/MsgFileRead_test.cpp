// Reading variables and the body.
#include <stdio.h>

#include <algorithm>
#include <array>
#include <map>
#include <sstream>

#include "message/independent_reader_test_support.h"
#include "message/msgfile_test_support.h"

namespace msgtest {
namespace {

constexpr ULONG kBinaryTag = 0x00710102;     // PR_CONVERSATION_INDEX

// 2026-01-15 12:00:00 UTC as FILETIME ticks.
constexpr ULONGLONG kJanuaryNoonUtc = 134129520000000000ULL;

// Sets TZ for one test and restores it.
class ScopedZone {
public:
    explicit ScopedZone(const char* zone) {
        if (const char* old = getenv("TZ")) saved_ = old, had_ = true;
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedZone() {
        if (had_)
            setenv("TZ", saved_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

private:
    std::string saved_;
    bool had_ = false;
};

SYSTEMTIME FromDate(DATE date) {
    SYSTEMTIME fields{};
    EXPECT_TRUE(VariantTimeToSystemTime(date, &fields));
    return fields;
}

msgwriter::MessageSpec CardMessage() {
    msgwriter::MessageSpec spec;
    spec.props = {
        msgwriter::Unicode(PR_SUBJECT_W, u"Board minutes"),
        msgwriter::Unicode(PR_SENDER_NAME_W, u"Ann Example"),
        msgwriter::Unicode(PR_DISPLAY_TO_W, u"Bob; Carol"),
        msgwriter::Time(PR_CREATION_TIME, kJanuaryNoonUtc),
        msgwriter::Long(0x00170003, 5),
        msgwriter::Bool(0x0E1F000B, true),
        msgwriter::Double(0x10800005, 2.5),
        msgwriter::Binary(kBinaryTag, {1, 2, 3}),
        msgwriter::Unicode(PR_BODY_W, u"Short body"),
    };
    msgwriter::AttachmentSpec attachment;
    attachment.props = {msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"minutes.pdf"),
                        msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE)};
    spec.attachments.push_back(attachment);
    return spec;
}

class Reading : public MessageTest {};

TEST_F(Reading, RecordArrayEdges) {
    auto navigator = Open(Write(CardMessage()));
    ASSERT_TRUE(navigator);
    EXPECT_EQ(navigator->ReadVariables(0, 0, 0, 0, nullptr), E_POINTER);
    EXPECT_EQ(navigator->ReadVariables(0, 0, 0, 3, nullptr), E_POINTER);
    Requests requests;
    requests.AddMsg(u"SUBJECT");
    EXPECT_EQ(navigator->ReadVariables(0, 0, 0, 0, requests.data()), S_OK);
    EXPECT_EQ(navigator->ReadVariables(0, 0, 0, -1, requests.data()), S_OK);
    EXPECT_EQ(requests[0].found, 7) << "a count of 0 or less touches nothing";
}

TEST_F(Reading, RecordResolution) {
    auto navigator = Open(Write(CardMessage()));
    ASSERT_TRUE(navigator);
    Requests requests;
    requests.Add(u"msg", u"subject");      // 0: served in any letter case
    requests.Add(u"MSG ", u"SUBJECT");     // 1: skipped
    requests.Add(nullptr, u"SUBJECT");     // 2: skipped
    requests.Add(u"Msg", u"3604510");      // 3: 0x0037001E reaches the Unicode subject
    requests.Add(u"MSG", u"3604511");      // 4
    requests.Add(u"MSG", u"0");            // 5: skipped
    requests.Add(u"MSG", u"-1");           // 6: skipped
    requests.Add(u"MSG", u"abc");          // 7: skipped
    requests.Add(u"MSG", u"");             // 8: skipped
    requests.Add(u"MSG", nullptr);         // 9: skipped
    requests.Add(u"MSG", u"12abc");        // 10: tag 12, found = 0
    requests.Add(u"MSG", u"-2");           // 11: the attachment list
    requests.Add(u"MSG", u"4294967294");   // 12: saturates to 0x7FFFFFFF, found = 0
    requests.Add(u"MSG", u"-2147483617");  // 13: 0x8000001F, found = 0
    requests.Add(u"MSG", u"0x0037001F");   // 14: hexadecimal reads as 0: skipped
    requests.Add(u"MSG", u"ATTACHMENTS");  // 15
    ASSERT_EQ(navigator->ReadVariables(0, 0, 0, requests.count(), requests.data()), S_OK);

    for (size_t served : {0u, 3u, 4u}) {
        EXPECT_EQ(requests[served].found, 1) << served;
        EXPECT_EQ(Text(requests[served].value), u"Board minutes") << served;
    }
    for (size_t skipped : {1u, 2u, 5u, 6u, 7u, 8u, 9u, 14u}) {
        EXPECT_EQ(requests[skipped].found, 7) << skipped;
        EXPECT_EQ(requests[skipped].value.vt, VT_I4) << skipped;
        EXPECT_EQ(requests[skipped].value.lVal, 77) << skipped;
    }
    for (size_t missing : {10u, 12u, 13u}) {
        EXPECT_EQ(requests[missing].found, 0) << missing;
        EXPECT_EQ(requests[missing].value.lVal, 77) << "a miss leaves the value untouched";
    }
    EXPECT_EQ(requests[11].found, 1);
    EXPECT_EQ(Text(requests[11].value), u"minutes.pdf");
    EXPECT_EQ(Text(requests[15].value), u"minutes.pdf");
}

TEST_F(Reading, ValuesTakeTheirStoredType) {
    ScopedZone utc("UTC");
    auto navigator = Open(Write(CardMessage()));
    ASSERT_TRUE(navigator);
    ReadResult number = ReadOne(navigator, u"1507331");
    EXPECT_EQ(number.found, 1);
    EXPECT_EQ(number.vt, VT_I4);
    EXPECT_EQ(number.number, 5);
    ReadResult flag = ReadOne(navigator, u"236912651");  // 0x0E1F000B
    EXPECT_EQ(flag.vt, VT_BOOL);
    EXPECT_EQ(flag.number, 1) << "a stored 1 stays 1";
    ReadResult real = ReadOne(navigator, u"276824069");  // 0x10800005
    EXPECT_EQ(real.vt, VT_R8);
    EXPECT_DOUBLE_EQ(real.real, 2.5);
    ReadResult created = ReadOne(navigator, u"CREATION_TIME");
    EXPECT_EQ(created.vt, VT_DATE);
    SYSTEMTIME fields = FromDate(created.real);
    EXPECT_EQ(fields.wYear, 2026);
    EXPECT_EQ(fields.wMonth, 1);
    EXPECT_EQ(fields.wDay, 15);
    EXPECT_EQ(fields.wHour, 12);
    ReadResult none = ReadOne(navigator, u"DISPLAY_CC");
    EXPECT_EQ(none.found, 0);
}

TEST_F(Reading, SixteenBitIntegersAreSignExtendedAndFloatsWidened) {
    msgwriter::MessageSpec spec;
    spec.props = {
        msgwriter::Long(0x66000002, -2),       // PT_I2
        msgwriter::Long(0x66010002, 32767),    // PT_I2, its largest
        msgwriter::Double(0x66020004, 1.25),   // PT_FLOAT
        msgwriter::Double(0x66030004, -0.1),   // PT_FLOAT, not exact in single precision
    };
    auto navigator = Open(Write(spec));
    ASSERT_TRUE(navigator);
    ReadResult negative = ReadOne(navigator, u"1711276034");
    EXPECT_EQ(negative.vt, VT_I4);
    EXPECT_EQ(negative.number, -2) << "the 16-bit value is sign-extended";
    EXPECT_EQ(ReadOne(navigator, u"1711341570").number, 32767);
    ReadResult real = ReadOne(navigator, u"1711407108");
    EXPECT_EQ(real.vt, VT_R8);
    EXPECT_EQ(real.real, 1.25);
    EXPECT_EQ(ReadOne(navigator, u"1711472644").real, static_cast<double>(-0.1f)) << "widened, not rounded again";
}

TEST_F(Reading, EightBitTextUsesTheAnsiCodePage) {
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Ansi(PR_SUBJECT_A, "Caf\xE9 \x80 5")};
    auto navigator = Open(Write(spec));
    ASSERT_TRUE(navigator);
    ReadResult subject = ReadOne(navigator, u"SUBJECT");
    EXPECT_EQ(subject.vt, VT_BSTR);
    EXPECT_EQ(subject.text, u"Caf\u00E9 \u20AC 5");
    platform::testing::SetAnsiCodePage(1251);
    EXPECT_EQ(ReadOne(navigator, u"SUBJECT").text, u"Caf\u0439 \u0402 5");
}

TEST_F(Reading, DatesAreLocalWithTheOffsetInForceNow) {
    auto navigator = Open(Write(CardMessage()));
    ASSERT_TRUE(navigator);
    {
        ScopedZone twoHoursAhead("XYZ-2");
        EXPECT_EQ(FromDate(ReadOne(navigator, u"CREATION_TIME").real).wHour, 14);
    }
    {
        ScopedZone central("CET-1CEST,M3.5.0,M10.5.0/3");
        SYSTEMTIME winter{2026, 1, 0, 20, 12, 0, 0, 0};
        platform::testing::SetNow(winter);
        EXPECT_EQ(FromDate(ReadOne(navigator, u"CREATION_TIME").real).wHour, 13);
        SYSTEMTIME summer{2026, 7, 0, 20, 12, 0, 0, 0};
        platform::testing::SetNow(summer);
        EXPECT_EQ(FromDate(ReadOne(navigator, u"CREATION_TIME").real).wHour, 14)
            << "a January time read in summer gets the summer offset";
    }
}

TEST_F(Reading, ErrorValuesAndUnconvertibleTypes) {
    msgwriter::MessageSpec spec = CardMessage();
    spec.props.push_back(msgwriter::Unicode(0x0E1D001F, std::u16string(9000, u'n')));  // beyond the limit
    auto navigator = Open(Write(spec));
    ASSERT_TRUE(navigator);
    ReadResult large = ReadOne(navigator, u"236781599");  // 0x0E1D001F
    EXPECT_EQ(large.found, 1);
    EXPECT_EQ(large.vt, VT_ERROR);
    EXPECT_EQ(static_cast<HRESULT>(large.number), E_OUTOFMEMORY);

    Requests requests;
    requests.AddMsg(u"SUBJECT");
    requests.AddMsg(u"7405826");  // 0x00710102, binary
    requests.AddMsg(u"SENDER_NAME");
    EXPECT_EQ(navigator->ReadVariables(0, 0, 0, requests.count(), requests.data()), E_OUTOFMEMORY);
    EXPECT_EQ(Text(requests[0].value), u"Board minutes");
    EXPECT_EQ(requests[1].found, 1);
    EXPECT_EQ(requests[1].value.vt, VT_EMPTY);
    EXPECT_EQ(requests[2].found, 7) << "later records are not looked at";
}

TEST_F(Reading, FirstOnly) {
    auto navigator = Open(Write(CardMessage()));
    ASSERT_TRUE(navigator);
    Requests requests;
    requests.Add(u"OTHER", u"SUBJECT");  // skipped
    requests.AddMsg(u"DISPLAY_CC");      // not found
    requests.AddMsg(u"BODY");            // read, does not end the call
    requests.AddMsg(u"SENDER_NAME");     // found: ends the call
    requests.AddMsg(u"SUBJECT");
    ASSERT_EQ(navigator->ReadVariables(0, 1, 0, requests.count(), requests.data()), S_OK);
    EXPECT_EQ(requests[0].found, 7);
    EXPECT_EQ(requests[1].found, 0);
    EXPECT_EQ(requests[2].found, 1);
    EXPECT_EQ(Text(requests[2].value), u"Short body");
    EXPECT_EQ(Text(requests[3].value), u"Ann Example");
    EXPECT_EQ(requests[4].found, 7);
}

// ---- The body ------------------------------------------------------------------------------

class Body : public MessageTest {
protected:
    // A message whose body stream holds exactly these bytes.
    std::string WithBodyBytes(std::vector<BYTE> bytes, const std::string& name = "body.msg") {
        msgwriter::MessageSpec spec;
        spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"s"), msgwriter::Stream(PR_BODY_W, std::move(bytes))};
        return Write(spec, name);
    }
    static std::vector<BYTE> Units(size_t count, char16_t first = u'a') {
        std::u16string text;
        for (size_t i = 0; i < count; ++i) text += static_cast<char16_t>(first + i % 26);
        return msgwriter::Utf16Bytes(text);
    }
    // Reads the body of a 3000-unit message on the stream road with the nth call of `operation`
    // failing: the body is not found, and the one log entry is the body read's, for `path` (the
    // message, left open in `navigator`).
    void ExpectBodyFailureLogged(const char* operation, unsigned nth, HRESULT code, HRESULT logged,
                                 const std::u16string& message, std::string& path,
                                 msgplugin::CComPtr<IKivFileNavigator>& navigator) {
        path = WithBodyBytes(Units(3000));
        navigator = Open(path);
        ASSERT_TRUE(navigator);
        platform::testing::FailNthCall("HrGetOneProp", 1, MAPI_E_NOT_ENOUGH_MEMORY);
        platform::testing::FailNthCall(operation, nth, code);
        ReadResult body = ReadOne(navigator, u"BODY");
        EXPECT_EQ(body.found, 0);
        EXPECT_EQ(body.vt, VT_I4);
        auto entries = LogEntries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].resultCode, logged);
        EXPECT_EQ(entries[0].category, 0x1000u);
        EXPECT_EQ(entries[0].functionName, u"CMsgFile::mbGetBodyProperty");
        EXPECT_EQ(entries[0].message, message + u".\n" + Wide(path));
    }
};

TEST_F(Body, NoBodyIsNotFoundAndNotLogged) {
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"no body")};
    auto navigator = Open(Write(spec));
    ASSERT_TRUE(navigator);
    ReadResult body = ReadOne(navigator, u"BODY");
    EXPECT_EQ(body.found, 0);
    EXPECT_EQ(body.vt, VT_I4) << "value untouched";
    EXPECT_TRUE(LogEntries().empty());
}

TEST_F(Body, ShortBodyIsReadWholeWithoutAStream) {
    auto navigator = Open(Write(CardMessage()));
    ASSERT_TRUE(navigator);
    platform::testing::CountCalls("IMessage::OpenProperty");
    ReadResult body = ReadOne(navigator, u"268435487");  // the body by its number
    EXPECT_EQ(body.found, 1);
    EXPECT_EQ(body.text, u"Short body");
    EXPECT_EQ(platform::testing::CallCount("IMessage::OpenProperty"), 0u);
}

TEST_F(Body, LargeBodyIsReadThroughTheStream) {
    std::vector<BYTE> bytes = Units(20000);
    auto navigator = Open(WithBodyBytes(bytes));
    ASSERT_TRUE(navigator);
    platform::testing::CountCalls("IMessage::OpenProperty");
    ReadResult body = ReadOne(navigator, u"BODY");
    EXPECT_EQ(body.found, 1);
    EXPECT_EQ(body.text.size(), 20000u);
    EXPECT_EQ(0, std::memcmp(body.text.data(), bytes.data(), bytes.size()));
    EXPECT_EQ(platform::testing::CallCount("IMessage::OpenProperty"), 1u);
}

TEST_F(Body, StreamChunking) {
    struct Case {
        size_t bytes;
        size_t units;
        unsigned reads;
    } cases[] = {
        {510, 255, 2},     // 510, then 0
        {1020, 510, 3},
        {511, 255, 3},     // 510, 1 (dropped), 0
        {1021, 510, 4},
        {1, 0, 2},
        {0, 0, 1},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> bytes = Units((c.bytes + 1) / 2);
        bytes.resize(c.bytes);
        std::string path = WithBodyBytes(bytes, "chunk" + std::to_string(c.bytes) + ".msg");
        auto navigator = Open(path);
        ASSERT_TRUE(navigator);
        // Too large to be read whole: the stream road.
        platform::testing::ResetFaults();
        platform::testing::FailNthCall("HrGetOneProp", 1, MAPI_E_NOT_ENOUGH_MEMORY);
        platform::testing::CountCalls("IStream::Read");
        ReadResult body = ReadOne(navigator, u"BODY");
        EXPECT_EQ(body.found, 1) << c.bytes;
        EXPECT_EQ(body.text.size(), c.units) << c.bytes;
        if (c.units > 0) {
            EXPECT_EQ(0, std::memcmp(body.text.data(), bytes.data(), c.units * 2)) << c.bytes;
        }
        EXPECT_EQ(platform::testing::CallCount("IStream::Read"), c.reads) << c.bytes;
    }
}

TEST_F(Body, EmbeddedNullEndsTheText) {
    std::vector<BYTE> bytes = msgwriter::Utf16Bytes(std::u16string(u"before") + u'\0' + u"after");
    auto navigator = Open(WithBodyBytes(bytes));
    ASSERT_TRUE(navigator);
    EXPECT_EQ(ReadOne(navigator, u"BODY").text, u"before");
    platform::testing::FailNthCall("HrGetOneProp", 1, MAPI_E_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ReadOne(navigator, u"BODY").text, u"before") << "the stream road cuts at the null too";
}

TEST_F(Body, ReadFailureIsLoggedAndDropsTheText) {
    std::string path;
    msgplugin::CComPtr<IKivFileNavigator> navigator;
    ExpectBodyFailureLogged("IStream::Read", 3, STG_E_READFAULT, STG_E_READFAULT,
                            u"Failed to read from stream when extracting Body from message", path, navigator);
}

TEST_F(Body, BufferThatCannotGrowIsLogged) {
    std::string path;
    msgplugin::CComPtr<IKivFileNavigator> navigator;
    // The entry's result is S_OK: the last stream call succeeded.
    ExpectBodyFailureLogged("HeapReAlloc", 2, E_OUTOFMEMORY, S_OK,
                            u"Could not allocate memory when extracting Body from message", path, navigator);
    ASSERT_TRUE(navigator);

    fs::remove(LogPath());
    platform::testing::ResetFaults();
    platform::testing::FailNthCall("HrGetOneProp", 1, MAPI_E_NOT_ENOUGH_MEMORY);
    platform::testing::FailNthCall("HeapAlloc", 1, E_OUTOFMEMORY);
    EXPECT_EQ(ReadOne(navigator, u"BODY").found, 0);
    ASSERT_EQ(LogEntries().size(), 1u);
}

TEST_F(Body, ResultStringThatCannotBeAllocatedEndsTheRead) {
    auto navigator = Open(Write(CardMessage()));
    ASSERT_TRUE(navigator);
    Requests requests;
    requests.AddMsg(u"BODY");
    requests.AddMsg(u"SUBJECT");
    platform::testing::ReturnNullOnNthCall("SysAllocString", 1);
    EXPECT_EQ(navigator->ReadVariables(0, 0, 0, requests.count(), requests.data()), E_OUTOFMEMORY);
    EXPECT_EQ(requests[1].found, 7);
    EXPECT_TRUE(LogEntries().empty());
}

// ---- The card against an independent reading of the file ------------------------------------
//
// The independent reader reports what a file holds. How the card shows it is decided here, and
// wherever the plug-in or its message store shows something else than the file holds, by their
// design, the rule below says so.

// The message store hands out no string over 16 KiB (its terminator aside) from a property read:
// it returns the error value E_OUTOFMEMORY in its place, so the card shows VT_ERROR. Only the
// body is read whole, through its stream.
constexpr ULONG kInlineLimitBytes = 16384;

// The store converts the 8-bit body with the message's own code page: the Internet code page,
// else the message code page (each only when the store can convert it), else the ANSI one.
UINT BodyCodePage(const StoredMessage& stored) {
    for (const std::optional<UINT>& named : {stored.internetCodePage, stored.messageCodePage}) {
        if (!named) continue;
        const UINT codePage = platform::testing::MapiWindowsCodePageOfFamily(*named);
        if (codePage != 0 && IsValidCodePage(codePage)) return codePage;
    }
    return GetACP();
}

// What the file holds, its 8-bit text decoded in the code pages that the card needs.
StoredMessage ReadForCard(const std::string& path) {
    StoredMessage stored = ReadIndependently(path, {GetACP()});
    const UINT bodyCodePage = BodyCodePage(stored);
    if (stored.values["BODY"].form == "bytes" && bodyCodePage != GetACP())
        stored = ReadIndependently(path, {GetACP(), bodyCodePage});
    return stored;
}

bool IsString(const StoredValue& value) { return value.type == PT_STRING8 || value.type == PT_UNICODE; }

bool OverInlineLimit(const StoredValue& value) {
    const ULONG terminator = value.type == PT_UNICODE ? 2 : 1;
    return value.size > kInlineLimitBytes + terminator;
}

// A string's text as UTF-16LE hex, 8-bit text decoded in `codePage`.
std::string TextOf(const StoredValue& value, UINT codePage) {
    if (value.type == PT_UNICODE) return value.data;
    auto decoded = value.decoded.find(codePage);
    if (decoded == value.decoded.end() || decoded->second == "?")
        return "<not decoded in code page " + std::to_string(codePage) + ">";
    return decoded->second;
}

struct CardValue {
    enum class Kind { NotFound, Text, Error, Time, OtherForm, NoCardForm } kind;
    std::string text;   // UTF-16LE hex
    ULONGLONG number;   // an error code, or a time's ticks

    static CardValue Of(Kind kind, std::string text = {}, ULONGLONG number = 0) {
        return CardValue{kind, std::move(text), number};
    }
    static CardValue Error(HRESULT code) { return Of(Kind::Error, {}, static_cast<ULONG>(code)); }
};

CardValue ExpectedCardValue(const std::string& name, const StoredValue& stored, UINT bodyCodePage) {
    using Kind = CardValue::Kind;
    if (!stored.present) return CardValue::Of(Kind::NotFound);
    const bool body = name == "BODY";
    if (IsString(stored)) {
        // A string without its value stream: the store returns MAPI_E_NOT_FOUND in its place
        // (for the body: no body).
        if (stored.form == "nostream") return body ? CardValue::Of(Kind::NotFound) : CardValue::Error(MAPI_E_NOT_FOUND);
        if (!body && OverInlineLimit(stored)) return CardValue::Error(E_OUTOFMEMORY);
        // The plug-in converts 8-bit strings with the ANSI code page; the 8-bit body is converted
        // by the store, in the message's own code page.
        return CardValue::Of(Kind::Text, TextOf(stored, body ? bodyCodePage : GetACP()));
    }
    if (body) return CardValue::Of(Kind::NotFound);  // a body that is no string is not read
    if (stored.type == PT_SYSTIME) return CardValue::Of(Kind::Time, {}, std::stoull(stored.data));
    if (stored.type == PT_ERROR) return CardValue::Error(static_cast<HRESULT>(std::stoull(stored.data)));
    // Numbers and booleans have a card form of their own (their values are tested above).
    for (ULONG type : {PT_I2, PT_LONG, PT_R4, PT_DOUBLE, PT_BOOLEAN})
        if (stored.type == type) return CardValue::Of(Kind::OtherForm);
    return CardValue::Of(Kind::NoCardForm);
}

// The attachment names, joined by CRLF, as UTF-16LE hex.
std::string ExpectedAttachmentNames(const StoredMessage& stored) {
    std::string joined;
    bool first = true;
    for (const StoredValue& name : stored.attachmentNames) {
        if (!name.present) continue;  // an attachment without a long file name adds no line
        if (!first) joined += Utf16Hex(u"\r\n");
        first = false;
        // A name that the store returns as an error value (no stream, over the inline limit), or
        // a name of another type, is an empty line; 8-bit names are converted with the ANSI code
        // page.
        if (IsString(name) && name.form != "nostream" && !OverInlineLimit(name)) joined += TextOf(name, GetACP());
    }
    return joined;
}

// Two texts as UTF-16LE hex; where they differ, the first difference with a little context
// (bodies are long).
::testing::AssertionResult SameText(const std::string& got, const std::string& want) {
    if (got == want) return ::testing::AssertionSuccess();
    const size_t common = std::min(got.size(), want.size());
    size_t at = 0;
    while (at < common && got[at] == want[at]) ++at;
    at -= at % 4;
    const size_t from = at > 16 ? at - 16 : 0;
    return ::testing::AssertionFailure()
           << "the texts differ from UTF-16 unit " << at / 4 << " (of " << got.size() / 4 << " read, "
           << want.size() / 4 << " expected): read ..." << got.substr(from, 64) << "..., expected ..."
           << want.substr(from, 64) << "...";
}

const char16_t* const kCatalogueValueNames[] = {
    u"SENDER_NAME", u"SENT_REPRESENTING_NAME", u"DISPLAY_TO", u"DISPLAY_CC", u"SUBJECT", u"BODY",
    u"CREATION_TIME", u"LAST_MODIFICATION_TIME", u"CLIENT_SUBMIT_TIME", u"MESSAGE_DELIVERY_TIME"};

// The card of an opened message against what the file holds. Times compare in the current zone.
void ExpectTheCardOf(IKivFileNavigator* navigator, const StoredMessage& stored) {
    using Kind = CardValue::Kind;
    ReadResult attachments = ReadOne(navigator, u"ATTACHMENTS");
    EXPECT_EQ(attachments.found, 1);
    EXPECT_TRUE(SameText(Utf16Hex(attachments.text), ExpectedAttachmentNames(stored))) << "ATTACHMENTS";
    const UINT bodyCodePage = BodyCodePage(stored);
    for (const char16_t* name : kCatalogueValueNames) {
        const std::string key = Narrow(name);
        SCOPED_TRACE(key);
        auto value = stored.values.find(key);
        ASSERT_NE(value, stored.values.end()) << "the reader reports every catalogue name";
        const CardValue want = ExpectedCardValue(key, value->second, bodyCodePage);
        ReadResult got = ReadOne(navigator, name);
        switch (want.kind) {
        case Kind::NotFound: EXPECT_EQ(got.found, 0); break;
        case Kind::Text:
            EXPECT_EQ(got.found, 1);
            EXPECT_EQ(got.vt, VT_BSTR);
            EXPECT_TRUE(SameText(Utf16Hex(got.text), want.text));
            break;
        case Kind::Error:
            EXPECT_EQ(got.found, 1);
            EXPECT_EQ(got.vt, VT_ERROR);
            EXPECT_EQ(static_cast<ULONG>(got.number), want.number);
            break;
        case Kind::Time: {
            ASSERT_EQ(got.vt, VT_DATE);
            FILETIME ft{static_cast<DWORD>(want.number), static_cast<DWORD>(want.number >> 32)};
            SYSTEMTIME wantFields{};
            ASSERT_TRUE(FileTimeToSystemTime(&ft, &wantFields));
            SYSTEMTIME gotFields = FromDate(got.real);
            EXPECT_EQ(gotFields.wYear, wantFields.wYear);
            EXPECT_EQ(gotFields.wMonth, wantFields.wMonth);
            EXPECT_EQ(gotFields.wDay, wantFields.wDay);
            EXPECT_EQ(gotFields.wHour, wantFields.wHour);
            EXPECT_EQ(gotFields.wMinute, wantFields.wMinute);
            EXPECT_EQ(gotFields.wSecond, wantFields.wSecond);
            break;
        }
        case Kind::OtherForm:
            EXPECT_EQ(got.hr, S_OK);
            EXPECT_EQ(got.found, 1);
            break;
        case Kind::NoCardForm: EXPECT_EQ(got.hr, E_OUTOFMEMORY) << "a value without a card form"; break;
        }
    }
}

TEST_F(Reading, EverySampleMessageReadsAsAnIndependentReaderSays) {
    ScopedZone utc("UTC");
    auto files = CorpusFiles();
    ASSERT_FALSE(files.empty());
    int compared = 0;
    for (const fs::path& file : files) {
        if (fs::file_size(file) == 0) continue;
        SCOPED_TRACE(file.string());
        std::string copy = CopyCorpus(file);
        const StoredMessage stored = ReadForCard(copy);
        ASSERT_EQ(stored.values.size(), 10u);
        auto navigator = Open(copy);
        ASSERT_TRUE(navigator);
        ExpectTheCardOf(navigator, stored);
        ++compared;
        navigator.Release();
        fs::remove(copy);
    }
    EXPECT_GT(compared, 40);
}

// A message with every kind of value whose card differs from the file by design.
msgwriter::MessageSpec MessageTheCardDepartsFrom() {
    std::string body;  // 日本語 in code page 932, over the inline limit
    while (body.size() <= kInlineLimitBytes) body += "\x93\xFA\x96\x7B\x8C\xEA\r\n";
    msgwriter::MessageSpec spec;
    spec.props = {
        msgwriter::Long(PR_INTERNET_CPID, 50220),  // ISO-2022-JP, kept in code page 932
        msgwriter::Long(PR_MESSAGE_CODEPAGE, 1251),
        msgwriter::Unicode(PR_SUBJECT_W, std::u16string(kInlineLimitBytes / 2 + 1, u'S')),  // over the limit
        msgwriter::Unicode(PR_DISPLAY_TO_W, std::u16string(kInlineLimitBytes / 2, u'T')),  // at the limit
        msgwriter::Unicode(PROP_TAG(PT_UNICODE, 0x0E03), u"loses its stream"),
        msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x0C1A), "Ren\xE9 \xC0\xE8 \x81"),  // 0x81: unassigned in 1252
        msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x0042), std::string(kInlineLimitBytes + 1, 'R')),  // over the limit
        msgwriter::Ansi(PR_BODY_A, body),
        msgwriter::Time(PR_CREATION_TIME, kJanuaryNoonUtc),
        msgwriter::Long(PROP_TAG(PT_LONG, 0x3008), 5),                // a number
        msgwriter::Error(0x0039, MAPI_E_NOT_FOUND),                   // an error value
        msgwriter::Binary(PROP_TAG(PT_BINARY, 0x0E06), {1, 2}),      // no card form
    };
    spec.attachments = {
        {{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE)}},  // no name
        {{msgwriter::Ansi(PR_ATTACH_LONG_FILENAME_A, "\xC0\xE8.txt")}},
        {{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"\u65E5\u672C.pdf")}},
        {{msgwriter::Long(PROP_TAG(PT_LONG, 0x3707), 7)}},  // a name of another type
        {{msgwriter::Ansi(PR_ATTACH_LONG_FILENAME_A, std::string(kInlineLimitBytes + 1, 'n'))}},  // over the limit
        {{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"last.txt")}},
    };
    return spec;
}

TEST_F(Reading, WhereTheCardDepartsFromTheFileItDoesSoByDesign) {
    ScopedZone utc("UTC");
    std::string path = Write(MessageTheCardDepartsFrom());
    {
        msgplugin::CComPtr<IStorage> storage;
        ASSERT_EQ(StgOpenStorage(Wide(path).c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE, nullptr, 0,
                                 &storage),
                  S_OK);
        ASSERT_EQ(storage->DestroyElement(u"__substg1.0_0E03001F"), S_OK);
        ASSERT_EQ(storage->Commit(STGC_DEFAULT), S_OK);
    }
    for (bool cyrillic : {false, true}) {
        if (cyrillic) {
            ASSERT_TRUE(platform::testing::SetAnsiCodePage(1251));
        }
        SCOPED_TRACE("ANSI code page " + std::to_string(GetACP()));
        const StoredMessage stored = ReadForCard(path);
        EXPECT_EQ(stored.values.at("SUBJECT").data.size(), 4 * (kInlineLimitBytes / 2 + 1)) << "read whole";
        EXPECT_EQ(stored.attachmentNames.size(), 6u);
        auto navigator = Open(path);
        ASSERT_TRUE(navigator);
        ExpectTheCardOf(navigator, stored);
    }
}

}  // namespace
}  // namespace msgtest
