// The main of the module's tests under Wine. The program also plays the helper processes its
// tests start (holding a file open, logging while the log cannot be opened).
#include <windows.h>
#include <shellapi.h>

#include <gtest/gtest.h>

#include "frame/windows_test_support.h"

int main(int argc, char** argv) {
    int wideCount = 0;
    wchar_t** wideArguments = CommandLineToArgvW(GetCommandLineW(), &wideCount);
    int role = wideArguments ? wintest::RunChildRole(wideCount, wideArguments) : -1;
    LocalFree(wideArguments);
    if (role >= 0) return role;

    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
