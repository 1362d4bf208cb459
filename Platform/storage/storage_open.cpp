// Opening and creating compound files: StgOpenStorage, StgCreateDocfile, StgIsStorageFile,
// and the memory images of the tests.
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "base/clock.h"
#include "base/native_name.h"
#include "base/fault.h"
#include "platform_testing.h"
#include "storage/storage_internal.h"

namespace platform::storage {

namespace {

std::atomic<unsigned> g_newSectorSize{512};

bool CanWrite(DWORD mode) { return (mode & 3) == STGM_WRITE || (mode & 3) == STGM_READWRITE; }

// ---- Opening files -------------------------------------------------------------------------

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

HRESULT OpenError(int error, const std::string& path) {
    switch (error) {
        case ENOENT: {
            struct stat folder;
            return ::stat(FolderOf(path).c_str(), &folder) == 0 && S_ISDIR(folder.st_mode) ? STG_E_FILENOTFOUND
                                                                                           : STG_E_PATHNOTFOUND;
        }
        case ENOTDIR:
        case ELOOP:
            return STG_E_PATHNOTFOUND;
        case ENAMETOOLONG:
            return STG_E_INVALIDNAME;
        case EACCES:
        case EPERM:
        case EROFS:
        case EISDIR:
        case ETXTBSY:
            return STG_E_ACCESSDENIED;
        case EMFILE:
        case ENFILE:
            return STG_E_TOOMANYOPENFILES;
        case ENOMEM:
            return STG_E_INSUFFICIENTMEMORY;
        default:
            return STG_E_FILENOTFOUND;
    }
}

// A folder nobody may write to cannot take the new image of a save: treat the file in it as
// read-only, also for a superuser (who may write anywhere, so only the bits tell).
bool FolderWritable(const std::string& folder) {
    static const bool superuser = ::geteuid() == 0;
    if (!superuser) return ::access(folder.c_str(), W_OK | X_OK) == 0;
    struct stat st;
    return ::stat(folder.c_str(), &st) == 0 && (st.st_mode & 0222) != 0;
}

// Validates StgOpenStorage's mode.
HRESULT CheckOpenMode(DWORD mode) {
    const DWORD known = 3 | 0x70 | STGM_TRANSACTED | STGM_PRIORITY | STGM_NOSCRATCH | STGM_NOSNAPSHOT |
                        STGM_SIMPLE | STGM_DIRECT_SWMR | STGM_CREATE | STGM_CONVERT | STGM_DELETEONRELEASE;
    if ((mode & ~known) || (mode & 3) == 3 || (mode & 0x70) > STGM_SHARE_DENY_NONE) return STG_E_INVALIDFLAG;
    if (mode & (STGM_CREATE | STGM_CONVERT | STGM_DELETEONRELEASE | STGM_PRIORITY | STGM_SIMPLE |
                STGM_DIRECT_SWMR | STGM_NOSCRATCH | STGM_NOSNAPSHOT))
        return STG_E_INVALIDFLAG;
    // Writing is direct, which needs the file to itself.
    if (CanWrite(mode) && ((mode & STGM_TRANSACTED) || (mode & 0x70) != STGM_SHARE_EXCLUSIVE))
        return STG_E_INVALIDFLAG;
    return S_OK;
}

HRESULT OpenDocument(const std::string& given, DWORD mode, IStorage** out) {
    const bool write = CanWrite(mode);
    const ShareRequest request = ShareRequestFromMode(mode);
    // The file is kept by an absolute path whose last part is not a symbolic link: saves
    // replace the file there, and a link is followed to the file it leads to.
    std::string path = given;
    if (path[0] != '/') {
        char folder[PATH_MAX];
        if (!::getcwd(folder, sizeof folder)) return OpenError(errno, given);
        path = std::string(folder) + "/" + path;
    }
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 && errno == ELOOP) {
            char resolved[PATH_MAX];
            if (!::realpath(path.c_str(), resolved)) return OpenError(errno, path);
            path = resolved;
            fd = ::open(path.c_str(), (write ? O_RDWR : O_RDONLY) | O_CLOEXEC | O_NOFOLLOW);
        }
        if (fd < 0) return OpenError(errno, path);
        struct stat st;
        if (::fstat(fd, &st) != 0) {
            ::close(fd);
            return STG_E_READFAULT;
        }
        auto fail = [&](HRESULT hr) {
            ::close(fd);
            return hr;
        };
        if (S_ISDIR(st.st_mode)) return fail(STG_E_ACCESSDENIED);
        if (!S_ISREG(st.st_mode)) return fail(STG_E_FILENOTFOUND);
        if (write) {
            // A file whose permission bits grant nobody write access is read-only, as the
            // read-only attribute is on Windows, whoever opens it.
            if ((st.st_mode & 0222) == 0) return fail(STG_E_ACCESSDENIED);
            if (!FolderWritable(FolderOf(path))) return fail(STG_E_ACCESSDENIED);
        }
        HRESULT hr = AcquireShareLocks(fd, request);
        if (FAILED(hr)) return fail(hr);
        // A save of another open may have replaced the file between our open and our locks:
        // then we hold the old one, and start again on the new one.
        struct stat now;
        if (::stat(path.c_str(), &now) != 0 || now.st_ino != st.st_ino || now.st_dev != st.st_dev) {
            ::close(fd);
            continue;
        }
        // Holding the file for writing and exclusively, nobody can be saving it: a temporary
        // image of it is a leftover of a save that was killed.
        if (request.write && request.denyRead && request.denyWrite) RemoveLeftoverImage(path);
        auto* document = new Document();
        document->path = path;
        document->share = request;
        document->writable = write;
        document->mode = mode;
        document->AddRef();  // held while loading
        hr = document->Load(MakeFileSource(fd, uint64_t(st.st_size)));
        if (SUCCEEDED(hr)) CreateStorageObject(document, 0, mode, true, out);
        document->Release();
        return hr;
    }
    return STG_E_LOCKVIOLATION;
}

}  // namespace

