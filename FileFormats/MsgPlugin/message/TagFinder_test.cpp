#include "message/TagFinder.h"

#include <gtest/gtest.h>

#include <string>

namespace msgplugin {
namespace {

SPropValue UnicodeValue(ULONG tag, const char16_t* text) {
    SPropValue value{};
    value.ulPropTag = tag;
    value.Value.lpszW = const_cast<LPWSTR>(text);
    return value;
}

SPropValue LongValue(ULONG tag, LONG number) {
    SPropValue value{};
    value.ulPropTag = tag;
    value.Value.l = number;
    return value;
}

TEST(TagFinderNames, CatalogueLookupIgnoresCaseButNothingElse) {
    struct Case {
        const char16_t* name;
        ULONG tag;
        bool readOnly;
    } cases[] = {
        {u"SUBJECT", 0x0037001F, false},   {u"subject", 0x0037001F, false},
        {u"SuBjEcT", 0x0037001F, false},   {u"ATTACHMENTS", TAG_ATTACHMENTS, true},
        {u"attachments", TAG_ATTACHMENTS, true}, {u"BODY", 0x1000001F, false},
        {u"message_delivery_time", 0x0E060040, false}, {u"SENDER_NAME", 0x0C1A001F, false},
    };
    for (const Case& c : cases) {
        bool readOnly = !c.readOnly;
        EXPECT_EQ(TagFinder::TagFromName(c.name, &readOnly), c.tag) << std::string(c.name, c.name + 5);
        EXPECT_EQ(readOnly, c.readOnly);
    }
    for (const char16_t* outside : {u"SUBJECT ", u" SUBJECT", u"PR_SUBJECT", u"", u"SUBJ", u"3604511"}) {
        bool readOnly = true;
        EXPECT_EQ(TagFinder::TagFromName(outside, &readOnly), TAG_NOT_IN_CATALOGUE);
        EXPECT_TRUE(readOnly) << "a name outside the catalogue writes nothing through the flag";
    }
    EXPECT_EQ(TagFinder::TagFromName(nullptr), TAG_NOT_IN_CATALOGUE);
}

TEST(TagFinderCache, FindMatchesByIdentifierAndCarriesTheStoredTag) {
    TagFinder cache;
    cache.Add(UnicodeValue(0x0037001F, u"Hello"));
    cache.Add(LongValue(0x00170003, 5));

    _SPropValue_t found;
    ASSERT_TRUE(cache.Find(0x00370003, found));
    EXPECT_EQ(found.ulPropTag, 0x0037001Fu);
    EXPECT_EQ(std::u16string(found.Value.lpszW), u"Hello");
    ASSERT_TRUE(cache.Find(0x0037001E, found));
    EXPECT_EQ(found.ulPropTag, 0x0037001Fu);

    _SPropValue_t untouched;
    untouched.ulPropTag = 0x12345678;
    EXPECT_FALSE(cache.Find(0x0E1D001F, untouched));
    EXPECT_EQ(untouched.ulPropTag, 0x12345678u) << "a miss leaves the output unchanged";
}

TEST(TagFinderCache, PseudoEntryMatchesOnlyItsExactTagAndOwnsItsText) {
    TagFinder cache;
    cache.Add(UnicodeValue(0xFFFF001F, u"property FFFF"));
    std::u16string names = u"a.pdf\r\nb.txt";
    cache.Add(UnicodeValue(TAG_ATTACHMENTS, names.c_str()));
    names.assign(names.size(), u'x');  // the cache keeps its own copy

    _SPropValue_t found;
    ASSERT_TRUE(cache.Find(TAG_ATTACHMENTS, found));
    EXPECT_EQ(std::u16string(found.Value.lpszW), u"a.pdf\r\nb.txt");
    EXPECT_TRUE(found.OwnsText());
    EXPECT_NE(found.Value.lpszW, cache.Entries()[1].value.Value.lpszW) << "the copy owns a separate text";
    found.Clear();
    ASSERT_TRUE(cache.Find(TAG_ATTACHMENTS, found));
    EXPECT_EQ(std::u16string(found.Value.lpszW), u"a.pdf\r\nb.txt") << "releasing a copy leaves the entry intact";

    // 0xFFFF001F reaches the property with identifier 0xFFFF, never the pseudo entry.
    ASSERT_TRUE(cache.Find(0xFFFF001F, found));
    EXPECT_EQ(std::u16string(found.Value.lpszW), u"property FFFF");
    TagFinder onlyPseudo;
    onlyPseudo.Add(UnicodeValue(TAG_ATTACHMENTS, u""));
    EXPECT_FALSE(onlyPseudo.Find(0xFFFF001F, found));
    EXPECT_TRUE(onlyPseudo.Find(TAG_ATTACHMENTS, found));
}

TEST(TagFinderCache, ReplaceRules) {
    TagFinder cache;
    cache.Add(UnicodeValue(0x0037001E, nullptr));
    cache.Add(UnicodeValue(TAG_ATTACHMENTS, u"a.pdf"));

    _SPropValue_t missing;
    missing.SetText(u"x", 0x0E1D001F);
    EXPECT_FALSE(cache.Replace(missing));
    EXPECT_FALSE(cache.Entries()[0].modified);

    _SPropValue_t pseudo;
    pseudo.SetText(u"evil.exe", TAG_ATTACHMENTS);
    EXPECT_FALSE(cache.Replace(pseudo));
    _SPropValue_t pseudoNumber;
    static_cast<SPropValue&>(pseudoNumber) = LongValue(TAG_ATTACHMENTS, 1);
    EXPECT_FALSE(cache.Replace(pseudoNumber));
    EXPECT_FALSE(cache.Entries()[1].modified);

    _SPropValue_t first, second;
    first.SetText(u"first", 0x0037001F);
    second.SetText(u"second", 0x0037001F);
    ASSERT_TRUE(cache.Replace(first));
    ASSERT_TRUE(cache.Replace(second));
    second.SetText(u"changed after", 0x0037001F);  // the entry keeps its own copy
    const Tag& subject = cache.Entries()[0];
    EXPECT_TRUE(subject.modified);
    EXPECT_EQ(subject.value.ulPropTag, 0x0037001Fu) << "the entry takes the written type";
    EXPECT_EQ(std::u16string(subject.value.Value.lpszW), u"second");
    _SPropValue_t found;
    ASSERT_TRUE(cache.Find(0x0037001F, found));
    EXPECT_EQ(std::u16string(found.Value.lpszW), u"second");
}

TEST(TagFinderCache, DuplicatesAreKeptAndTheFirstIsReached) {
    TagFinder cache;
    cache.Add(LongValue(0x00170003, 1));
    cache.Add(LongValue(0x00170003, 2));
    ASSERT_EQ(cache.Entries().size(), 2u);
    _SPropValue_t found;
    ASSERT_TRUE(cache.Find(0x00170003, found));
    EXPECT_EQ(found.Value.l, 1);
    _SPropValue_t replacement;
    static_cast<SPropValue&>(replacement) = LongValue(0x00170003, 9);
    ASSERT_TRUE(cache.Replace(replacement));
    EXPECT_EQ(cache.Entries()[0].value.Value.l, 9);
    EXPECT_EQ(cache.Entries()[1].value.Value.l, 2);
    EXPECT_FALSE(cache.Entries()[1].modified);
}

TEST(TagFinderCache, ClearEmptiesAndWrappersCopyOwnedTexts) {
    TagFinder empty;
    EXPECT_TRUE(empty.Clear());
    EXPECT_TRUE(empty.Entries().empty());

    _SPropValue_t original;
    original.SetText(nullptr, 0x0037001F);
    ASSERT_NE(original.Value.lpszW, nullptr) << "a null text is stored as the empty text";
    EXPECT_EQ(original.Value.lpszW[0], 0);
    original.SetText(u"text", 0x0037001F);
    _SPropValue_t copy(original);
    _SPropValue_t assigned;
    assigned = original;
    EXPECT_NE(copy.Value.lpszW, original.Value.lpszW);
    EXPECT_NE(assigned.Value.lpszW, original.Value.lpszW);
    original.Clear();
    EXPECT_EQ(original.ulPropTag, 0u);
    EXPECT_EQ(std::u16string(copy.Value.lpszW), u"text");
    EXPECT_EQ(std::u16string(assigned.Value.lpszW), u"text");
}

// Moves hand the owned text over and leave the source empty; an attachment-names value that was
// only pointed at becomes an owned copy when it is copied; self-assignments change nothing.
TEST(TagFinderCache, WrappersMoveTheirTextAndCopyTheAttachmentNames) {
    _SPropValue_t owner;
    owner.SetText(u"owned", 0x0037001F);
    const WCHAR* text = owner.Value.lpszW;
    _SPropValue_t moved;
    moved.SetText(u"replaced", 0x0E1D001F);
    moved = std::move(owner);
    EXPECT_EQ(moved.Value.lpszW, text) << "the text itself changes hands";
    EXPECT_TRUE(moved.OwnsText());
    EXPECT_FALSE(owner.OwnsText());
    EXPECT_EQ(owner.ulPropTag, 0u);
    _SPropValue_t& alias = moved;
    moved = std::move(alias);
    EXPECT_EQ(moved.Value.lpszW, text);
    moved = alias;
    EXPECT_EQ(moved.Value.lpszW, text);
    EXPECT_EQ(std::u16string(moved.Value.lpszW), u"owned");

    // The attachment names, pointed at without being owned (as a plain SPropValue holds them).
    std::u16string names = u"a.pdf\r\nb.txt";
    _SPropValue_t pointing;
    static_cast<SPropValue&>(pointing).ulPropTag = TAG_ATTACHMENTS;
    pointing.Value.lpszW = names.data();
    EXPECT_FALSE(pointing.OwnsText());
    _SPropValue_t copied;
    copied = pointing;
    EXPECT_TRUE(copied.OwnsText());
    EXPECT_NE(copied.Value.lpszW, names.data());
    EXPECT_EQ(std::u16string(copied.Value.lpszW), names);
    names[0] = u'X';
    EXPECT_EQ(copied.Value.lpszW[0], u'a') << "a copy of its own";
    static_cast<SPropValue&>(pointing) = SPropValue{};  // it owned nothing
}

}  // namespace
}  // namespace msgplugin
