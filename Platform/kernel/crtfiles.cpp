// C runtime and kernel file services on Linux.
//
// Share modes. Windows checks every open of a file against the opens already present: the new
// open's access must not be denied by any of them, and its share mode must not deny an access
// one of them holds. Here each open holds open-file-description locks (which belong to the
// open, not to the process, so threads of one process exclude each other as other processes
// do) on marker bytes far beyond any real data: a shared lock on "has read" or "has write" for
// its access, and on "denies read" or "denies write" for its share mode. A new open tests for
// conflicting markers of other opens, and takes its own, while it holds a whole-file flock, so
// two opens never check at the same time.
#include "kernel/crtfiles.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "base/fault.h"
#include "base/native_name.h"

#undef st_atime
#undef st_mtime
#undef st_ctime

namespace {

// Injected failures and the errno values the C runtime would set for them.
struct CodeErrno {
    HRESULT code;
    int error;
};
constexpr CodeErrno kErrnoOfCode[] = {
    {E_ACCESSDENIED, EACCES},
    {HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION), EACCES},
    {HRESULT_FROM_WIN32(ERROR_LOCK_VIOLATION), EACCES},
    {HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), ENOENT},
    {HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND), ENOENT},
    {E_OUTOFMEMORY, ENOMEM},
    {HRESULT_FROM_WIN32(ERROR_DISK_FULL), ENOSPC},
    {HRESULT_FROM_WIN32(ERROR_FILE_EXISTS), EEXIST},
    {HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS), EEXIST},
    {E_INVALIDARG, EINVAL},
};

// The errno value of an injected failure; `fallback` for the codes the table does not name.
int ErrnoFromCode(HRESULT code, int fallback) {
    for (const CodeErrno& entry : kErrnoOfCode)
        if (entry.code == code) return entry.error;
    return fallback;
}

// True when a test made `operation` fail; errno then holds the failure.
bool Faulted(const char* operation, int fallback) {
    HRESULT code = S_OK;
    if (!PLATFORM_FAULT(operation, code)) return false;
    errno = ErrnoFromCode(code, fallback);
    return true;
}

DWORD Win32ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_ALREADY_EXISTS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOSPC: return ERROR_DISK_FULL;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EINVAL: return ERROR_INVALID_NAME;
    default: return ERROR_ACCESS_DENIED;
    }
}

bool ToOsPath(const WCHAR* path, std::string& out) {
    if (!path) return false;
    return platform::names::ToNative(std::u16string_view(path), out);
}

// ---- Share-mode markers ----------------------------------------------------------------------
constexpr off_t kMarkerBase = 0x7FFFFFFFFFFF0000LL;
constexpr off_t kHasRead = kMarkerBase + 1;
constexpr off_t kHasWrite = kMarkerBase + 2;
constexpr off_t kDeniesRead = kMarkerBase + 3;
constexpr off_t kDeniesWrite = kMarkerBase + 4;

// Holds (F_RDLCK) or releases (F_UNLCK) this open's marker; needs a descriptor open for reading.
bool SetMarker(int fd, off_t byte, short type) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    for (;;) {
        if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
        if (errno != EINTR) return false;
    }
}

// True when another open holds the marker. Testing needs no particular access.
bool MarkerHeldByOther(int fd, off_t byte) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = byte;
    lock.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &lock) != 0) return false;
    return lock.l_type != F_UNLCK;
}

bool Gate(int fd, int operation) {
    for (;;) {
        if (flock(fd, operation) == 0) return true;
        if (errno != EINTR) return false;
    }
}

enum class ShareResult { Granted, Conflict, Unsupported };

