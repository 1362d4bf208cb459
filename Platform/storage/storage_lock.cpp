// Share modes as locks on the open file. Each open holds shared locks on marker bytes far past
// any data: one byte for "has read access", "has write access", "denies read", "denies write".
// A new open may proceed when nobody denies the access it wants and nobody has the access it
// denies. The locks are open-file-description locks, so they hold between two opens in one
// process as well as between processes, and go away with the descriptor. While an open checks
// and records its locks it holds the file's flock (also per open file description, and usable
// on a descriptor opened only for reading, which an exclusive record lock is not).
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "storage/storage_internal.h"

namespace platform::storage {

namespace {

constexpr off_t kLockBase = 0x7FFFFF00;
constexpr off_t kHasRead = kLockBase + 1;
constexpr off_t kHasWrite = kLockBase + 2;
constexpr off_t kDeniesRead = kLockBase + 3;
constexpr off_t kDeniesWrite = kLockBase + 4;

int SetLock(int fd, short type, off_t offset) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    while (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// True when some other open holds a lock on the byte.
bool Held(int fd, off_t offset) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = offset;
    lock.l_len = 1;
    if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
    return lock.l_type != F_UNLCK;
}

}  // namespace

ShareRequest ShareRequestFromMode(DWORD mode) {
    ShareRequest request;
    DWORD access = mode & 3;
    request.read = access != STGM_WRITE;
    request.write = access == STGM_WRITE || access == STGM_READWRITE;
    switch (mode & 0x70) {
        case STGM_SHARE_EXCLUSIVE:
            request.denyRead = request.denyWrite = true;
            break;
        case STGM_SHARE_DENY_READ:
            request.denyRead = true;
            break;
        case STGM_SHARE_DENY_WRITE:
            request.denyWrite = true;
            break;
        default:
            break;
    }
    return request;
}

HRESULT AnnounceShareLocks(int fd, const ShareRequest& request) {
    const std::pair<bool, off_t> marks[] = {{request.read, kHasRead},
                                            {request.write, kHasWrite},
                                            {request.denyRead, kDeniesRead},
                                            {request.denyWrite, kDeniesWrite}};
    for (auto [wanted, offset] : marks)
        if (wanted && SetLock(fd, F_RDLCK, offset) != 0) return STG_E_LOCKVIOLATION;
    return S_OK;
}

HRESULT AcquireShareLocks(int fd, const ShareRequest& request) {
    // Another open holds the gate only for the moment of its own check; wait a little for it.
    for (int attempt = 0;; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
        int error = errno;
        if (error == EINTR) continue;
        if (error != EWOULDBLOCK || attempt >= 2000) return STG_E_LOCKVIOLATION;
        struct timespec pause {0, 1000000};
        ::nanosleep(&pause, nullptr);
    }
    HRESULT hr = S_OK;
    if ((request.read && Held(fd, kDeniesRead)) || (request.write && Held(fd, kDeniesWrite)) ||
        (request.denyRead && Held(fd, kHasRead)) || (request.denyWrite && Held(fd, kHasWrite)))
        hr = STG_E_SHAREVIOLATION;
    if (SUCCEEDED(hr)) hr = AnnounceShareLocks(fd, request);
    ::flock(fd, LOCK_UN);
    return hr;
}

}  // namespace platform::storage
