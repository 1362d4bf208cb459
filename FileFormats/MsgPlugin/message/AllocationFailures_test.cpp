// Any allocation on the roads of opening, reading, writing and saving may fail. For each
// allocator and each of its calls in turn: opening fails with E_OUTOFMEMORY or the opening code
// (and nothing is left of the object), or it succeeds without the attachments it could not read
// (their names are collected without failing the open); reading fails with E_OUTOFMEMORY or
// leaves the body unread; whatever succeeded is the card the message holds, and once the
// allocations succeed again the same object reads that card again. Writing and saving report
// their failures and a failed save changes nothing.
#include "message/msgfile_test_support.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace msgtest {
namespace {

const char16_t* const kCard[] = {u"ATTACHMENTS", u"SENDER_NAME", u"SENT_REPRESENTING_NAME", u"DISPLAY_TO",
                                 u"DISPLAY_CC", u"SUBJECT", u"BODY", u"CREATION_TIME", u"LAST_MODIFICATION_TIME",
                                 u"CLIENT_SUBMIT_TIME", u"MESSAGE_DELIVERY_TIME"};

// The card's requests, made before any allocation is made to fail.
struct CardRequests {
    Requests requests;
    CardRequests() {
        for (const char16_t* name : kCard) requests.AddMsg(name);
    }
};

// The card as text: name -> found, type and value.
std::map<std::u16string, std::string> ReadCard(IKivFileNavigator* navigator, CardRequests& card, HRESULT* result) {
    for (LONG i = 0; i < card.requests.count(); ++i) {
        VariantClear(&card.requests[i].value);
        card.requests[i].found = 7;
    }
    *result = navigator->ReadVariables(0, 0, 0, card.requests.count(), card.requests.data());
    std::map<std::u16string, std::string> shown;
    for (size_t i = 0; i < std::size(kCard); ++i) {
        const VariableRequest& record = card.requests[i];
        std::string text = std::to_string(record.found) + "/" + std::to_string(record.value.vt) + "/";
        if (record.value.vt == VT_BSTR && std::u16string(kCard[i]) == u"BODY")
            text += std::to_string(Text(record.value).size()) + " characters";  // short in messages
        else if (record.value.vt == VT_BSTR)
            text += Narrow(Text(record.value));
        if (record.value.vt == VT_DATE) text += std::to_string(record.value.date);
        shown[kCard[i]] = text;
    }
    return shown;
}

// Whether the names of `shown` are some of those of `all`, in the same order.
bool SomeOfTheNames(const std::string& shown, const std::string& all) {
    auto lines = [](std::string text) {
        const size_t prefix = text.find('/', text.find('/') + 1) + 1;
        text = text.substr(prefix);
        std::vector<std::string> out;
        for (size_t at = 0; !text.empty();) {
            const size_t end = text.find("\r\n", at);
            out.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
            if (end == std::string::npos) break;
            at = end + 2;
        }
        return out;
    };
    const std::vector<std::string> part = lines(shown), whole = lines(all);
    size_t next = 0;
    for (const std::string& name : part) {
        while (next < whole.size() && whole[next] != name) ++next;
        if (next == whole.size()) return false;
        ++next;
    }
    return true;
}

class AllocationFailures : public MessageTest {
protected:
    std::string Sample() {
        msgwriter::MessageSpec spec;
        spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"Subject text"), msgwriter::Ansi(PROP_TAG(PT_STRING8, 0x0C1A), "Ann Sender"),
                      msgwriter::Unicode(PR_DISPLAY_TO_W, u"Bob; Carol"),
                      msgwriter::Unicode(PR_BODY_W, std::u16string(20000, u'b')),  // read through a stream
                      msgwriter::Time(PR_CREATION_TIME, 133000000000000000ULL)};
        spec.attachments.push_back({{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"report.pdf")}});
        spec.attachments.push_back({{msgwriter::Ansi(PR_ATTACH_LONG_FILENAME_A, "notes.txt")}});
        return Write(spec);
    }
    // Opens with a path made beforehand, so only the plug-in's own allocations are counted.
    msgplugin::CComPtr<IKivFileNavigator> OpenPrepared(BSTR path, HRESULT* result) {
        msgplugin::CComPtr<IKivFileNavigator> navigator;
        *result = msgplugin::CMsgFile::OpenInProcess(path, &navigator);
        return navigator;
    }
};

