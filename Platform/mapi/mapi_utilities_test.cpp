// MAPI's utility functions over the store's objects: finding a value by tag (exactly, or by
// identifier alone), reading one property (its stored error as the result), writing one (the
// first problem as the result), querying all rows (what a snapshot table refuses, limits), and
// freeing row sets and address lists.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <vector>

#include "mapi/mapi_test_util.h"

namespace {

using namespace mapitest;
using platform::ComPtr;
namespace pt = platform::testing;

constexpr ULONG kImportance = PROP_TAG(PT_LONG, 0x0017);

TEST(MapiUtilities, FindingValuesByTagOrIdentifier) {
    SPropValue values[3] = {};
    values[0].ulPropTag = kImportance;
    values[1].ulPropTag = PR_SUBJECT_W;
    values[2].ulPropTag = PROP_TAG(PT_ERROR, 0x0E08);
    EXPECT_EQ(PpropFindProp(values, 3, PR_SUBJECT_W), &values[1]);
    EXPECT_EQ(PpropFindProp(values, 3, PR_SUBJECT_A), nullptr) << "another type is another tag";
    EXPECT_EQ(PpropFindProp(values, 3, PROP_TAG(PT_UNSPECIFIED, 0x0037)), &values[1]) << "any type";
    EXPECT_EQ(PpropFindProp(values, 3, PROP_TAG(PT_UNSPECIFIED, 0x0E08)), &values[2]);
    EXPECT_EQ(PpropFindProp(values, 2, PROP_TAG(PT_ERROR, 0x0E08)), nullptr) << "only the values counted";
    EXPECT_EQ(PpropFindProp(nullptr, 3, kImportance), nullptr);
}

TEST(MapiUtilities, OnePropertyInOrOut) {
    Opened o = Open(Build({{msgwriter::Long(kImportance, 2), msgwriter::Error(0x0E08, MAPI_E_NOT_ENOUGH_MEMORY),
                            msgwriter::Error(0x0E09, 0)},
                           {}}));
    LPSPropValue value = reinterpret_cast<LPSPropValue>(1);
    EXPECT_EQ(HrGetOneProp(o.message.Get(), kImportance, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(HrGetOneProp(nullptr, kImportance, &value), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(value, nullptr);
    ASSERT_EQ(HrGetOneProp(o.message.Get(), kImportance, &value), S_OK);
    EXPECT_EQ(value->Value.l, 2);
    MAPIFreeBuffer(value);
    EXPECT_EQ(HrGetOneProp(o.message.Get(), PROP_TAG(PT_LONG, 0x0E06), &value), MAPI_E_NOT_FOUND);
    EXPECT_EQ(HrGetOneProp(o.message.Get(), PROP_TAG(PT_UNSPECIFIED, 0x0E08), &value), MAPI_E_NOT_ENOUGH_MEMORY)
        << "a stored error is the result";
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(HrGetOneProp(o.message.Get(), PROP_TAG(PT_UNSPECIFIED, 0x0E09), &value), MAPI_E_NOT_FOUND)
        << "an error value that is no failure is no value either";
    ASSERT_EQ(HrGetOneProp(o.message.Get(), PROP_TAG(PT_ERROR, 0x0E08), &value), S_OK) << "asked for as an error";
    EXPECT_EQ(value->Value.err, MAPI_E_NOT_ENOUGH_MEMORY);
    MAPIFreeBuffer(value);

    SPropValue set{};
    set.ulPropTag = kImportance;
    set.Value.l = 0;
    EXPECT_EQ(HrSetOneProp(nullptr, &set), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(HrSetOneProp(o.message.Get(), nullptr), MAPI_E_INVALID_PARAMETER);
    ASSERT_EQ(HrSetOneProp(o.message.Get(), &set), S_OK);
    ASSERT_EQ(HrGetOneProp(o.message.Get(), kImportance, &value), S_OK);
    EXPECT_EQ(value->Value.l, 0);
    MAPIFreeBuffer(value);
    set.ulPropTag = PROP_TAG(PT_OBJECT, 0x3701);
    EXPECT_EQ(HrSetOneProp(o.message.Get(), &set), MAPI_E_NO_SUPPORT) << "the value's problem is the result";
    pt::FailNthCall("HrSetOneProp", 1, E_ACCESSDENIED);
    EXPECT_EQ(HrSetOneProp(o.message.Get(), &set), E_ACCESSDENIED);
    // A read-only message: the call's own failure.
    Opened ro = Open(o.root, false);
    set.ulPropTag = kImportance;
    EXPECT_EQ(HrSetOneProp(ro.message.Get(), &set), MAPI_E_NO_ACCESS);
}

TEST(MapiUtilities, QueryingAllRowsOfASnapshot) {
    Opened o = Open(Build({{}, {{{msgwriter::Long(PR_ATTACH_METHOD, 1)}}, {{msgwriter::Long(PR_ATTACH_METHOD, 5)}}}}));
    LPMAPITABLE raw = nullptr;
    ASSERT_EQ(o.message->GetAttachmentTable(0, &raw), S_OK);
    auto table = ComPtr<IMAPITable>::Attach(raw);
    LPSRowSet rows = reinterpret_cast<LPSRowSet>(1);
    EXPECT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, nullptr), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(HrQueryAllRows(nullptr, nullptr, nullptr, nullptr, 0, &rows), MAPI_E_INVALID_PARAMETER);
    EXPECT_EQ(rows, nullptr);
    EXPECT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, -1, &rows), MAPI_E_INVALID_PARAMETER);
    alignas(16) BYTE restrictionBytes[64] = {};  // the snapshot refuses any restriction unread
    auto* restriction = reinterpret_cast<LPSRestriction>(restrictionBytes);
    SSortOrderSet order{};
    EXPECT_EQ(HrQueryAllRows(table.Get(), nullptr, restriction, nullptr, 0, &rows), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, &order, 0, &rows), MAPI_E_NO_SUPPORT);
    EXPECT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 1, &rows), MAPI_E_TABLE_TOO_BIG);
    // From the start, whatever was read before.
    LPSRowSet first = nullptr;
    ASSERT_EQ(table->QueryRows(1, 0, &first), S_OK);
    FreeProws(first);
    SizedSPropTagArray(1, method) = {1, {PR_ATTACH_METHOD}};
    ASSERT_EQ(HrQueryAllRows(table.Get(), reinterpret_cast<LPSPropTagArray>(&method), nullptr, nullptr, 2, &rows), S_OK);
    ASSERT_EQ(rows->cRows, 2u);
    EXPECT_EQ(rows->aRow[0].lpProps[0].Value.l, 1);
    EXPECT_EQ(rows->aRow[1].lpProps[0].Value.l, 5);
    FreeProws(rows);
    // The table's own failures are the result.
    for (const char* name : {"IMAPITable::SetColumns", "IMAPITable::SeekRow", "IMAPITable::GetRowCount"}) {
        SCOPED_TRACE(name);
        pt::FailNthCall(name, 1, E_ACCESSDENIED);
        EXPECT_EQ(HrQueryAllRows(table.Get(), reinterpret_cast<LPSPropTagArray>(&method), nullptr, nullptr, 0, &rows),
                  E_ACCESSDENIED);
        EXPECT_EQ(rows, nullptr);
        pt::ResetFaults();
    }
    // An empty table gives an empty row set.
    Opened empty = Open(Build({{}, {}}));
    ASSERT_EQ(empty.message->GetAttachmentTable(0, &raw), S_OK);
    table = ComPtr<IMAPITable>::Attach(raw);
    ASSERT_EQ(HrQueryAllRows(table.Get(), nullptr, nullptr, nullptr, 0, &rows), S_OK);
    EXPECT_EQ(rows->cRows, 0u);
    FreeProws(rows);
}

TEST(MapiUtilities, RowSetsAndAddressListsAreFreedWhole) {
    const long before = pt::MapiBuffersInUse();
    void* list = nullptr;
    ASSERT_EQ(MAPIAllocateBuffer(static_cast<ULONG>(offsetof(ADRLIST, aEntries) + 2 * sizeof(ADRENTRY)), &list), S_OK);
    auto* addresses = static_cast<LPADRLIST>(list);
    addresses->cEntries = 2;
    for (ULONG i = 0; i < 2; ++i) {
        void* values = nullptr;
        ASSERT_EQ(MAPIAllocateBuffer(sizeof(SPropValue), &values), S_OK);
        addresses->aEntries[i].ulReserved1 = 0;
        addresses->aEntries[i].cValues = 1;
        addresses->aEntries[i].rgPropVals = static_cast<LPSPropValue>(values);
    }
    EXPECT_EQ(pt::MapiBuffersInUse(), before + 3);
    FreePadrlist(addresses);
    FreePadrlist(nullptr);
    FreeProws(nullptr);
    EXPECT_EQ(pt::MapiBuffersInUse(), before);
}

}  // namespace
