// The store's tables of attachments and recipients: the cursor follows every seek, query and
// approximate position exactly as a plain model of it does (seeded random sequences); columns
// chosen, missing and unspecified; recipients' rows; what a table does not offer; allocation
// failures that leave nothing behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "com/com_test_util.h"
#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;
namespace pt = platform::testing;

// Recipient types as mail clients store them.
constexpr ULONG kTo = 1, kCc = 2, kBcc = 3;

ComPtr<IMAPITable> AttachmentTable(const Opened& o, ULONG flags = 0) {
    LPMAPITABLE raw = nullptr;
    EXPECT_EQ(o.message->GetAttachmentTable(flags, &raw), S_OK);
    return ComPtr<IMAPITable>::Attach(raw);
}

// A message with `count` attachments, each named by its number.
std::shared_ptr<MemNode> WithAttachments(size_t count) {
    msgwriter::MessageSpec spec;
    for (size_t i = 0; i < count; ++i)
        spec.attachments.push_back(
            {{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"file" + std::u16string(1, char16_t(u'0' + i)))}});
    return Build(spec);
}

// The cursor of a table, as the table's own operations define it.
struct CursorModel {
    long long rows = 0, cursor = 0;
    LONG Seek(int origin, LONG offset) {
        const long long base = origin == 0 ? 0 : origin == 1 ? cursor : rows;
        const long long target = std::clamp(base + offset, 0LL, rows);
        cursor = target;
        return static_cast<LONG>(target - base);
    }
};

TEST(MapiTableCursor, FollowsAPlainModelOnRandomSequences) {
    const BOOKMARK origins[] = {BOOKMARK_BEGINNING, BOOKMARK_CURRENT, BOOKMARK_END};
    for (unsigned seed = 1; seed <= 20; ++seed) {
        SCOPED_TRACE(seed);
        std::mt19937 random(seed);
        const size_t count = random() % 6;
        Opened o = Open(WithAttachments(count));
        ASSERT_EQ(o.hr, S_OK);
        auto table = AttachmentTable(o);
        SizedSPropTagArray(1, number) = {1, {PR_ATTACH_NUM}};
        ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&number), 0), S_OK);
        CursorModel model;
        model.rows = static_cast<long long>(count);
        for (int step = 0; step < 60; ++step) {
            switch (random() % 4) {
                case 0: {
                    const int origin = static_cast<int>(random() % 3);
                    const LONG offset = static_cast<LONG>(random() % 17) - 8;
                    LONG sought = 99;
                    ASSERT_EQ(table->SeekRow(origins[origin], offset, &sought), S_OK);
                    EXPECT_EQ(sought, model.Seek(origin, offset));
                    break;
                }
                case 1: {
                    const LONG want = static_cast<LONG>(random() % 4);
                    LPSRowSet rows = nullptr;
                    ASSERT_EQ(table->QueryRows(want, 0, &rows), S_OK);
                    const long long expected = std::min<long long>(want, model.rows - model.cursor);
                    ASSERT_EQ(rows->cRows, static_cast<ULONG>(expected));
                    for (ULONG r = 0; r < rows->cRows; ++r) {
                        ASSERT_EQ(rows->aRow[r].cValues, 1u);
                        EXPECT_EQ(rows->aRow[r].lpProps[0].Value.l, static_cast<LONG>(model.cursor + r));
                    }
                    model.cursor += expected;
                    FreeProws(rows);
                    break;
                }
                case 2: {
                    const ULONG denominator = 1 + random() % 5, numerator = random() % 7;
                    ASSERT_EQ(table->SeekRowApprox(numerator, denominator), S_OK);
                    model.cursor = std::min<long long>(model.rows * numerator / denominator, model.rows);
                    break;
                }
                default: {
                    ULONG row = 99, numerator = 99, denominator = 99;
                    ASSERT_EQ(table->QueryPosition(&row, &numerator, &denominator), S_OK);
                    EXPECT_EQ(row, static_cast<ULONG>(model.cursor));
                    EXPECT_EQ(numerator, static_cast<ULONG>(model.cursor));
                    EXPECT_EQ(denominator, static_cast<ULONG>(model.rows ? model.rows : 1));
                    break;
                }
            }
        }
        ULONG rows = 0;
        ASSERT_EQ(table->GetRowCount(0, &rows), S_OK);
        EXPECT_EQ(rows, count);
    }
}

