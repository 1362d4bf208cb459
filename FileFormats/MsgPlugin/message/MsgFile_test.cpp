// Opening a message: the storage and MAPI roads, their failures and log entries, the value
// cache and the attachment names.
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>

#include "message/msgfile_test_support.h"
#include "testing/processes.h"

namespace msgtest {
namespace {

using msgplugin::CMsgFile;
using msgplugin::Module;
using msgplugin::TAG_ATTACHMENTS;

msgwriter::MessageSpec SimpleMessage() {
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"Quarterly figures"),
                  msgwriter::Unicode(PR_SENDER_NAME_W, u"Ann Example"), msgwriter::Long(0x00170003, 1)};
    return spec;
}

msgwriter::AttachmentSpec Attachment(std::vector<msgwriter::PropSpec> props) {
    msgwriter::AttachmentSpec attachment;
    attachment.props = std::move(props);
    attachment.props.push_back(msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE));
    return attachment;
}

std::u16string AttachmentNames(IKivFileNavigator* navigator) {
    msgplugin::_SPropValue_t names;
    EXPECT_TRUE(MessageTest::Object(navigator)->m_tags.Find(TAG_ATTACHMENTS, names));
    return names.Value.lpszW ? names.Value.lpszW : u"<null>";
}

class Opening : public MessageTest {};

