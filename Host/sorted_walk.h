// The message files below a folder, one at a time, in the order of their names as the host
// keeps them (byte by byte), without listing the whole tree first: only the folders on the way
// down are held, each sorted by itself. A folder's entries are compared with the folder's own
// names followed by the separator, which makes the order that of the whole names sorted.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cardhost {

// Whether a name ends in ".msg", in any case.
bool HasMessageExtension(const std::string& name);

class SortedWalk {
public:
    // Folders that refuse listing are passed over, as a recursive listing does; other
    // listing errors end only that folder's listing and are kept for TakeProblems.
    explicit SortedWalk(const std::filesystem::path& root);
    // The next message file (a name as the host keeps it); false at the end.
    bool Next(std::string& file);
    // What could not be listed since the last call, one text each.
    std::vector<std::string> TakeProblems();

private:
    struct Entry {
        std::string key;  // the name, and the separator after a folder's
        std::filesystem::path path;
        bool folder = false;
    };
    struct Level {
        std::vector<Entry> entries;
        size_t next = 0;
    };
    void Enter(const std::filesystem::path& folder);

    std::vector<Level> levels_;
    std::vector<std::string> problems_;
};

}  // namespace cardhost