// Checks the new open against the others and, when it may proceed, leaves the markers of its
// access and share mode held on fd for as long as fd's open file description lives. The gate
// (a whole-file flock, which does not meet the byte locks) keeps two opens from checking at
// the same time.
ShareResult AcquireShare(int fd, bool readAccess, bool writeAccess, bool denyRead, bool denyWrite) {
    if (!Gate(fd, LOCK_EX)) return ShareResult::Unsupported;
    ShareResult result = ShareResult::Granted;
    if ((readAccess && MarkerHeldByOther(fd, kDeniesRead)) || (writeAccess && MarkerHeldByOther(fd, kDeniesWrite)) ||
        (denyRead && MarkerHeldByOther(fd, kHasRead)) || (denyWrite && MarkerHeldByOther(fd, kHasWrite))) {
        result = ShareResult::Conflict;
    } else if ((readAccess && !SetMarker(fd, kHasRead, F_RDLCK)) ||
               (writeAccess && !SetMarker(fd, kHasWrite, F_RDLCK)) ||
               (denyRead && !SetMarker(fd, kDeniesRead, F_RDLCK)) ||
               (denyWrite && !SetMarker(fd, kDeniesWrite, F_RDLCK))) {
        result = ShareResult::Unsupported;
    }
    Gate(fd, LOCK_UN);
    return result;
}

struct OpenMode {
    int flags = 0;
    bool read = false;
    bool write = false;
    bool truncate = false;
    char stdioMode[4] = {};
};

bool ParseMode(const WCHAR* mode, OpenMode& parsed) {
    if (!mode) return false;
    char kind = 0;
    bool plus = false, exclusive = false;
    size_t i = 0;
    switch (mode[i]) {
    case u'r': kind = 'r'; break;
    case u'w': kind = 'w'; break;
    case u'a': kind = 'a'; break;
    default: return false;
    }
    for (++i; mode[i] && mode[i] != u','; ++i) {
        switch (mode[i]) {
        case u'+':
            if (plus) return false;
            plus = true;
            break;
        case u'x':
            if (kind != 'w') return false;
            exclusive = true;
            break;
        case u'b': case u't': case u'c': case u'n': case u'N': case u'S': case u'R': case u'T': case u'D':
        case u' ':
            break;
        default:
            return false;
        }
    }
    parsed.read = kind == 'r' || plus;
    parsed.write = kind != 'r' || plus;
    parsed.flags = parsed.read && parsed.write ? O_RDWR : parsed.write ? O_WRONLY : O_RDONLY;
    if (kind == 'w') {
        parsed.flags |= O_CREAT;
        parsed.truncate = true;
        if (exclusive) parsed.flags |= O_EXCL;
    }
    if (kind == 'a') parsed.flags |= O_CREAT | O_APPEND;
    parsed.stdioMode[0] = kind;
    if (plus) parsed.stdioMode[1] = '+';
    return true;
}

}  // namespace

extern "C" errno_t _wgetenv_s(size_t* pReturnValue, WCHAR* buffer, size_t numberOfElements, const WCHAR* varname) {
    if (!pReturnValue || (!buffer && numberOfElements > 0) || !varname) {
        errno = EINVAL;
        return EINVAL;
    }
    *pReturnValue = 0;
    HRESULT code = S_OK;
    if (PLATFORM_FAULT("_wgetenv_s", code)) {
        if (buffer && numberOfElements > 0) buffer[0] = 0;
        return ErrnoFromCode(code, EINVAL);
    }
    std::string name;
    const char* value = nullptr;
    if (ToOsPath(varname, name)) value = std::getenv(name.c_str());
    if (!value) {
        if (buffer && numberOfElements > 0) buffer[0] = 0;
        return 0;
    }
    std::u16string wide = platform::names::FromNative(value);  // values name folders too
    *pReturnValue = wide.size() + 1;
    if (!buffer) return 0;  // a query of the size needed
    if (wide.size() + 1 > numberOfElements) {
        if (buffer && numberOfElements > 0) buffer[0] = 0;
        return ERANGE;
    }
    wide.copy(buffer, wide.size());
    buffer[wide.size()] = 0;
    return 0;
}

