#include "system.h"

#include <windows.h>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <stdio.h>
#else
#include <sys/stat.h>
#include <unistd.h>

#include "base/native_name.h"
#include "registry/winreg.h"
#endif

#include "text.h"

namespace cardhost {

namespace {

std::string HexOf(const unsigned char* bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        hex.push_back(digits[bytes[i] >> 4]);
        hex.push_back(digits[bytes[i] & 15]);
    }
    return hex;
}

}  // namespace

#ifdef _WIN32

namespace {

// UTF-16 as UTF-8, an unpaired surrogate as the three bytes it would have as a character, so
// that every Windows name is kept whole.
std::string KeptName(const WCHAR* text, size_t length) {
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        unsigned c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00u);
            ++i;
        }
        platform::names::AppendUtf8(out, c);
    }
    return out;
}

// The inverse of KeptName; other malformed bytes become U+FFFD.
WString NameFromKept(const std::string& text) {
    WString out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const auto lead = static_cast<unsigned char>(text[i]);
        const size_t length = lead < 0x80 ? 1 : lead >= 0xC2 && lead <= 0xDF ? 2 : lead >= 0xE0 && lead <= 0xEF ? 3
                            : lead >= 0xF0 && lead <= 0xF4 ? 4 : 0;
        unsigned code = length == 1 ? lead : lead & (0x7Fu >> length);
        bool valid = length > 0 && i + length <= text.size();
        for (size_t k = 1; valid && k < length; ++k) {
            const auto next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        const unsigned shortest = length == 2 ? 0x80 : length == 3 ? 0x800 : length == 4 ? 0x10000 : 0;
        if (!valid || code < shortest || code > 0x10FFFF) {
            out.push_back(WCHAR(0xFFFD));
            ++i;
            continue;
        }
        i += length;
        if (code >= 0x10000) {
            out.push_back(static_cast<WCHAR>(0xD800 + ((code - 0x10000) >> 10)));
            out.push_back(static_cast<WCHAR>(0xDC00 + ((code - 0x10000) & 0x3FF)));
        } else {
            out.push_back(static_cast<WCHAR>(code));
        }
    }
    return out;
}

}  // namespace

std::string RegistryLocation() { return "the system registry"; }

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

void UseBinaryStandardStreams() {
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
}

std::string DefaultModule() {
    WCHAR path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return "MsgPlugin.dll";
    *PathFindFileNameW(path) = 0;
    const WString module = WString(path) + L"MsgPlugin.dll";
    return KeptName(module.data(), module.size());
}

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i) arguments.push_back(KeptName(wide[i], static_cast<size_t>(lstrlenW(wide[i]))));
    LocalFree(wide);
    return arguments;
}

WString WideFileName(const std::string& name) { return NameFromKept(name); }

std::string FileNameFromWide(const WString& name) { return KeptName(name.data(), name.size()); }

std::filesystem::path FileSystemPath(const std::string& name) {
    const WString wide = NameFromKept(name);
    return std::filesystem::path(std::wstring(wide.begin(), wide.end()));
}

std::string FileNameOf(const std::filesystem::path& path) {
    const std::wstring& wide = path.native();
    return KeptName(reinterpret_cast<const WCHAR*>(wide.data()), wide.size());
}

std::string StoredNameHex(const std::string& name) {
    const WString wide = NameFromKept(name);
    std::string bytes;
    for (WCHAR unit : wide) {
        bytes.push_back(static_cast<char>(unit & 0xFF));
        bytes.push_back(static_cast<char>(unit >> 8));
    }
    return HexOf(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

bool FileIsReadOnly(const std::string& name) {
    const DWORD attributes = GetFileAttributesW(NameFromKept(name).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           (attributes & FILE_ATTRIBUTE_READONLY);
}

bool FolderRefusesSaves(const std::string&) { return false; }

#else

namespace {

// The folder of a file name ("." for a bare name).
std::string FolderOf(const std::string& name) {
    const size_t slash = name.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : name.substr(0, slash);
}

// The platform's rule: for the superuser, who may write anywhere, only the permission bits tell.
bool RefusesWriting(const std::string& path, int accessMode) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    if ((st.st_mode & 0222) == 0) return true;
    return ::geteuid() != 0 && ::access(path.c_str(), accessMode) != 0;
}

}  // namespace

std::string RegistryLocation() { return "the registry at " + ShownText(platform::registry::RegistryFolder()); }

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

void UseBinaryStandardStreams() {}

std::string DefaultModule() { return CARDHOST_DEFAULT_MODULE; }

std::vector<std::string> Utf8Arguments(int argc, char** argv) { return std::vector<std::string>(argv, argv + argc); }

WString WideFileName(const std::string& name) {
    const std::u16string wide = platform::names::FromNative(name);
    return WString(wide.begin(), wide.end());
}

std::string FileNameFromWide(const WString& name) {
    std::string bytes;
    if (platform::names::ToNative(std::u16string(name.begin(), name.end()), bytes)) return bytes;
    return ToUtf8(name);
}

std::filesystem::path FileSystemPath(const std::string& name) { return std::filesystem::path(name); }

std::string FileNameOf(const std::filesystem::path& path) { return path.native(); }

std::string StoredNameHex(const std::string& name) {
    return HexOf(reinterpret_cast<const unsigned char*>(name.data()), name.size());
}

bool FileIsReadOnly(const std::string& name) { return RefusesWriting(name, W_OK); }

bool FolderRefusesSaves(const std::string& name) { return RefusesWriting(FolderOf(name), W_OK | X_OK); }

#endif

}  // namespace cardhost
