// Test-only: a fresh temporary folder for a test, environment variables set for a test and put
// back afterwards, and the sample messages of a folder. Header-only, for the platform's, the
// module's and the host's tests alike.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace platform::testing {

// A new, empty folder /tmp/<prefix>.XXXXXX for the life of this object, then removed with all it
// holds, folders a test made read-only included.
class TempFolder {
public:
    explicit TempFolder(const std::string& prefix) {
        std::string pattern = "/tmp/" + prefix + ".XXXXXX";
        if (mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder() {
        if (path_.empty()) return;
        namespace fs = std::filesystem;
        std::error_code ignored;
        // A folder without write or search permission keeps its contents: open them all first.
        fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
        for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
             it.increment(ignored)) {
            if (it->is_directory(ignored) && !it->is_symlink(ignored))
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        }
        fs::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    // False when the folder could not be made (the path is then empty).
    bool Made() const { return !path_.empty(); }
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Sets and unsets environment variables for the life of this object; each is then put back as it
// was before its first change here (set to its old value, or unset).
class ScopedEnvironment {
public:
    ScopedEnvironment() = default;
    ~ScopedEnvironment() {
        for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
            if (it->second) setenv(it->first.c_str(), it->second->c_str(), 1);
            else unsetenv(it->first.c_str());
        }
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

    // Puts `name` back at the end, without changing it now (for a test that sets it itself).
    void Keep(const std::string& name) {
        for (const auto& [saved, value] : saved_)
            if (saved == name) return;
        const char* value = std::getenv(name.c_str());
        saved_.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
    }
    void Set(const std::string& name, const std::string& value) {
        Keep(name);
        setenv(name.c_str(), value.c_str(), 1);
    }
    void Unset(const std::string& name) {
        Keep(name);
        unsetenv(name.c_str());
    }

private:

    std::vector<std::pair<std::string, std::optional<std::string>>> saved_;
};

// The .msg files below `folder`, sorted by path; none when the folder is missing.
inline std::vector<std::filesystem::path> MessagesBelow(const std::filesystem::path& folder) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, error))
        if (entry.is_regular_file() && entry.path().extension() == ".msg") files.push_back(entry.path());
    std::sort(files.begin(), files.end());
    return files;
}

}  // namespace platform::testing