TEST_F(Opening, OpensAndCachesEveryPropertyThenTheAttachmentNames) {
    msgwriter::MessageSpec spec = SimpleMessage();
    spec.attachments = {Attachment({msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.pdf")}),
                        Attachment({msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"b.txt")})};
    const LONG locksBefore = Module().GetLockCount();
    HRESULT hr = E_FAIL;
    auto navigator = Open(Write(spec), &hr);
    ASSERT_EQ(hr, S_OK);
    ASSERT_TRUE(navigator);
    EXPECT_EQ(Module().GetLockCount(), locksBefore + 1) << "a live message object holds one module lock";

    CMsgFile* object = Object(navigator);
    const auto& entries = object->m_tags.Entries();
    ASSERT_GE(entries.size(), 4u);
    EXPECT_EQ(entries.back().value.ulPropTag, TAG_ATTACHMENTS);
    EXPECT_EQ(AttachmentNames(navigator), u"a.pdf\r\nb.txt");
    for (size_t i = 0; i + 1 < entries.size(); ++i) {
        EXPECT_EQ(entries[i].value.ulPropTag, object->m_pProps[i].ulPropTag);
        EXPECT_EQ(0, std::memcmp(&entries[i].value.Value, &object->m_pProps[i].Value, sizeof(entries[i].value.Value)))
            << "entries share the property array's payloads";
        EXPECT_FALSE(entries[i].modified);
    }
    EXPECT_TRUE(LogEntries().empty());
    navigator.Release();
    EXPECT_EQ(Module().GetLockCount(), locksBefore);
}

TEST_F(Opening, AttachmentNameRules) {
    msgwriter::MessageSpec none = SimpleMessage();
    auto navigator = Open(Write(none, "none.msg"));
    ASSERT_TRUE(navigator);
    EXPECT_EQ(AttachmentNames(navigator), u"");
    navigator.Release();

    msgwriter::MessageSpec mixed = SimpleMessage();
    mixed.attachments = {
        Attachment({msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.pdf")}),
        Attachment({msgwriter::Unicode(PR_DISPLAY_NAME_W, u"no long file name")}),
        Attachment({msgwriter::Error(0x3707, static_cast<SCODE>(MAPI_E_NOT_FOUND))}),
        Attachment({msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"b.txt")}),
    };
    navigator = Open(Write(mixed, "mixed.msg"));
    ASSERT_TRUE(navigator);
    EXPECT_EQ(AttachmentNames(navigator), u"a.pdf\r\n\r\nb.txt")
        << "a missing name adds nothing, an error-typed one an empty line";
}

TEST_F(Opening, EightBitAttachmentNamesUseTheAnsiCodePage) {
    msgwriter::MessageSpec spec = SimpleMessage();
    spec.attachments = {Attachment({msgwriter::Ansi(0x3707001E, "\xCF\xF0\xE8\xE2\xE5\xF2.txt")}),
                        Attachment({msgwriter::Ansi(0x3707001E, "\x83\x65\x83\x58\x83\x67.doc")})};
    std::string path = Write(spec);

    platform::testing::SetAnsiCodePage(1251);
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    std::u16string names = AttachmentNames(navigator);
    EXPECT_EQ(names.substr(0, names.find(u'\r')), u"\u041F\u0440\u0438\u0432\u0435\u0442.txt");
    navigator.Release();

    platform::testing::SetAnsiCodePage(932);
    navigator = Open(path);
    ASSERT_TRUE(navigator);
    names = AttachmentNames(navigator);
    EXPECT_EQ(names.substr(names.find(u'\n') + 1), u"\u30C6\u30B9\u30C8.doc");
}

TEST_F(Opening, AttachmentFailuresLeaveNamesOutButOpen) {
    msgwriter::MessageSpec spec = SimpleMessage();
    spec.attachments = {Attachment({msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.pdf")}),
                        Attachment({msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"b.txt")})};
    std::string path = Write(spec);
    struct Case {
        const char* operation;
        unsigned nth;
        const char16_t* names;
    } cases[] = {
        {"IMessage::GetAttachmentTable", 1, u""},
        {"HrQueryAllRows", 1, u""},
        {"IMessage::OpenAttach", 1, u"b.txt"},
        {"IAttach::GetProps", 2, u"a.pdf"},
    };
    for (const Case& c : cases) {
        platform::testing::ResetFaults();
        platform::testing::FailNthCall(c.operation, c.nth, E_ACCESSDENIED);
        HRESULT hr = E_FAIL;
        auto navigator = Open(path, &hr);
        ASSERT_EQ(hr, S_OK) << c.operation;
        EXPECT_EQ(AttachmentNames(navigator), c.names) << c.operation;
    }
    EXPECT_TRUE(LogEntries().empty()) << "attachment failures are not logged";
}

// Expects exactly one log entry of the opening road.
void ExpectOneOpeningEntry(const std::vector<LogEntry>& entries, HRESULT code, const std::u16string& message,
                           const char16_t* function = u"CMsgFile::mhInitialize") {
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].resultCode, code);
    EXPECT_EQ(entries[0].category, 0x2000u);
    EXPECT_EQ(entries[0].functionName, function);
    EXPECT_EQ(entries[0].message, message);
}

TEST_F(Opening, StorageFailuresMapToTheHostsCodes) {
    const LONG locksBefore = Module().GetLockCount();
    std::string missing = (Dir() / "missing.msg").string();
    HRESULT hr = S_OK;
    EXPECT_FALSE(Open(missing, &hr));
    EXPECT_EQ(hr, E_MSG_OPEN_FAILED);
    ExpectOneOpeningEntry(LogEntries(), STG_E_FILENOTFOUND, u"Failed: StgOpenStorage " + Wide(missing));
    EXPECT_EQ(Module().GetLockCount(), locksBefore);

    fs::remove(LogPath());
    std::string text = (Dir() / "text.msg").string();
    std::ofstream(text) << "not a compound file, just some text long enough to be looked at";
    EXPECT_FALSE(Open(text, &hr));
    EXPECT_EQ(hr, E_MSG_OPEN_FAILED);
    ASSERT_EQ(LogEntries().size(), 1u);
    EXPECT_NE(LogEntries()[0].resultCode, S_OK);
    EXPECT_EQ(LogEntries()[0].message, u"Failed: StgOpenStorage " + Wide(text));

    fs::remove(LogPath());
    std::string readOnly = Write(SimpleMessage(), "readonly.msg");
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    EXPECT_FALSE(Open(readOnly, &hr));
    EXPECT_EQ(hr, E_MSG_FILE_LOCKED);
    ExpectOneOpeningEntry(LogEntries(), STG_E_ACCESSDENIED, u"Failed: StgOpenStorage " + Wide(readOnly));
    EXPECT_EQ(Module().GetLockCount(), locksBefore);
}

TEST_F(Opening, NullPathIsReportedLikeAnyOtherFailure) {
    msgplugin::CComPtr<IKivFileNavigator> navigator;
    EXPECT_EQ(CMsgFile::OpenInProcess(nullptr, &navigator), E_MSG_OPEN_FAILED);
    EXPECT_FALSE(navigator);
    ASSERT_EQ(LogEntries().size(), 1u);
    EXPECT_EQ(LogEntries()[0].message, u"Failed: StgOpenStorage ");
    EXPECT_EQ(LogEntries()[0].resultCode, STG_E_INVALIDNAME);
}

TEST_F(Opening, FileHeldByAnotherMessageOrProcessIsLocked) {
    std::string path = Write(SimpleMessage());
    auto first = Open(path);
    ASSERT_TRUE(first);
    HRESULT hr = S_OK;
    EXPECT_FALSE(Open(path, &hr));
    EXPECT_EQ(hr, E_MSG_FILE_LOCKED);
    ExpectOneOpeningEntry(LogEntries(), STG_E_SHAREVIOLATION, u"Failed: StgOpenStorage " + Wide(path));
    first.Release();
    EXPECT_TRUE(Open(path, &hr)) << "the lock ends with the last release";

    // Another process holds it.
    {
        IStorage* storage = nullptr;
        platform::testing::HeldByAnotherProcess other(
            [&] {
                return SUCCEEDED(StgOpenStorage(Wide(path).c_str(), nullptr, STGM_READWRITE | STGM_SHARE_EXCLUSIVE,
                                                nullptr, 0, &storage));
            },
            [&] { if (storage) storage->Release(); });
        ASSERT_TRUE(other.Holding());
        fs::remove(LogPath());
        EXPECT_FALSE(Open(path, &hr));
        EXPECT_EQ(hr, E_MSG_FILE_LOCKED);
        EXPECT_EQ(LogEntries().size(), 1u);
    }
    EXPECT_TRUE(Open(path, &hr));
}

TEST_F(Opening, MapiStartFailingTwiceIsLoggedOnceAndOpeningGoesOn) {
    ASSERT_EQ(MAPIInitialize(nullptr), S_OK);  // one start of the test's own
    const long startsBefore = platform::testing::MapiInitializeCount();
    platform::testing::FailNthCall("MAPIInitialize", 1, MAPI_E_CALL_FAILED, 2);
    HRESULT hr = E_FAIL;
    auto navigator = Open(Write(SimpleMessage()), &hr);
    EXPECT_EQ(hr, S_OK);
    ASSERT_TRUE(navigator);
    EXPECT_EQ(platform::testing::CallCount("MAPIInitialize"), 2u);
    ExpectOneOpeningEntry(LogEntries(), MAPI_E_CALL_FAILED,
                          u"MAPIInitialize with MAPI_NO_COINIT and MAPI_MULTITHREAD_NOTIFICATIONS failed.",
                          u"CMsgFile::CMsgFile");
    navigator.Release();
    EXPECT_EQ(platform::testing::MapiInitializeCount(), startsBefore)
        << "an object whose start failed ends no use of MAPI, least of all the caller's own";
    MAPIUninitialize();
}

TEST_F(Opening, SecondMapiStartIsTriedWithItsFlags) {
    const std::string path = Write(SimpleMessage());
    auto first = Open(path);
    ASSERT_TRUE(first);
    EXPECT_EQ(platform::testing::MapiLastInitializeFlags(), -1) << "the first start passes no block";
    first.Release();

    platform::testing::FailNthCall("MAPIInitialize", 1, MAPI_E_CALL_FAILED);
    const long startsBefore = platform::testing::MapiInitializeCount();
    auto navigator = Open(path);
    ASSERT_TRUE(navigator);
    EXPECT_EQ(platform::testing::MapiInitializeCount(), startsBefore + 1);
    EXPECT_EQ(platform::testing::MapiLastInitializeFlags(), static_cast<long>(MAPI_NO_COINIT | MAPI_MULTITHREAD_NOTIFICATIONS));
    EXPECT_TRUE(LogEntries().empty());
}

TEST_F(Opening, ALockViolationOfTheStorageIsALockedFile) {
    const std::string path = Write(SimpleMessage());
    platform::testing::FailNthCall("StgOpenStorage", 1, STG_E_LOCKVIOLATION);
    HRESULT hr = S_OK;
    EXPECT_FALSE(Open(path, &hr));
    EXPECT_EQ(hr, E_MSG_FILE_LOCKED);
    ExpectOneOpeningEntry(LogEntries(), STG_E_LOCKVIOLATION, u"Failed: StgOpenStorage " + Wide(path));
}

TEST_F(Opening, AllocatorFallbacks) {
    std::string path = Write(SimpleMessage());
    const LONG locksBefore = Module().GetLockCount();

    platform::testing::ReturnNullOnNthCall("MAPIGetDefaultMalloc", 1);
    HRESULT hr = E_FAIL;
    EXPECT_TRUE(Open(path, &hr));
    EXPECT_EQ(hr, S_OK) << "the task allocator stands in";
    ExpectOneOpeningEntry(LogEntries(), S_OK, u"MAPIGetDefaultMalloc returned NULL - trying with CoGetMalloc instead.");

    fs::remove(LogPath());
    platform::testing::ResetFaults();
    platform::testing::ReturnNullOnNthCall("MAPIGetDefaultMalloc", 1);
    platform::testing::FailNthCall("CoGetMalloc", 1, E_ACCESSDENIED);
    EXPECT_FALSE(Open(path, &hr));
    EXPECT_EQ(hr, E_ACCESSDENIED) << "CoGetMalloc's code comes back unchanged";
    auto entries = LogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].message, u"CoGetMalloc returned error");
    EXPECT_EQ(entries[1].resultCode, E_ACCESSDENIED);

    fs::remove(LogPath());
    platform::testing::ResetFaults();
    platform::testing::ReturnNullOnNthCall("MAPIGetDefaultMalloc", 1);
    platform::testing::FailNthCall("CoGetMalloc", 1, S_OK);  // succeeds without an allocator
    EXPECT_FALSE(Open(path, &hr));
    EXPECT_EQ(hr, E_MSG_OPEN_FAILED);
    entries = LogEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[1].message, u"CoGetMalloc returned NULL.");
    EXPECT_EQ(entries[1].resultCode, S_OK);
    EXPECT_EQ(Module().GetLockCount(), locksBefore);
    // The storage was released: the file opens again.
    platform::testing::ResetFaults();
    EXPECT_TRUE(Open(path, &hr));
}