TEST(MapiTableCursor, RefusesWhatItCannotDo) {
    Opened o = Open(WithAttachments(2));
    auto table = AttachmentTable(o);
    EXPECT_EQ(table->SeekRow(7, 0, nullptr), MAPI_E_INVALID_BOOKMARK);
    EXPECT_EQ(table->SeekRow(BOOKMARK_END, -1, nullptr), S_OK) << "rows sought are optional";
    EXPECT_EQ(table->SeekRowApprox(1, 0), MAPI_E_INVALID_PARAMETER);
    ULONG a = 0, b = 0;
    EXPECT_EQ(table->QueryPosition(nullptr, &a, &b), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(table->QueryPosition(&a, nullptr, &b), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(table->QueryPosition(&a, &b, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(table->GetRowCount(0, nullptr), MAPI_E_INVALID_PARAMETER);
    LPSRowSet rows = reinterpret_cast<LPSRowSet>(1);
    EXPECT_EQ(table->QueryRows(-1, 0, &rows), MAPI_E_NO_SUPPORT) << "no reading backwards";
    EXPECT_EQ(rows, nullptr);
    EXPECT_EQ(table->QueryRows(1, 0, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(table->SetColumns(nullptr, 0), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(table->QueryColumns(0, nullptr), MAPI_E_INVALID_PARAMETER);
    ULONG status = 0, type = 0;
    EXPECT_EQ(table->GetStatus(nullptr, &type), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(table->GetStatus(&status, nullptr), MAPI_E_INVALID_PARAMETER);
    ASSERT_EQ(table->GetStatus(&status, &type), S_OK);
    EXPECT_EQ(status, static_cast<ULONG>(TBLSTAT_COMPLETE));
    EXPECT_EQ(type, static_cast<ULONG>(TBLTYPE_SNAPSHOT));
    status = 0;
    EXPECT_EQ(table->WaitForCompletion(0, 0, &status), S_OK);
    EXPECT_EQ(status, static_cast<ULONG>(TBLSTAT_COMPLETE));
    EXPECT_EQ(table->WaitForCompletion(0, 0, nullptr), S_OK);
    EXPECT_EQ(table->Abort(), S_OK);
    // A snapshot: no notifications, restrictions, bookmarks, sorting or categories.
    ULONG connection = 0;
    BOOKMARK bookmark = 0;
    LPSSortOrderSet order = nullptr;
    EXPECT_EQ(table->Advise(0, nullptr, &connection), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->Unadvise(0), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->FindRow(nullptr, BOOKMARK_BEGINNING, 0), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->Restrict(nullptr, 0), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->CreateBookmark(&bookmark), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->FreeBookmark(bookmark), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->SortTable(nullptr, 0), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->QuerySortOrder(&order), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->ExpandRow(0, nullptr, 0, 0, nullptr, nullptr), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->CollapseRow(0, nullptr, 0, nullptr), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->GetCollapseState(0, 0, nullptr, nullptr, nullptr), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(table->SetCollapseState(0, 0, nullptr, nullptr), MAPI_E_NO_SUPPORT);
    LPMAPIERROR error = reinterpret_cast<LPMAPIERROR>(1);
    EXPECT_EQ(table->GetLastError(E_FAIL, 0, &error), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(table->GetLastError(E_FAIL, 0, nullptr), MAPI_E_NO_SUPPORT);
    // Its identity.
    platform::testing::ExpectIdentity(table.Get(), {&IID_IMAPITable, &IID_IUnknown}, IID_IStream);
}

TEST(MapiTableColumns, ChosenMissingAndUnspecifiedColumns) {
    auto root = Build({{},
                       {{{msgwriter::Ansi(PR_ATTACH_FILENAME_A, "A.TXT"), msgwriter::Long(PR_ATTACH_SIZE, 12)}},
                        {{msgwriter::Error(0x3704, MAPI_E_CALL_FAILED)}}}});
    Opened o = Open(root);
    auto table = AttachmentTable(o);
    LPSPropTagArray columns = nullptr;
    ASSERT_EQ(table->QueryColumns(0, &columns), S_OK);
    ASSERT_GE(columns->cValues, 3u);
    EXPECT_EQ(columns->aulPropTag[0], PR_ATTACH_NUM) << "the default columns start with the number and keys";
    EXPECT_EQ(columns->aulPropTag[1], PR_INSTANCE_KEY);
    EXPECT_EQ(columns->aulPropTag[2], PR_RECORD_KEY);
    MAPIFreeBuffer(columns);

    SizedSPropTagArray(4, chosen) = {4, {PR_ATTACH_SIZE, PROP_TAG(PT_UNSPECIFIED, 0x3704), PR_ATTACH_FILENAME_A,
                                         PR_ATTACH_MIME_TAG_W}};
    ASSERT_EQ(table->SetColumns(reinterpret_cast<LPSPropTagArray>(&chosen), 0), S_OK);
    ASSERT_EQ(table->QueryColumns(0, &columns), S_OK);
    ASSERT_EQ(columns->cValues, 4u);
    EXPECT_TRUE(std::equal(columns->aulPropTag, columns->aulPropTag + 4, chosen.aulPropTag));
    MAPIFreeBuffer(columns);
    LPSRowSet rows = nullptr;
    ASSERT_EQ(table->QueryRows(10, 0, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 2u);
    const SPropValue* first = rows->aRow[0].lpProps;
    EXPECT_EQ(first[0].ulPropTag, PR_ATTACH_SIZE);
    EXPECT_EQ(first[0].Value.l, 12);
    EXPECT_EQ(first[1].ulPropTag, PR_ATTACH_FILENAME_A) << "an unspecified column takes the stored type";
    EXPECT_STREQ(first[1].Value.lpszA, "A.TXT");
    EXPECT_STREQ(first[2].Value.lpszA, "A.TXT");
    EXPECT_EQ(first[3].ulPropTag, PROP_TAG(PT_ERROR, PROP_ID(PR_ATTACH_MIME_TAG_W)));
    EXPECT_EQ(first[3].Value.err, MAPI_E_NOT_FOUND);
    const SPropValue* second = rows->aRow[1].lpProps;
    EXPECT_EQ(second[0].Value.err, MAPI_E_NOT_FOUND);
    // A stored error answers the column of its property, whatever type the column names.
    EXPECT_EQ(second[2].ulPropTag, PROP_TAG(PT_ERROR, 0x3704));
    EXPECT_EQ(second[2].Value.err, MAPI_E_CALL_FAILED);
    FreeProws(rows);
}

// Recipient storages laid out by hand (the writer makes none): a property stream of fixed-size
// entries, and a string in its own stream.
void PutRecipient(const std::shared_ptr<MemNode>& root, ULONG number, const std::vector<std::pair<ULONG, ULONG>>& longs,
                  const std::string& name) {
    char folder[64];
    std::snprintf(folder, sizeof folder, "__recip_version1.0_#%08X", number);
    std::vector<BYTE> stream(8, 0);
    auto put32 = [&stream](ULONG v) {
        for (int i = 0; i < 4; ++i) stream.push_back(BYTE(v >> (8 * i)));
    };
    for (auto [tag, value] : longs) {
        put32(tag), put32(6), put32(value), put32(0);
    }
    if (!name.empty()) {
        put32(PR_DISPLAY_NAME_A), put32(6), put32(static_cast<ULONG>(name.size() + 1)), put32(0);
        PutStream(root, std::string(folder) + "/__substg1.0_3001001E", std::vector<BYTE>(name.begin(), name.end()));
    }
    PutStream(root, std::string(folder) + "/__properties_version1.0", stream);
}

TEST(MapiRecipients, RowsCarryRowIdsAndStoredValues) {
    auto root = Build({{}, {}});
    PutRecipient(root, 0, {{PR_RECIPIENT_TYPE, kTo}}, "Ann");
    PutRecipient(root, 1, {{PR_ROWID, 41}, {PR_RECIPIENT_TYPE, kCc}}, "");
    PutStream(root, "__recip_version1.0_#00000002/__properties_version1.0", {1, 2, 3});  // cannot be read
    Opened o = Open(root);
    ASSERT_EQ(o.hr, S_OK);
    for (ULONG flags : {ULONG{0}, ULONG{MAPI_UNICODE}}) {
        SCOPED_TRACE(flags);
        LPMAPITABLE raw = nullptr;
        ASSERT_EQ(o.message->GetRecipientTable(flags, &raw), S_OK);
        auto table = ComPtr<IMAPITable>::Attach(raw);
        LPSRowSet rows = nullptr;
        ASSERT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
        ASSERT_EQ(rows->cRows, 3u);
        auto find = [&](ULONG row, ULONG tag) {
            return PpropFindProp(rows->aRow[row].lpProps, rows->aRow[row].cValues, tag);
        };
        for (ULONG row = 0; row < 3; ++row) ASSERT_TRUE(find(row, PR_ROWID));
        ASSERT_TRUE(find(0, PR_RECIPIENT_TYPE));
        ASSERT_TRUE(find(1, PR_RECIPIENT_TYPE));
        EXPECT_EQ(find(0, PR_ROWID)->Value.l, 0);
        EXPECT_EQ(find(0, PR_RECIPIENT_TYPE)->Value.l, kTo);
        if (flags & MAPI_UNICODE) {
            ASSERT_TRUE(find(0, PR_DISPLAY_NAME_W));
            EXPECT_EQ(std::u16string(find(0, PR_DISPLAY_NAME_W)->Value.lpszW), u"Ann");
        } else {
            ASSERT_TRUE(find(0, PR_DISPLAY_NAME_A));
            EXPECT_STREQ(find(0, PR_DISPLAY_NAME_A)->Value.lpszA, "Ann");
        }
        EXPECT_EQ(find(1, PR_ROWID)->Value.l, 41) << "a stored row id is kept";
        EXPECT_EQ(find(1, PR_RECIPIENT_TYPE)->Value.l, kCc);
        EXPECT_EQ(find(2, PR_ROWID)->Value.l, 2) << "an unreadable recipient is a row of its id alone";
        ASSERT_TRUE(find(2, PROP_TAG(PT_ERROR, PROP_ID(PR_RECIPIENT_TYPE))));
        EXPECT_EQ(find(2, PROP_TAG(PT_ERROR, PROP_ID(PR_RECIPIENT_TYPE)))->Value.err, MAPI_E_NOT_FOUND);
        FreeProws(rows);
    }
    LPMAPITABLE raw = nullptr;
    EXPECT_EQ(o.message->GetRecipientTable(0x1, &raw), MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(o.message->GetRecipientTable(0, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(o.message->GetAttachmentTable(0x1, &raw), MAPI_E_UNKNOWN_FLAGS);
    EXPECT_EQ(o.message->GetAttachmentTable(0, nullptr), MAPI_E_INVALID_PARAMETER);
}

// A message with two attachments and two recipients.
Opened OpenTwoOfEach() {
    auto root = Build({{}, {{{msgwriter::Unicode(PR_ATTACH_LONG_FILENAME_W, u"a.txt")}}, {{}}}});
    PutRecipient(root, 0, {{PR_RECIPIENT_TYPE, kTo}}, "Ann");
    PutRecipient(root, 1, {{PR_RECIPIENT_TYPE, kBcc}}, "Bob");
    return Open(root);
}

// A table object that cannot be made fails the call, and the rows built for it go too.
TEST(MapiTableFaults, ATableThatCannotBeMadeLeavesNoRowBehind) {
    Opened o = OpenTwoOfEach();
    const long before = pt::MapiBuffersInUse();
    for (auto get : {&IMessage::GetAttachmentTable, &IMessage::GetRecipientTable}) {
        pt::ResetFaults();
        pt::FailNthCall("NewTable", 1, E_OUTOFMEMORY);
        LPMAPITABLE table = reinterpret_cast<LPMAPITABLE>(uintptr_t{0x10});  // emptied by the call
        EXPECT_EQ((o.message.Get()->*get)(0, &table), MAPI_E_NOT_ENOUGH_MEMORY);
        EXPECT_EQ(pt::CallCount("NewTable"), 1u);
        pt::ResetFaults();
        EXPECT_EQ(table, nullptr);
        EXPECT_EQ(pt::MapiBuffersInUse(), before) << "the rows built for the table are freed";
        // And once a table can be made again, it holds every row.
        ComPtr<IMAPITable> made;
        ASSERT_EQ((o.message.Get()->*get)(0, made.Put()), S_OK);
        ULONG count = 0;
        EXPECT_EQ(made->GetRowCount(0, &count), S_OK);
        EXPECT_EQ(count, 2u);
    }
    EXPECT_EQ(pt::MapiBuffersInUse(), before);
}

// Every buffer a table's making or reading asks for may be refused: the call fails with the
// allocator's answer and leaves no buffer behind.
TEST(MapiTableFaults, RefusedBuffersFailTheCallAndLeakNothing) {
    Opened o = OpenTwoOfEach();
    const long before = pt::MapiBuffersInUse();
    struct Case {
        const char* what;
        std::function<HRESULT(IMAPITable* prepared)> call;
    };
    auto query = [](IMAPITable* table) {
        LPSRowSet rows = nullptr;
        HRESULT hr = table->QueryRows(10, 0, &rows);
        if (SUCCEEDED(hr)) FreeProws(rows);
        return hr;
    };
    const std::vector<Case> cases = {
        {"attachment table", [&](IMAPITable*) { ComPtr<IMAPITable> t; return o.message->GetAttachmentTable(0, t.Put()); }},
        {"recipient table", [&](IMAPITable*) { ComPtr<IMAPITable> t; return o.message->GetRecipientTable(0, t.Put()); }},
        {"attachment rows", [&](IMAPITable* table) { return query(table); }},
        {"columns", [&](IMAPITable* table) {
             LPSPropTagArray columns = nullptr;
             HRESULT hr = table->QueryColumns(0, &columns);
             MAPIFreeBuffer(columns);
             return hr;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (const char* allocator : {"MAPIAllocateBuffer", "MAPIAllocateMore"}) {
            // Each allocation of the call in turn, until the call needs no more than were allowed.
            for (unsigned nth = 1; nth < 40; ++nth) {
                pt::ResetFaults();
                ComPtr<IMAPITable> prepared = AttachmentTable(o);
                pt::FailNthCall(allocator, nth, MAPI_E_NOT_ENOUGH_MEMORY);
                const HRESULT hr = c.call(prepared.Get());
                const bool reached = pt::CallCount(allocator) >= nth;
                pt::ResetFaults();
                prepared.Reset();
                EXPECT_EQ(pt::MapiBuffersInUse(), before) << allocator << " " << nth;
                if (!reached) {
                    EXPECT_EQ(hr, S_OK) << allocator << " " << nth;
                    break;
                }
                EXPECT_EQ(hr, MAPI_E_NOT_ENOUGH_MEMORY) << allocator << " " << nth;
            }
        }
    }
}

}  // namespace
