// The stand-in's check on its caller: every MAPIInitialize is matched by one MAPIUninitialize.
// When the library is unloaded (or its process ends) with the two not paired up, it says so on
// standard error in one line that begins "mapi32 stand-in:", which the tests under Wine look for.
#include <windows.h>

#include <cstdio>

#include "mapi/mapi_testing.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason != DLL_PROCESS_DETACH) return TRUE;
    const long open = platform::testing::MapiInitializeCount();
    const long unpaired = platform::testing::MapiUnpairedUninitializeCount();
    if (open == 0 && unpaired == 0) return TRUE;
    char line[200];
    int length = std::snprintf(line, sizeof line,
                               "mapi32 stand-in: MAPIInitialize and MAPIUninitialize do not pair up: %ld started and "
                               "not stopped, %ld stopped without a start\n",
                               open, unpaired);
    DWORD written = 0;
    if (length > 0) WriteFile(GetStdHandle(STD_ERROR_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
    return TRUE;
}