WINBASEAPI DWORD WINAPI GetCurrentDirectoryW(DWORD nBufferLength, LPWSTR lpBuffer) {
    HRESULT code = S_OK;
    if (PLATFORM_FAULT("GetCurrentDirectoryW", code)) {
        SetLastError(platform::kernel::Win32ErrorFromResult(code));
        return 0;
    }
    char* current = getcwd(nullptr, 0);
    if (!current) {
        SetLastError(Win32ErrorFromErrno(errno));
        return 0;
    }
    const std::u16string wide = platform::names::FromNative(current);
    std::free(current);
    if (!lpBuffer || wide.size() + 1 > nBufferLength) return static_cast<DWORD>(wide.size() + 1);
    wide.copy(lpBuffer, wide.size());
    lpBuffer[wide.size()] = 0;
    return static_cast<DWORD>(wide.size());
}

WINBASEAPI DWORD WINAPI GetFileAttributesW(LPCWSTR lpFileName) {
    HRESULT code = S_OK;
    if (PLATFORM_FAULT("GetFileAttributesW", code)) {
        SetLastError(platform::kernel::Win32ErrorFromResult(code));
        return INVALID_FILE_ATTRIBUTES;
    }
    std::string path;
    struct stat st {};
    if (!ToOsPath(lpFileName, path)) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(Win32ErrorFromErrno(errno));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode)) attributes |= FILE_ATTRIBUTE_DIRECTORY;
    else if (!(st.st_mode & S_IWUSR)) attributes |= FILE_ATTRIBUTE_READONLY;
    size_t slash = path.find_last_of('/');
    std::string_view name = slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
    if (name.size() > 1 && name[0] == '.' && name != "..") attributes |= FILE_ATTRIBUTE_HIDDEN;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

WINBASEAPI BOOL WINAPI CreateDirectoryW(LPCWSTR lpPathName, LPSECURITY_ATTRIBUTES) {
    HRESULT code = S_OK;
    if (PLATFORM_FAULT("CreateDirectoryW", code)) {
        SetLastError(platform::kernel::Win32ErrorFromResult(code));
        return FALSE;
    }
    std::string path;
    if (!ToOsPath(lpPathName, path) || path.empty()) {
        SetLastError(path.empty() ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
        return FALSE;
    }
    if (mkdir(path.c_str(), 0777) != 0) {
        SetLastError(errno == ENOENT ? ERROR_PATH_NOT_FOUND : Win32ErrorFromErrno(errno));
        return FALSE;
    }
    return TRUE;
}

extern "C" int _wstat64(const WCHAR* path, struct _stat64* buffer) {
    if (!path || !buffer) {
        errno = EINVAL;
        return -1;
    }
    if (Faulted("_wstat64", ENOENT)) return -1;
    std::string osPath;
    if (!ToOsPath(path, osPath)) {
        errno = ENOENT;
        return -1;
    }
    struct stat st {};
    if (stat(osPath.c_str(), &st) != 0) return -1;
    *buffer = {};
    buffer->st_dev = static_cast<unsigned int>(st.st_dev);
    buffer->st_ino = static_cast<unsigned short>(st.st_ino);
    unsigned short mode = S_ISDIR(st.st_mode) ? _S_IFDIR : S_ISCHR(st.st_mode) ? _S_IFCHR : _S_IFREG;
    if (st.st_mode & S_IRUSR) mode |= _S_IREAD;
    if (st.st_mode & S_IWUSR) mode |= _S_IWRITE;
    if (st.st_mode & S_IXUSR) mode |= _S_IEXEC;
    buffer->st_mode = mode;
    buffer->st_nlink = static_cast<short>(st.st_nlink);
    buffer->st_rdev = static_cast<unsigned int>(st.st_rdev);
    buffer->st_size = static_cast<__int64>(st.st_size);
    buffer->st_atime = st.st_atim.tv_sec;
    buffer->st_mtime = st.st_mtim.tv_sec;
    buffer->st_ctime = st.st_ctim.tv_sec;
    return 0;
}

extern "C" int _wrename(const WCHAR* oldname, const WCHAR* newname) {
    if (Faulted("_wrename", EACCES)) return -1;
    std::string from, to;
    if (!ToOsPath(oldname, from) || !ToOsPath(newname, to)) {
        errno = ENOENT;
        return -1;
    }
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno == EINVAL || errno == ENOSYS) {
        // A file system without no-replace renames: check first (racy, but only there).
        struct stat st {};
        if (lstat(to.c_str(), &st) == 0) {
            errno = EACCES;
            return -1;
        }
        if (rename(from.c_str(), to.c_str()) == 0) return 0;
    }
    if (errno == EEXIST || errno == ENOTEMPTY) errno = EACCES;
    return -1;
}