TEST_F(Opening, MessageFailures) {
    std::string path = Write(SimpleMessage());
    const LONG locksBefore = Module().GetLockCount();
    const long buffersBefore = platform::testing::MapiBuffersInUse();

    platform::testing::FailNthCall("OpenIMsgOnIStg", 1, MAPI_E_NO_ACCESS);
    HRESULT hr = S_OK;
    EXPECT_FALSE(Open(path, &hr));
    EXPECT_EQ(hr, E_MSG_OPEN_FAILED);
    ExpectOneOpeningEntry(LogEntries(), MAPI_E_NO_ACCESS, u"Failed: OpenIMsgOnIStg " + Wide(path));

    fs::remove(LogPath());
    platform::testing::ResetFaults();
    platform::testing::FailNthCall("IMessage::GetProps", 1, MAPI_E_CORRUPT_DATA);
    EXPECT_FALSE(Open(path, &hr));
    EXPECT_EQ(hr, E_MSG_OPEN_FAILED);
    ExpectOneOpeningEntry(LogEntries(), MAPI_E_CORRUPT_DATA, u"Failed: GetProps " + Wide(path));

    EXPECT_EQ(Module().GetLockCount(), locksBefore);
    EXPECT_EQ(platform::testing::MapiBuffersInUse(), buffersBefore);
    platform::testing::ResetFaults();
    EXPECT_TRUE(Open(path, &hr)) << "every failure released the file";
}