bool PathFromWide(const WCHAR* wide, std::string* path) {
    return platform::names::ToNative(std::u16string_view(wide), *path);
}

std::string Document::ResolvedPath() const {
    char resolved[PATH_MAX];
    return ::realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

unsigned NewDocfileSectorSize();
void SetNewDocfileSectorSizeValue(unsigned bytes);
unsigned NewDocfileSectorSize() { return g_newSectorSize.load(); }
void SetNewDocfileSectorSizeValue(unsigned bytes) { g_newSectorSize.store(bytes == 4096 ? 4096 : 512); }

}  // namespace platform::storage

using namespace platform::storage;

STDAPI StgOpenStorage(const WCHAR* pwcsName, IStorage* pstgPriority, DWORD grfMode, SNB snbExclude,
                      DWORD reserved, IStorage** ppstgOpen) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("StgOpenStorage", hr)) {
        if (ppstgOpen) *ppstgOpen = nullptr;
        return hr;
    }
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (pstgPriority || snbExclude) return STG_E_INVALIDFUNCTION;
    if (reserved) return STG_E_INVALIDPARAMETER;
    if (!pwcsName) return STG_E_INVALIDNAME;
    if (FAILED(hr = CheckOpenMode(grfMode))) return hr;
    return Guarded([&]() -> HRESULT {
        std::string path;
        if (!PathFromWide(pwcsName, &path) || path.empty()) return STG_E_INVALIDNAME;
        return OpenDocument(path, grfMode, ppstgOpen);
    });
}

