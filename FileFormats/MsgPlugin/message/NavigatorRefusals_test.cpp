// The navigator's operations that the plug-in does not offer: each tests its output pointers
// (E_POINTER when one is null) and otherwise refuses with E_NOTIMPL, writing nothing; the two
// that do nothing succeed. The host calls them by position, so a refusal must never be a crash.
#include "message/msgfile_test_support.h"

namespace msgtest {
namespace {

class NavigatorRefusals : public MessageTest {};

TEST_F(NavigatorRefusals, EveryUnsupportedOperationChecksItsOutputsAndRefuses) {
    const std::string path = Write({{msgwriter::Unicode(PR_SUBJECT_W, u"Hello")}, {}});
    HRESULT opened = E_FAIL;
    msgplugin::CComPtr<IKivFileNavigator> navigator = Open(path, &opened);
    ASSERT_EQ(opened, S_OK);

    BSTR marker = reinterpret_cast<BSTR>(0x1234);
    BSTR a = marker, b = marker, c = marker;
    LONG number = 77;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = 5;

    EXPECT_EQ(navigator->Unsupported4(1, nullptr, &value), E_POINTER);
    EXPECT_EQ(navigator->Unsupported4(1, &a, nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported4(1, &a, &value), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported5(), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported6(nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported6(&number), E_NOTIMPL);
    // Five outputs: each one null in turn.
    for (int missing = 0; missing < 5; ++missing) {
        EXPECT_EQ(navigator->Unsupported7(missing == 0 ? nullptr : &a, missing == 1 ? nullptr : &b,
                                          missing == 2 ? nullptr : &c, missing == 3 ? nullptr : &number,
                                          missing == 4 ? nullptr : &value),
                  E_POINTER)
            << missing;
    }
    EXPECT_EQ(navigator->Unsupported7(&a, &b, &c, &number, &value), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported8(1, 2, nullptr, &number), E_POINTER);
    EXPECT_EQ(navigator->Unsupported8(1, 2, &a, nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported8(1, 2, &a, &number), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported9(1, 2, nullptr, &number), E_POINTER);
    EXPECT_EQ(navigator->Unsupported9(1, 2, &a, nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported9(1, 2, &a, &number), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported12(nullptr, &number), E_POINTER);
    EXPECT_EQ(navigator->Unsupported12(&a, nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported12(&a, &number), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported13(1, 2, nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported13(1, 2, &number), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported14(1, nullptr, &number), E_POINTER);
    EXPECT_EQ(navigator->Unsupported14(1, &a, nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported14(1, &a, &number), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported15(), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported17(nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported17(&number), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported18(1, 2, 3, nullptr, &number), E_POINTER);
    EXPECT_EQ(navigator->Unsupported18(1, 2, 3, &a, nullptr), E_POINTER);
    EXPECT_EQ(navigator->Unsupported18(1, 2, 3, &a, &number), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported19(), E_NOTIMPL);
    EXPECT_EQ(navigator->NoOp20(), S_OK);
    EXPECT_EQ(navigator->NoOp21(), S_OK);
    EXPECT_EQ(navigator->Unsupported22(), E_NOTIMPL);
    EXPECT_EQ(navigator->Unsupported23(), E_NOTIMPL);

    // Nothing was written through any output.
    EXPECT_EQ(a, marker);
    EXPECT_EQ(b, marker);
    EXPECT_EQ(c, marker);
    EXPECT_EQ(number, 77);
    EXPECT_EQ(value.vt, VT_I4);
    EXPECT_EQ(value.lVal, 5);
    // And the object is as it was.
    ReadResult subject = ReadOne(navigator, u"SUBJECT");
    EXPECT_EQ(subject.text, u"Hello");
}

}  // namespace
}  // namespace msgtest
