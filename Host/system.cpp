#include "system.h"

#include <windows.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <stdio.h>
#else
#include <unistd.h>

#include "registry/winreg.h"
#endif

#include "text.h"

namespace cardhost {

#ifdef _WIN32

std::string RegistryLocation() { return "the system registry"; }

bool StandardErrorIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::string DefaultModule() {
    WCHAR path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "MsgPlugin.dll";
    *PathFindFileNameW(path) = 0;
    return ToUtf8(WString(path) + L"MsgPlugin.dll");
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(ToUtf8(wide[i], lstrlenW(wide[i])));
    LocalFree(wide);
    return arguments;
}

#else

std::string RegistryLocation() { return "the registry at " + platform::registry::RegistryFolder(); }

bool StandardErrorIsTerminal() { return isatty(STDERR_FILENO) != 0; }

void UseBinaryStandardStreams() {}

std::string DefaultModule() { return CARDHOST_DEFAULT_MODULE; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

#endif

}  // namespace cardhost
