// The folder the hives live in, and the test override of it.
#include "registry/registry_folder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform_testing.h"
#include "registry/registry_handles.h"

namespace platform::registry {

std::mutex& OverrideMutex() {
    static std::mutex mutex;
    return mutex;
}
std::string& FolderOverride() {
    static std::string folder;
    return folder;
}

std::string ConfiguredFolder() {
    {
        std::lock_guard lock(OverrideMutex());
        if (!FolderOverride().empty()) return FolderOverride();
    }
    if (const char* dir = std::getenv(kFolderVariable); dir && *dir) return dir;
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::string(state) + "/msgplugin/registry";
    std::string home;
    if (const char* variable = std::getenv("HOME"); variable && *variable == '/') {
        home = variable;
    } else {
        passwd entry{};
        passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found && found->pw_dir)
            home = found->pw_dir;
    }
    if (home.empty()) home = "/tmp";
    return home + "/.local/state/msgplugin/registry";
}

bool MakeFolders(const std::string& folder) {
    std::string path;
    size_t pos = 0;
    while (pos != std::string::npos) {
        pos = folder.find('/', pos + 1);
        path = folder.substr(0, pos);
        if (path.empty()) continue;
        if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
    }
    struct stat info {};
    return stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string HiveFile(Hive hive) {
    switch (hive) {
        case Hive::Machine:
            return "machine.sqlite";
        case Hive::User:
            return "user-" + std::to_string(getuid()) + ".sqlite";
        case Hive::Users:
            return "users.sqlite";
    }
    return "machine.sqlite";
}

}  // namespace platform::registry

namespace platform::testing {
namespace {

struct SavedVariable {
    bool saved = false;
    bool present = false;
    std::string value;
};

SavedVariable& Saved() {
    static SavedVariable saved;
    return saved;
}

void RestoreFolder() {
    {
        std::lock_guard lock(registry::OverrideMutex());
        registry::FolderOverride().clear();
        SavedVariable& saved = Saved();
        if (saved.saved) {
            if (saved.present)
                setenv(registry::kFolderVariable, saved.value.c_str(), 1);
            else
                unsetenv(registry::kFolderVariable);
            saved = SavedVariable{};
        }
    }
    registry::ForgetConnections();
}

const bool g_resetRegistered = (RegisterResetHook(&RestoreFolder), true);

}  // namespace

void UseRegistryFolder(const std::string& folder) {
    if (folder.empty()) {
        RestoreFolder();
        return;
    }
    std::lock_guard lock(registry::OverrideMutex());
    SavedVariable& saved = Saved();
    if (!saved.saved) {
        const char* current = std::getenv(registry::kFolderVariable);
        saved.saved = true;
        saved.present = current != nullptr;
        saved.value = current ? current : "";
    }
    registry::FolderOverride() = folder;
    setenv(registry::kFolderVariable, folder.c_str(), 1);
}

ScopedTempRegistry::ScopedTempRegistry() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/msgplugin-registry-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data())) folder_ = buffer.data();
    UseRegistryFolder(folder_);
}

ScopedTempRegistry::~ScopedTempRegistry() {
    UseRegistryFolder("");
    if (folder_.empty()) return;
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        for (const char* file : {"machine.sqlite", "users.sqlite"}) unlink((folder_ + "/" + file + suffix).c_str());
        unlink((folder_ + "/user-" + std::to_string(getuid()) + ".sqlite" + suffix).c_str());
    }
    rmdir(folder_.c_str());
}

std::u16string ClassesRootString(const std::u16string& path, const char16_t* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return u"<no key>";
    WCHAR data[1024] = {};
    DWORD size = sizeof data - 2, type = 0;
    LONG status = RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) return u"<no value>";
    return type == REG_SZ ? std::u16string(data) : u"<not a string>";
}

}  // namespace platform::testing
