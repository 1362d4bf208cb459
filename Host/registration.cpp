// register and unregister: the library registers or unregisters itself.
#include <filesystem>
#include <iostream>

#include <windows.h>
#include <objbase.h>

#include "commands.h"
#include "results.h"
#include "system.h"
#include "text.h"

namespace fs = std::filesystem;

namespace cardhost {

int RunRegistration(const std::string& module, bool registering) {
    const std::string kept = FileNameOf(fs::absolute(FileSystemPath(module)));
    const WString widePath = WideFileName(kept);
    const std::string path = ShownText(kept);
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const bool initialised = SUCCEEDED(hr);
    HMODULE library = LoadLibraryW(widePath.c_str());
    int exitCode = kExitSuccess;
    const char* entry = registering ? "DllRegisterServer" : "DllUnregisterServer";
    if (!library) {
        std::cerr << "cardhost: cannot load " << path << "\n  " << DescribeResult(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND))
                  << "\n";
        exitCode = kExitOpenFailed;
    } else {
        using Entry = HRESULT(STDAPICALLTYPE*)();
        auto call = reinterpret_cast<Entry>(reinterpret_cast<void*>(GetProcAddress(library, entry)));
        if (!call) {
            std::cerr << "cardhost: " << path << " has no " << entry << "\n";
            exitCode = kExitOpenFailed;
        } else {
            hr = call();
            if (FAILED(hr)) {
                std::cerr << "cardhost: " << entry << " failed\n  " << DescribeResult(hr) << "\n";
                exitCode = kExitSaveFailed;
            } else {
                std::cout << (registering ? "registered " : "unregistered ") << path << "\n  in "
                          << RegistryLocation() << "\n";
            }
        }
        auto canUnload = reinterpret_cast<LPFNCANUNLOADNOW>(
            reinterpret_cast<void*>(GetProcAddress(library, "DllCanUnloadNow")));
        if (canUnload && canUnload() == S_OK) FreeLibrary(library);
    }
    CoFreeUnusedLibraries();
    if (initialised) CoUninitialize();
    return exitCode;
}

}  // namespace cardhost
