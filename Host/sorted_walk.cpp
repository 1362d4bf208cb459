#include "sorted_walk.h"

#include <algorithm>
#include <system_error>
#include <utility>

#include "system.h"
#include "text.h"

namespace fs = std::filesystem;

namespace cardhost {

bool HasMessageExtension(const std::string& name) {
    if (name.size() < 4) return false;
    std::string extension = name.substr(name.size() - 4);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".msg";
}

SortedWalk::SortedWalk(const fs::path& root) { Enter(root); }

void SortedWalk::Enter(const fs::path& folder) {
    std::error_code error;
    Level level;
    fs::directory_iterator it(folder, fs::directory_options::skip_permission_denied, error);
    for (; !error && it != fs::directory_iterator(); it.increment(error)) {
        std::error_code ignored;
        Entry entry;
        // As a recursive listing does: into folders, not through links to them.
        entry.folder = it->is_directory(ignored) && !it->is_symlink(ignored);
        if (!entry.folder && !it->is_regular_file(ignored)) continue;
        entry.key = FileNameOf(it->path().filename());
        if (entry.folder)
            entry.key += static_cast<char>(fs::path::preferred_separator);
        else if (!HasMessageExtension(entry.key))
            continue;
        entry.path = it->path();
        level.entries.push_back(std::move(entry));
    }
    if (error) problems_.push_back("cannot list " + ShownText(FileNameOf(folder)) + ": " + error.message());
    std::sort(level.entries.begin(), level.entries.end(),
              [](const Entry& a, const Entry& b) { return a.key < b.key; });
    if (!level.entries.empty()) levels_.push_back(std::move(level));
}

bool SortedWalk::Next(std::string& file) {
    while (!levels_.empty()) {
        Level& level = levels_.back();
        if (level.next == level.entries.size()) {
            levels_.pop_back();
            continue;
        }
        Entry entry = std::move(level.entries[level.next++]);
        if (entry.folder) {
            Enter(entry.path);  // `level` may move
            continue;
        }
        file = FileNameOf(entry.path);
        return true;
    }
    return false;
}

std::vector<std::string> SortedWalk::TakeProblems() { return std::exchange(problems_, {}); }

}  // namespace cardhost