STDAPI StgCreateDocfile(const WCHAR* pwcsName, DWORD grfMode, DWORD reserved, IStorage** ppstgOpen) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("StgCreateDocfile", hr)) {
        if (ppstgOpen) *ppstgOpen = nullptr;
        return hr;
    }
    if (!ppstgOpen) return STG_E_INVALIDPOINTER;
    *ppstgOpen = nullptr;
    if (reserved) return STG_E_INVALIDPARAMETER;
    const DWORD known = 3 | 0x70 | STGM_CREATE | STGM_DELETEONRELEASE | STGM_TRANSACTED;
    if ((grfMode & ~known) || (grfMode & 3) == 3 || (grfMode & 0x70) > STGM_SHARE_DENY_NONE) return STG_E_INVALIDFLAG;
    if (!CanWrite(grfMode) || (grfMode & STGM_TRANSACTED) || (grfMode & 0x70) != STGM_SHARE_EXCLUSIVE)
        return STG_E_INVALIDFLAG;
    return Guarded([&]() -> HRESULT {
        std::string path;
        bool temporary = !pwcsName;
        DWORD mode = grfMode;
        if (temporary) {
            const char* folder = std::getenv("TMPDIR");
            path = std::string(folder && *folder ? folder : "/tmp") + "/stg-XXXXXX";
            int fd = ::mkostemp(path.data(), O_CLOEXEC);
            if (fd < 0) return OpenError(errno, path);
            ::close(fd);
            mode |= STGM_CREATE | STGM_DELETEONRELEASE;
        } else if (!PathFromWide(pwcsName, &path) || path.empty()) {
            return STG_E_INVALIDNAME;
        }

        auto* document = new Document();
        document->AddRef();
        struct Holder {
            Document* document;
            ~Holder() { document->Release(); }
        } holder{document};
        document->share = ShareRequestFromMode(mode);
        document->writable = true;
        document->mode = mode & ~DWORD(STGM_CREATE | STGM_DELETEONRELEASE);
        document->deleteOnRelease = (mode & STGM_DELETEONRELEASE) != 0;

        std::unique_ptr<Source> existing;
        struct stat st;
        if (::stat(path.c_str(), &st) == 0) {
            if (S_ISDIR(st.st_mode)) return STG_E_ACCESSDENIED;
            if (!(mode & STGM_CREATE)) return STG_E_FILEALREADYEXISTS;
            if ((st.st_mode & 0222) == 0 || ::access(path.c_str(), W_OK) != 0) return STG_E_ACCESSDENIED;
            char resolved[PATH_MAX];
            if (!::realpath(path.c_str(), resolved)) return OpenError(errno, path);
            document->path = resolved;
            // Hold the old file, locked as this open will hold the new one, until it is replaced.
            int fd = ::open(resolved, O_RDWR | O_CLOEXEC);
            if (fd < 0) return OpenError(errno, path);
            existing = MakeFileSource(fd, uint64_t(st.st_size));
            HRESULT locked = AcquireShareLocks(fd, document->share);
            if (FAILED(locked)) return locked;
        } else {
            if (errno != ENOENT) return OpenError(errno, path);
            std::string folder = FolderOf(path);
            char resolved[PATH_MAX];
            if (!::realpath(folder.c_str(), resolved)) return STG_E_PATHNOTFOUND;
            size_t slash = path.rfind('/');
            document->path = std::string(resolved) + "/" + (slash == std::string::npos ? path : path.substr(slash + 1));
        }
        if (!FolderWritable(FolderOf(document->path))) return STG_E_ACCESSDENIED;
        document->InitEmpty(NewDocfileSectorSize(), std::move(existing));
        ULONGLONG now = platform::clock::NowFileTime();
        Store64(document->directory.Entry(0) + 108, now);
        document->dirty = true;
        HRESULT saved = document->Save();
        if (FAILED(saved)) {
            document->writable = false;  // nothing more to write on release
            document->deleteOnRelease = false;
            if (temporary) ::unlink(path.c_str());
            return saved;
        }
        return CreateStorageObject(document, 0, document->mode, true, ppstgOpen);
    });
}

STDAPI StgIsStorageFile(const WCHAR* pwcsName) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("StgIsStorageFile", hr)) return hr;
    if (!pwcsName) return STG_E_INVALIDNAME;
    return Guarded([&]() -> HRESULT {
        std::string path;
        if (!PathFromWide(pwcsName, &path) || path.empty()) return STG_E_INVALIDNAME;
        int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return OpenError(errno, path);
        struct stat st;
        if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
            ::close(fd);
            return STG_E_ACCESSDENIED;
        }
        BYTE header[512];
        ssize_t got = ::pread(fd, header, sizeof header, 0);
        ::close(fd);
        if (got < ssize_t(sizeof header)) return S_FALSE;
        return std::memcmp(header, kSignature, sizeof kSignature) == 0 ? S_OK : S_FALSE;
    });
}

namespace platform::testing {

HRESULT OpenStorageOnMemory(const void* data, size_t size, IStorage** storage) {
    HRESULT hr = S_OK;
    if (PLATFORM_FAULT("OpenStorageOnMemory", hr)) return hr;
    if (!storage) return STG_E_INVALIDPOINTER;
    *storage = nullptr;
    if (!data && size) return STG_E_INVALIDPOINTER;
    return Guarded([&]() -> HRESULT {
        auto* document = new Document();
        document->mode = STGM_READ | STGM_SHARE_DENY_NONE;
        document->AddRef();
        HRESULT result = document->Load(MakeMemorySource(data, size));
        if (SUCCEEDED(result)) CreateStorageObject(document, 0, document->mode, true, storage);
        document->Release();
        return result;
    });
}

void SetNewDocfileSectorSize(unsigned bytes) { storage::SetNewDocfileSectorSizeValue(bytes); }

}  // namespace platform::testing

namespace {
// Test controls of this service return to their defaults between tests.
const bool g_resetRegistered = [] {
    platform::testing::RegisterResetHook([] { platform::storage::SetNewDocfileSectorSizeValue(512); });
    return true;
}();
}  // namespace