TEST_F(AllocationFailures, EachAllocationInTurnFailsCleanly) {
    const std::string path = Sample();
    msgplugin::CComBSTR pathText;
    pathText.Attach(SysAllocString(Wide(path).c_str()));
    CardRequests requests;
    std::map<std::u16string, std::string> reference;
    {
        HRESULT opened = E_FAIL, read = E_FAIL;
        auto navigator = OpenPrepared(pathText, &opened);
        ASSERT_EQ(opened, S_OK);
        reference = ReadCard(navigator, requests, &read);
        ASSERT_EQ(read, S_OK);
        ASSERT_EQ(reference[u"SUBJECT"], "1/8/Subject text");
        ASSERT_EQ(reference[u"ATTACHMENTS"], "1/8/report.pdf\r\nnotes.txt");
    }
    struct Allocator {
        const char* name;
        bool returnsPointer;
    };
    const Allocator allocators[] = {{"HeapAlloc", true},          {"HeapReAlloc", true},   {"SysAllocString", true},
                                    {"SysAllocStringLen", true},  {"MAPIAllocateBuffer", false},
                                    {"MAPIAllocateMore", false}};
    int failuresSeen = 0;
    for (const Allocator& allocator : allocators) {
        for (unsigned nth = 1; nth < 400; ++nth) {
            SCOPED_TRACE(std::string(allocator.name) + " call " + std::to_string(nth));
            platform::testing::ResetFaults();
            if (allocator.returnsPointer)
                platform::testing::ReturnNullOnNthCall(allocator.name, nth);
            else
                platform::testing::FailNthCall(allocator.name, nth, MAPI_E_NOT_ENOUGH_MEMORY);
            HRESULT opened = E_FAIL, read = S_OK;
            auto navigator = OpenPrepared(pathText, &opened);
            std::map<std::u16string, std::string> card;
            if (opened == S_OK) card = ReadCard(navigator, requests, &read);
            const bool reached = platform::testing::CallCount(allocator.name) >= nth;
            platform::testing::ResetFaults();
            if (!reached) {
                // Every allocation of the road succeeded: the whole card.
                EXPECT_EQ(opened, S_OK);
                EXPECT_EQ(read, S_OK);
                EXPECT_EQ(card, reference);
                break;
            }
            ++failuresSeen;
            if (opened != S_OK) {
                EXPECT_TRUE(opened == E_OUTOFMEMORY || opened == E_MSG_OPEN_FAILED) << std::hex << opened;
                EXPECT_FALSE(navigator);
                continue;
            }
            EXPECT_TRUE(read == S_OK || read == E_OUTOFMEMORY) << std::hex << read;
            // The object stays usable: its card once allocations succeed.
            HRESULT again = E_FAIL;
            std::map<std::u16string, std::string> whole = ReadCard(navigator, requests, &again);
            EXPECT_EQ(again, S_OK);
            EXPECT_TRUE(SomeOfTheNames(whole[u"ATTACHMENTS"], reference[u"ATTACHMENTS"])) << whole[u"ATTACHMENTS"];
            for (const auto& [name, value] : reference) {
                if (name == u"ATTACHMENTS") continue;
                EXPECT_EQ(whole[name], value) << Narrow(name);
                // What the failing read gave is that card, but for a body it could not read.
                if (read == S_OK && !(name == u"BODY" && card[name].rfind("0/", 0) == 0)) {
                    EXPECT_EQ(card[name], value) << Narrow(name);
                }
            }
        }
    }
    EXPECT_GT(failuresSeen, 20) << "the roads allocate";
}

TEST_F(AllocationFailures, WritingAndSavingReportTheirFailures) {
    const std::string path = Sample();
    for (const char* allocator : {"SysAllocString", "VariantCopy", "MAPIAllocateBuffer", "HeapAlloc"}) {
        for (unsigned nth = 1; nth < 100; ++nth) {
            SCOPED_TRACE(std::string(allocator) + " call " + std::to_string(nth));
            HRESULT opened = E_FAIL;
            auto navigator = Open(path, &opened);
            ASSERT_EQ(opened, S_OK);
            Requests requests;
            requests.AddValue(u"SUBJECT", BstrValue(u"Changed subject"));
            platform::testing::ResetFaults();
            if (std::string(allocator) == "VariantCopy" || std::string(allocator) == "MAPIAllocateBuffer")
                platform::testing::FailNthCall(allocator, nth, E_OUTOFMEMORY);
            else
                platform::testing::ReturnNullOnNthCall(allocator, nth);
            const HRESULT written = navigator->WriteVariables(0, 0, 0, requests.count(), requests.data());
            const HRESULT saved = SUCCEEDED(written) ? navigator->Save() : S_OK;
            const bool reached = platform::testing::CallCount(allocator) >= nth;
            platform::testing::ResetFaults();
            navigator.Release();
            HRESULT reopened = E_FAIL;
            auto check = Open(path, &reopened);
            ASSERT_EQ(reopened, S_OK);
            const std::u16string subject = ReadOne(check, u"SUBJECT").text;
            // Back to the original for the next round.
            Requests restore;
            restore.AddValue(u"SUBJECT", BstrValue(u"Subject text"));
            ASSERT_EQ(check->WriteVariables(0, 0, 0, restore.count(), restore.data()), S_OK);
            ASSERT_EQ(check->Save(), S_OK);
            if (!reached) {
                EXPECT_EQ(written, S_OK);
                EXPECT_EQ(saved, S_OK);
                EXPECT_EQ(subject, u"Changed subject");
                break;
            }
            EXPECT_TRUE(FAILED(written) || FAILED(saved) || subject == u"Changed subject")
                << "a failure is reported, or the change is whole";
            if (FAILED(written) || FAILED(saved)) {
                EXPECT_EQ(subject, u"Subject text") << "a failed save changes nothing";
            }
        }
    }
}

}  // namespace
}  // namespace msgtest
