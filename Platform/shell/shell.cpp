// Shell services on Linux: XDG folders as item lists, the path helpers and a message box that
// writes to standard error.
#include "shell/shell.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

#include "base/fault.h"
#include "platform_testing.h"
#include "base/native_name.h"
#include "base/utf.h"

namespace {

std::string HomeFolder() {
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/') return home;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[4096];
    if (getpwuid_r(getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found && found->pw_dir &&
        found->pw_dir[0] == '/')
        return found->pw_dir;
    return {};
}

// The XDG folder for the variable, else home + fallback; empty when there is no home.
std::string XdgFolder(const char* variable, const char* fallback) {
    const char* value = std::getenv(variable);
    if (value && value[0] == '/') return value;
    std::string home = HomeFolder();
    if (home.empty()) return {};
    if (home.back() != '/') home.push_back('/');
    return home + fallback;
}

// mkdir -p with the XDG mode for the folders it makes.
bool EnsureFolder(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (!prefix.empty() && mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) return false;
        if (slash == std::string::npos) break;
    }
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

struct MessageBoxRecord {
    std::mutex mutex;
    unsigned count = 0;
    std::u16string text;
    std::u16string caption;
    UINT style = 0;
    bool silent = false;
};

MessageBoxRecord& Record() {
    static MessageBoxRecord record;
    return record;
}

void ResetMessageBoxes() {
    MessageBoxRecord& record = Record();
    std::lock_guard lock(record.mutex);
    record.count = 0;
    record.text.clear();
    record.caption.clear();
    record.style = 0;
    record.silent = false;
}

const bool g_resetRegistered = (platform::testing::RegisterResetHook(&ResetMessageBoxes), true);

std::string OneLine(LPCWSTR text) {
    if (!text) return {};
    std::u16string wide(text);
    for (char16_t& c : wide)
        if (c == u'\n' || c == u'\r' || c == u'\t') c = u' ';
    return platform::utf::ToUtf8(wide);  // text for people: an unpaired surrogate shows as U+FFFD
}

}  // namespace

STDAPI SHGetSpecialFolderLocation(HWND, int csidl, PIDLIST_ABSOLUTE* ppidl) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("SHGetSpecialFolderLocation", ppidl, E_INVALIDARG, &hr)) return hr;
    std::string folder;
    switch (csidl & ~CSIDL_FLAG_MASK) {
    case CSIDL_APPDATA: folder = XdgFolder("XDG_CONFIG_HOME", ".config"); break;
    case CSIDL_LOCAL_APPDATA: folder = XdgFolder("XDG_DATA_HOME", ".local/share"); break;
    default: return E_INVALIDARG;
    }
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    if (folder.empty() || !EnsureFolder(folder)) return E_FAIL;
    std::u16string wide = platform::names::FromNative(folder);
    size_t itemBytes = sizeof(USHORT) + wide.size() * sizeof(WCHAR);
    if (itemBytes > 0xFFFF) return E_FAIL;
    auto* list = static_cast<BYTE*>(CoTaskMemAlloc(itemBytes + sizeof(USHORT)));
    if (!list) return E_OUTOFMEMORY;
    USHORT cb = static_cast<USHORT>(itemBytes), end = 0;
    std::memcpy(list, &cb, sizeof cb);
    std::memcpy(list + sizeof cb, wide.data(), wide.size() * sizeof(WCHAR));
    std::memcpy(list + itemBytes, &end, sizeof end);
    *ppidl = reinterpret_cast<PIDLIST_ABSOLUTE>(list);
    return S_OK;
}

STDAPI_(BOOL) SHGetPathFromIDListW(PCIDLIST_ABSOLUTE pidl, LPWSTR pszPath) {
    if (!pszPath) return FALSE;
    pszPath[0] = 0;
    HRESULT hr = S_OK;
    if (!pidl || PLATFORM_FAULT("SHGetPathFromIDListW", hr)) return FALSE;
    USHORT cb = 0;
    std::memcpy(&cb, pidl, sizeof cb);
    if (cb <= sizeof(USHORT) || (cb - sizeof(USHORT)) % sizeof(WCHAR) != 0) return FALSE;
    size_t characters = (cb - sizeof(USHORT)) / sizeof(WCHAR);
    if (characters >= MAX_PATH) return FALSE;
    std::memcpy(pszPath, reinterpret_cast<const BYTE*>(pidl) + sizeof(USHORT), characters * sizeof(WCHAR));
    pszPath[characters] = 0;
    return TRUE;
}

STDAPI SHGetMalloc(IMalloc** ppMalloc) {
    HRESULT hr = S_OK;
    if (platform::fault::EndsAtOutStart("SHGetMalloc", ppMalloc, E_INVALIDARG, &hr)) return hr;
    return CoGetMalloc(MEMCTX_TASK, ppMalloc);
}

STDAPI_(int) MessageBoxW(HWND, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("MessageBoxW", hr)) return 0;
    MessageBoxRecord& record = Record();
    bool silent;
    {
        std::lock_guard lock(record.mutex);
        ++record.count;
        record.text = lpText ? lpText : u"";
        record.caption = lpCaption ? lpCaption : u"Error";
        record.style = uType;
        silent = record.silent;
    }
    if (!silent) {
        std::string line = OneLine(lpCaption ? lpCaption : u"Error") + ": " + OneLine(lpText) + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
        std::fflush(stderr);
    }
    switch (uType & 0xF) {
    case MB_ABORTRETRYIGNORE: return IDABORT;
    case MB_YESNOCANCEL:
    case MB_YESNO: return IDYES;
    case MB_RETRYCANCEL: return IDRETRY;
    default: return IDOK;
    }
}

namespace platform::testing {

unsigned MessageBoxCount() {
    std::lock_guard lock(Record().mutex);
    return Record().count;
}

std::u16string LastMessageBoxText() {
    std::lock_guard lock(Record().mutex);
    return Record().text;
}

std::u16string LastMessageBoxCaption() {
    std::lock_guard lock(Record().mutex);
    return Record().caption;
}

UINT LastMessageBoxStyle() {
    std::lock_guard lock(Record().mutex);
    return Record().style;
}

void SetMessageBoxesSilent(bool silent) {
    std::lock_guard lock(Record().mutex);
    Record().silent = silent;
}

}  // namespace platform::testing
