// The temporary image of a save: its name beside the file, the record by which it is known as
// an image that a save of that file wrote, and the removal of a killed save's leftover, which
// happens only when that record proves it one. Whatever else lies at the name (a user's file, a
// link, a copy of an image) is never removed or changed.
//
// The record is an extended attribute of the image: the saved file's path and the image's own
// device and inode number, so a copy of an image (a new inode) is not taken for one. The image
// is made unnamed (O_TMPFILE), marked, and only then given its name, so no moment of a save
// shows a file at the name without its record. Where the file system has no unnamed files, the
// image is created at its name and marked at once; where it keeps no extended attributes, the
// image carries no record, and its leftover is left for the user.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "base/fault.h"
#include "storage/storage_internal.h"

namespace platform::storage {

namespace {

constexpr char kRecordAttribute[] = "user.msgplugin.save-image";

// Names that fit keep the file's name whole: "." NAME ".saving".
constexpr size_t kPlainNameLimit = NAME_MAX - 8;
// Longer names keep this many bytes of their start.
constexpr size_t kKeptStart = 200;

// A 128-bit FNV-1a hash of a name, as 32 hex digits.
std::string NameHash(std::string_view name) {
    unsigned __int128 hash = (static_cast<unsigned __int128>(0x6C62272E07BB0142ull) << 64) | 0x62B821756295C58Dull;
    const unsigned __int128 prime = (static_cast<unsigned __int128>(1) << 88) | 0x13B;
    for (unsigned char c : name) {
        hash ^= c;
        hash *= prime;
    }
    char digits[33];
    std::snprintf(digits, sizeof digits, "%016llx%016llx", static_cast<unsigned long long>(hash >> 64),
                  static_cast<unsigned long long>(hash));
    return digits;
}

std::string FolderOf(const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The saved file's path as the record names it: its folder resolved, so that two spellings of
// one path give one record.
std::string RecordedPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    char resolved[PATH_MAX];
    if (!::realpath(FolderOf(path).c_str(), resolved)) return path;
    std::string out = resolved;
    if (out != "/") out += '/';
    return out + (slash == std::string::npos ? path : path.substr(slash + 1));
}

std::string Record(const std::string& recordedPath, const struct stat& image) {
    return "1 " + std::to_string(static_cast<unsigned long long>(image.st_dev)) + " " +
           std::to_string(static_cast<unsigned long long>(image.st_ino)) + " " + recordedPath;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Marks the image behind fd as one that a save of `path` wrote. False where it cannot be marked.
bool MarkImage(int fd, const std::string& path) {
    HRESULT ignored = S_OK;
    if (PLATFORM_FAULT("storage.mark", ignored)) return false;
    struct stat image;
    if (::fstat(fd, &image) != 0) return false;
    const std::string record = Record(RecordedPath(path), image);
    return ::fsetxattr(fd, kRecordAttribute, record.data(), record.size(), 0) == 0;
}

// Gives the unnamed image behind fd the name `temporary`; errno tells why not.
bool NameImage(int fd, const std::string& temporary) {
    if (::linkat(fd, "", AT_FDCWD, temporary.c_str(), AT_EMPTY_PATH) == 0) return true;
    if (errno == EEXIST) return false;
    // Linking by descriptor needs a privilege; through /proc it does not.
    char link[40];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    return ::linkat(AT_FDCWD, link, AT_FDCWD, temporary.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

}  // namespace

std::string TemporaryImagePath(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string_view base = slash == std::string::npos ? std::string_view(path)
                                                              : std::string_view(path).substr(slash + 1);
    std::string image;
    image.reserve(path.size() + 48);
    if (slash == std::string::npos) image.append(".");
    else image.append(path, 0, slash);
    image.append("/.");
    if (base.size() <= kPlainNameLimit) {
        image.append(base).append(".saving");
        return image;
    }
    // A long name keeps its start, cut where a character starts (so the name stays text), and a
    // hash of the whole name. Such a name ends in a hex digit, a name of the first kind in "g":
    // the two kinds never meet.
    size_t kept = kKeptStart;
    while (kept > 0 && (static_cast<unsigned char>(base[kept]) & 0xC0) == 0x80) --kept;
    image.append(base.substr(0, kept)).append(".saving.").append(NameHash(base));
    return image;
}

LeftoverState ClearLeftoverImage(const std::string& path, const std::string& temporary) {
    struct stat named;
    if (::lstat(temporary.c_str(), &named) != 0) return errno == ENOENT ? LeftoverState::kNone : LeftoverState::kForeign;
    // Saves write plain files only: a link, a folder or a device there is someone else's.
    if (!S_ISREG(named.st_mode)) return LeftoverState::kForeign;
    const int fd = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) return errno == ENOENT ? LeftoverState::kNone : LeftoverState::kForeign;
    struct stat image;
    bool ours = false, held = false;
    if (::fstat(fd, &image) == 0 && SameFile(image, named)) {
        held = ShareLocksHeld(fd);
        const std::string expected = Record(RecordedPath(path), image);
        std::string record(expected.size() + 1, '\0');
        const ssize_t size = ::fgetxattr(fd, kRecordAttribute, record.data(), record.size());
        ours = size == ssize_t(expected.size()) && record.compare(0, expected.size(), expected) == 0;
    }
    ::close(fd);
    if (held) return LeftoverState::kHeld;
    if (!ours) return LeftoverState::kForeign;
    // Only if the name still leads to the image examined.
    struct stat now;
    if (::lstat(temporary.c_str(), &now) != 0) return errno == ENOENT ? LeftoverState::kNone : LeftoverState::kForeign;
    if (!SameFile(now, image)) return LeftoverState::kForeign;
    return ::unlink(temporary.c_str()) == 0 || errno == ENOENT ? LeftoverState::kNone : LeftoverState::kForeign;
}

void RemoveLeftoverImage(const std::string& path) { ClearLeftoverImage(path, TemporaryImagePath(path)); }

int CreateTemporaryImage(const std::string& path, const std::string& temporary, HRESULT* result) {
    *result = S_OK;
    bool unnamedFirst = true;
    for (int attempt = 0; attempt < 4; ++attempt) {
        bool taken = false;
        if (unnamedFirst) {
            const int fd = ::open(FolderOf(path).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
            if (fd >= 0) {
                MarkImage(fd, path);
                if (NameImage(fd, temporary)) return fd;
                const int error = errno;
                ::close(fd);
                if (error == EEXIST) taken = true;
                else unnamedFirst = false;  // it cannot be named so: it is made at its name
            } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
                unnamedFirst = false;  // the file system has no unnamed files
            } else {
                *result = WriteErrorFromErrno(errno);
                return -1;
            }
        }
        if (!taken && !unnamedFirst) {
            const int fd = ::open(temporary.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
            if (fd >= 0) {
                MarkImage(fd, path);
                return fd;
            }
            if (errno != EEXIST) {
                *result = WriteErrorFromErrno(errno);
                return -1;
            }
        }
        // The name is taken: by a killed save's image (removed), by a save still running, or by
        // a file that no save of this file wrote, which stays as it is.
        switch (ClearLeftoverImage(path, temporary)) {
            case LeftoverState::kNone:
                break;
            case LeftoverState::kHeld:
                *result = STG_E_SHAREVIOLATION;
                return -1;
            case LeftoverState::kForeign:
                *result = STG_E_ACCESSDENIED;
                return -1;
        }
    }
    *result = STG_E_WRITEFAULT;
    return -1;
}

bool TemporaryNameLeadsTo(const std::string& temporary, int fd) {
    struct stat image, named;
    return ::fstat(fd, &image) == 0 && ::lstat(temporary.c_str(), &named) == 0 && SameFile(image, named);
}

void UnmarkImage(int fd) { ::fremovexattr(fd, kRecordAttribute); }

}  // namespace platform::storage
