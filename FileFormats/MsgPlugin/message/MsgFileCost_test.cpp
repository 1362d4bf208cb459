// A card costs what the card holds, not what the message holds: the storage reads that opening
// a message and reading its whole card makes do not change with what is not on the card (the
// contents of attachments, embedded messages, other bodies). Measured as calls of the storage's
// reading operations; the control shows those calls do follow what the card does hold.
#include <random>

#include "message/msgfile_test_support.h"
#include "testing/message_chain.h"

namespace msgtest {
namespace {

constexpr ULONGLONG kJanuaryNoonUtc = 134129520000000000ULL;

const char16_t* const kCard[] = {u"ATTACHMENTS", u"SENDER_NAME", u"SENT_REPRESENTING_NAME", u"DISPLAY_TO",
                                 u"DISPLAY_CC", u"SUBJECT", u"BODY", u"CREATION_TIME", u"LAST_MODIFICATION_TIME",
                                 u"CLIENT_SUBMIT_TIME", u"MESSAGE_DELIVERY_TIME"};

// Operations through which the message store reads a file.
const char* const kReads[] = {"IStorageDirectRead::ReadElement", "IStorageDirectRead::FindElement",
                              "IStorageDirectRead::NextElements", "IStream::Read", "IStorage::OpenStream",
                              "IStorage::OpenStorage"};

msgwriter::MessageSpec CardOnly(const std::u16string& body = u"A short text body.") {
    msgwriter::MessageSpec spec;
    spec.props = {msgwriter::Unicode(PR_SUBJECT_W, u"Quarterly figures"),
                  msgwriter::Unicode(PR_SENDER_NAME_W, u"Ann Example"),
                  msgwriter::Unicode(PR_DISPLAY_TO_W, u"Bo Example"), msgwriter::Unicode(PR_BODY_W, body),
                  msgwriter::Time(PR_CREATION_TIME, kJanuaryNoonUtc)};
    return spec;
}

msgwriter::AttachmentSpec FileAttachment(const std::u16string& name, size_t size, unsigned seed) {
    std::vector<BYTE> data(size);
    std::mt19937 random(seed);
    for (BYTE& b : data) b = static_cast<BYTE>(random());
    return {{msgwriter::Long(PR_ATTACH_METHOD, ATTACH_BY_VALUE), msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, name),
             msgwriter::Binary(PR_ATTACH_DATA_BIN, std::move(data))}};
}

// A chain of `depth` messages, each embedded in the one before; the innermost has an attachment.
msgwriter::MessageSpec Chain(int depth) {
    msgwriter::MessageSpec innermost = CardOnly(u"the innermost body");
    innermost.attachments.push_back(FileAttachment(u"deepest.bin", 40000, 7));
    return platform::testing::EmbeddedChain(innermost, depth, CardOnly(u"a forwarded body"));
}

class CardCost : public MessageTest {
protected:
    // Opens the message, reads every card variable, releases it: the card and the reads it took.
    std::pair<std::vector<std::u16string>, std::vector<unsigned>> ReadCard(const std::string& path) {
        for (const char* operation : kReads) platform::testing::CountCalls(operation);
        std::vector<std::u16string> card;
        {
            HRESULT hr = E_FAIL;
            auto navigator = Open(path, &hr);
            EXPECT_EQ(hr, S_OK) << path;
            if (!navigator) return {};
            for (const char16_t* name : kCard) {
                const ReadResult result = ReadOne(navigator, name);
                card.push_back(result.text + u"|" + std::u16string(1, char16_t(u'0' + result.found)));
            }
        }
        std::vector<unsigned> reads;
        for (const char* operation : kReads) reads.push_back(platform::testing::CallCount(operation));
        platform::testing::ResetFaults();
        return {card, reads};
    }
    static unsigned Total(const std::vector<unsigned>& reads) {
        unsigned total = 0;
        for (unsigned n : reads) total += n;
        return total;
    }
};

TEST_F(CardCost, AttachmentContentsAreNotReadOnSeededRandomMessages) {
    // Above the store's inline limit an attachment's contents are nothing GetProps must return
    // whole, so how large they are must not change a single read.
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        std::mt19937 random(seed);
        const int count = std::uniform_int_distribution<int>(1, 4)(random);
        msgwriter::MessageSpec small = CardOnly(), large = CardOnly();
        for (int i = 0; i < count; ++i) {
            const std::u16string name = u"part" + std::u16string(1, char16_t(u'a' + i)) + u".bin";
            small.attachments.push_back(FileAttachment(name, 16385 + (random() % 1000), seed + i));
            large.attachments.push_back(FileAttachment(name, (1u << 20) + (random() % (3u << 20)), seed + i));
        }
        const auto [smallCard, smallReads] = ReadCard(Write(small, "small.msg"));
        const auto [largeCard, largeReads] = ReadCard(Write(large, "large.msg"));
        EXPECT_EQ(smallCard, largeCard);
        EXPECT_GT(Total(smallReads), 0u);
        EXPECT_EQ(smallReads, largeReads);
    }
}

TEST_F(CardCost, EmbeddedMessagesAndOtherBodiesAreNotRead) {
    const auto [shallowCard, shallowReads] = ReadCard(Write(Chain(1), "shallow.msg"));
    const auto [deepCard, deepReads] = ReadCard(Write(Chain(10), "deep.msg"));
    EXPECT_EQ(deepReads, ReadCard(Write(Chain(2), "two.msg")).second);
    EXPECT_NE(shallowCard, deepCard);  // one holds a file, the other a forwarded message
    EXPECT_GT(Total(deepReads), 0u);

    msgwriter::MessageSpec smallHtml = CardOnly(), largeHtml = CardOnly();
    smallHtml.props.push_back(msgwriter::Binary(PR_HTML, std::vector<BYTE>(20000, 'h')));
    largeHtml.props.push_back(msgwriter::Binary(PR_HTML, std::vector<BYTE>(5u << 20, 'h')));
    const auto [smallCard, smallReads] = ReadCard(Write(smallHtml, "small-html.msg"));
    const auto [largeCard, largeReads] = ReadCard(Write(largeHtml, "large-html.msg"));
    EXPECT_EQ(smallCard, largeCard);
    EXPECT_EQ(smallReads, largeReads);
}

TEST_F(CardCost, TheReadsFollowWhatTheCardHolds) {
    // The control: a longer body, which is on the card, takes more reads.
    const auto [shortCard, shortReads] = ReadCard(Write(CardOnly(std::u16string(20000, u'b')), "short.msg"));
    const auto [longCard, longReads] = ReadCard(Write(CardOnly(std::u16string(1u << 20, u'b')), "long.msg"));
    EXPECT_NE(shortCard, longCard);
    EXPECT_GT(Total(longReads), Total(shortReads));
}

}  // namespace
}  // namespace msgtest
