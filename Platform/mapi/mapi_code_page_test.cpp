// The code page of a message's 8-bit strings: the Windows code page of the family of its
// Internet character set (a MIME charset stands for its Windows code page), else its own code
// page, else the ANSI one; a change of either property takes effect at once.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;

// The text in `codePage`, as a mail client would store it.
std::string Encoded(UINT codePage, const std::u16string& text) {
    int needed = WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(needed > 0 ? needed : 0), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), static_cast<int>(text.size()), bytes.data(), needed, nullptr, nullptr);
    return bytes;
}

std::u16string SubjectAsUnicode(IMessage* message) {
    LPSPropValue value = nullptr;
    if (HrGetOneProp(message, PR_SUBJECT_W, &value) != S_OK) return u"<none>";
    std::u16string text = value->Value.lpszW;
    MAPIFreeBuffer(value);
    return text;
}

struct Family {
    UINT internet;  // the message's Internet character set
    UINT windows;   // the Windows code page its strings are kept in
    std::u16string text;
};

TEST(MapiCodePage, InternetCharacterSetsStandForTheirWindowsFamily) {
    const Family families[] = {
        {50220, 932, u"\u65e5\u672c\u8a9e"}, {50221, 932, u"\u65e5\u672c"}, {50222, 932, u"\u3042"},
        {51932, 932, u"\u30ab\u30ca"},       {20932, 932, u"\u6f22"},       {52936, 936, u"\u4e2d\u6587"},
        {50225, 949, u"\ud55c\uad6d"},       {51949, 949, u"\uc5b4"},       {28591, 1252, u"Caf\u00e9 \u20ac"},
        {28592, 1250, u"\u0141\u00f3d\u017a"}, {28595, 1251, u"\u041f\u0440\u0438\u0432\u0435\u0442"},
        {20866, 1251, u"\u0414\u0430"},      {21866, 1251, u"\u041d\u0435\u0442"}, {28597, 1253, u"\u0395\u03bb\u03bb\u03ac\u03b4\u03b1"},
        {28599, 1254, u"\u015eeker"},        {28598, 1255, u"\u05e9\u05dc\u05d5\u05dd"}, {38598, 1255, u"\u05d0"},
        {28596, 1256, u"\u0633\u0644\u0627\u0645"}, {28594, 1257, u"R\u012bga"}, {28603, 1257, u"\u0160\u012b"},
        {1251, 1251, u"\u0416"},  // a Windows code page stands for itself
    };
    for (const Family& family : families) {
        SCOPED_TRACE(family.internet);
        ASSERT_TRUE(IsValidCodePage(family.windows));
        const std::string stored = Encoded(family.windows, family.text);
        ASSERT_FALSE(stored.empty());
        Opened o = Open(Build({{msgwriter::Long(PR_INTERNET_CPID, static_cast<LONG>(family.internet)),
                                msgwriter::Ansi(PR_SUBJECT_A, stored)},
                               {}}));
        ASSERT_EQ(o.hr, S_OK);
        EXPECT_EQ(SubjectAsUnicode(o.message.Get()), family.text);
    }
}

TEST(MapiCodePage, TheMessageCodePageAndThenTheAnsiOneServeWhenTheCharacterSetCannot) {
    const std::u16string cyrillic = u"\u0416\u0443\u043a";
    const std::string stored = Encoded(1251, cyrillic);
    // No character set, or one that is no code page: the message's own code page.
    for (LONG internet : {0L, 1L, 65530L}) {
        SCOPED_TRACE(internet);
        msgwriter::MessageSpec spec{{msgwriter::Long(PR_MESSAGE_CODEPAGE, 1251), msgwriter::Ansi(PR_SUBJECT_A, stored)}, {}};
        if (internet) spec.props.push_back(msgwriter::Long(PR_INTERNET_CPID, internet));
        Opened o = Open(Build(spec));
        EXPECT_EQ(SubjectAsUnicode(o.message.Get()), cyrillic);
    }
    // Neither: the ANSI code page (1252 unless the machine names another).
    ASSERT_EQ(GetACP(), 1252u);
    Opened plain = Open(Build({{msgwriter::Long(PR_MESSAGE_CODEPAGE, 0), msgwriter::Ansi(PR_SUBJECT_A, stored)}, {}}));
    int needed = MultiByteToWideChar(1252, 0, stored.data(), static_cast<int>(stored.size()), nullptr, 0);
    std::u16string western(static_cast<size_t>(needed), u'\0');
    MultiByteToWideChar(1252, 0, stored.data(), static_cast<int>(stored.size()), western.data(), needed);
    EXPECT_EQ(SubjectAsUnicode(plain.message.Get()), western);

    // A character set set afterwards takes effect at once.
    SPropValue charset{};
    charset.ulPropTag = PR_INTERNET_CPID;
    charset.Value.l = 20866;
    ASSERT_EQ(plain.message->SetProps(1, &charset, nullptr), S_OK);
    EXPECT_EQ(SubjectAsUnicode(plain.message.Get()), cyrillic);
    // And a Unicode value asked for as 8-bit text is written in it.
    SPropValue subject{};
    subject.ulPropTag = PR_SUBJECT_W;
    subject.Value.lpszW = const_cast<LPWSTR>(u"\u0414\u0430");
    ASSERT_EQ(plain.message->SetProps(1, &subject, nullptr), S_OK);
    LPSPropValue narrow = nullptr;
    ASSERT_EQ(HrGetOneProp(plain.message.Get(), PR_SUBJECT_A, &narrow), S_OK);
    EXPECT_EQ(std::string(narrow->Value.lpszA), Encoded(1251, u"\u0414\u0430"));
    MAPIFreeBuffer(narrow);
}

}  // namespace