TEST_F(Opening, WarningsFromGetPropsAreCachedAsErrorValues) {
    msgwriter::MessageSpec spec = SimpleMessage();
    spec.props.push_back(msgwriter::Unicode(PR_BODY_W, std::u16string(9000, u'b')));  // above the 16 KiB limit
    auto navigator = Open(Write(spec));
    ASSERT_TRUE(navigator);
    const msgplugin::_SPropValue_t* body = Object(navigator)->m_tags.Lookup(PR_BODY_W);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(PROP_TYPE(body->ulPropTag), static_cast<ULONG>(PT_ERROR));
    EXPECT_EQ(body->Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
}

TEST_F(Opening, ObjectFromItsClassIsEmpty) {
    const long startsBefore = platform::testing::MapiInitializeCount();
    {
        msgplugin::ComObject<CMsgFile> unopened(nullptr);
        EXPECT_EQ(platform::testing::MapiInitializeCount(), startsBefore + 1);
        EXPECT_TRUE(unopened.m_tags.Entries().empty());
        EXPECT_FALSE(unopened.m_pMessage);
    }
    EXPECT_EQ(platform::testing::MapiInitializeCount(), startsBefore);
}

// Every sample message opens; its cache holds GetProps' values in order, then the names.
TEST_F(Opening, EverySampleMessageOpens) {
    auto files = CorpusFiles();
    ASSERT_FALSE(files.empty()) << "no sample messages under " << CorpusDir();
    int opened = 0;
    for (const fs::path& file : files) {
        if (fs::file_size(file) == 0) continue;  // an empty file is no message
        std::string copy = CopyCorpus(file);
        HRESULT hr = E_FAIL;
        auto navigator = Open(copy, &hr);
        ASSERT_EQ(hr, S_OK) << file;
        CMsgFile* object = Object(navigator);
        const auto& entries = object->m_tags.Entries();
        ASSERT_FALSE(entries.empty());
        EXPECT_EQ(entries.back().value.ulPropTag, TAG_ATTACHMENTS) << file;
        for (size_t i = 0; i + 1 < entries.size(); ++i)
            ASSERT_EQ(entries[i].value.ulPropTag, object->m_pProps[i].ulPropTag) << file << " entry " << i;
        ++opened;
        navigator.Release();
        fs::remove(copy);
    }
    EXPECT_GT(opened, 40);
}

}  // namespace
}  // namespace msgtest
