// What every test under Wine uses: text conversion, where the program is, and temporary folders.
#include "frame/windows_test_support.h"

#include <atomic>
#include <fstream>

namespace wintest {

std::string Narrow(const WString& text) {
    if (text.empty()) return {};
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), bytes, nullptr, nullptr);
    return narrow;
}

WString Widen(const std::string& text) {
    if (text.empty()) return {};
    int chars = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    WString wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), chars);
    return wide;
}

WString ProgramPath() {
    WCHAR path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    return path;
}

WString ProgramFolder() {
    WString path = ProgramPath();
    return path.substr(0, path.find_last_of(L'\\'));
}

WString ModulePath() { return ProgramFolder() + L"\\MsgPlugin.dll"; }

TempFolder::TempFolder() {
    static std::atomic<int> counter{0};
    WCHAR base[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, base);
    path_ = WString(base) + L"msgplugin-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
    CreateDirectoryW(path_.c_str(), nullptr);
}

TempFolder::~TempFolder() {
    WIN32_FIND_DATAW found{};
    HANDLE search = FindFirstFileW((path_ + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            WString name = found.cFileName;
            if (name == L"." || name == L"..") continue;
            SetFileAttributesW(File(name).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(File(name).c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path_.c_str());
}

void WriteFile(const WString& path, const std::string& bytes) {
    std::ofstream out(path.c_str(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace wintest