extern "C" FILE* _wfsopen(const WCHAR* filename, const WCHAR* mode, int shflag) {
    OpenMode parsed;
    bool denyRead = false, denyWrite = false;
    switch (shflag) {
    case _SH_DENYRW: denyRead = denyWrite = true; break;
    case _SH_DENYWR: denyWrite = true; break;
    case _SH_DENYRD: denyRead = true; break;
    case _SH_DENYNO: break;
    case _SH_SECURE: denyWrite = true; break;
    default:
        errno = EINVAL;
        return nullptr;
    }
    if (!filename || !ParseMode(mode, parsed)) {
        errno = EINVAL;
        return nullptr;
    }
    if (shflag == _SH_SECURE && parsed.write) denyRead = true;
    if (Faulted("_wfsopen", EACCES)) return nullptr;
    std::string path;
    if (!ToOsPath(filename, path) || path.empty()) {
        errno = ENOENT;
        return nullptr;
    }
    // Truncation waits until the share check has passed. A writer's descriptor is opened for
    // reading too where the file allows it, because holding a marker needs read access; the
    // stream itself keeps to the access asked for.
    int fd = -1;
    if (parsed.write && !parsed.read) fd = open(path.c_str(), ((parsed.flags & ~O_ACCMODE) | O_RDWR) | O_CLOEXEC, 0666);
    if (fd < 0) fd = open(path.c_str(), parsed.flags | O_CLOEXEC, 0666);
    if (fd < 0) {
        if (errno == EISDIR) errno = EACCES;
        return nullptr;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        errno = EACCES;
        return nullptr;
    }
    if (AcquireShare(fd, parsed.read, parsed.write, denyRead, denyWrite) == ShareResult::Conflict) {
        close(fd);
        errno = EACCES;
        return nullptr;
    }
    if (parsed.truncate && ftruncate(fd, 0) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    FILE* stream = fdopen(fd, parsed.stdioMode);
    if (!stream) {
        int saved = errno;
        close(fd);
        errno = saved;
    }
    return stream;
}

extern "C" int _fseeki64(FILE* stream, __int64 offset, int origin) {
    if (!stream) {
        errno = EINVAL;
        return -1;
    }
    if (Faulted("_fseeki64", EINVAL)) return -1;
    return fseeko(stream, static_cast<off_t>(offset), origin);
}

extern "C" __int64 _ftelli64(FILE* stream) {
    if (!stream) {
        errno = EINVAL;
        return -1;
    }
    if (Faulted("_ftelli64", EINVAL)) return -1;
    return static_cast<__int64>(ftello(stream));
}

extern "C" int _fileno(FILE* stream) {
    HRESULT code = S_OK;
    if (!stream || PLATFORM_FAULT("_fileno", code)) {
        errno = EINVAL;
        return -1;
    }
    return fileno(stream);
}

extern "C" errno_t _chsize_s(int fd, __int64 size) {
    if (fd < 0 || size < 0) {
        errno = EINVAL;
        return EINVAL;
    }
    if (Faulted("_chsize_s", ENOSPC)) return errno;
    if (ftruncate(fd, static_cast<off_t>(size)) != 0) return errno;
    return 0;
}
