// Share modes as locks on the open file. Each open holds locks on marker bytes far past any
// data: one byte for "has read access", "has write access", "denies read", "denies write". A
// new open may proceed when nobody denies the access it wants and nobody has the access it
// denies. The locks are open-file-description locks, so they hold between two opens in one
// process as well as between processes, and go away with the descriptor.
//
// An open that reads and writes and denies both (what a writer always asks for) conflicts with
// every other open: it takes a write lock over all four bytes, which succeeds exactly when
// nobody holds any of them, and which makes every later open's check or lock fail. Other opens
// hold read locks on their bytes; while one checks and records them it holds the file's flock
// (also per open file description, and usable on a descriptor opened only for reading, which
// an exclusive record lock is not).
#include <fcntl.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "storage/storage_internal.h"

namespace platform::storage {

namespace {

// The four marker bytes, in this order: has read, has write, denies read, denies write.
constexpr off_t kHasRead = 0x7FFFFF01;

// Locks (or tests) [first, first+count) of the marker bytes.
int SetLock(int fd, short type, off_t first, off_t count) {
    struct flock lock {};
    lock.l_type = type;
    lock.l_whence = SEEK_SET;
    lock.l_start = first;
    lock.l_len = count;
    while (::fcntl(fd, F_OFD_SETLK, &lock) != 0) {
        if (errno != EINTR) return errno;
    }
    return 0;
}

// True when some other open holds a lock on any byte of [first, first+count).
bool Held(int fd, off_t first, off_t count) {
    struct flock lock {};
    lock.l_type = F_WRLCK;
    lock.l_whence = SEEK_SET;
    lock.l_start = first;
    lock.l_len = count;
    if (::fcntl(fd, F_OFD_GETLK, &lock) != 0) return true;
    return lock.l_type != F_UNLCK;
}

// Calls `each(first, count)` for each run of adjacent marker bytes that `wanted` selects
// (wanted[i] for the byte kHasRead + i); stops at the first call that returns true.
template <class Each>
bool ForEachRun(const bool (&wanted)[4], Each each) {
    for (int i = 0; i < 4;) {
        if (!wanted[i]) {
            ++i;
            continue;
        }
        int end = i;
        while (end < 4 && wanted[end]) ++end;
        if (each(kHasRead + i, off_t(end - i))) return true;
        i = end;
    }
    return false;
}

bool Exclusive(const ShareRequest& request) {
    return request.read && request.write && request.denyRead && request.denyWrite;
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
    if (Exclusive(request)) return SetLock(fd, F_WRLCK, kHasRead, 4) == 0 ? S_OK : STG_E_LOCKVIOLATION;
    const bool marks[4] = {request.read, request.write, request.denyRead, request.denyWrite};
    const bool failed = ForEachRun(marks, [&](off_t first, off_t count) { return SetLock(fd, F_RDLCK, first, count) != 0; });
    return failed ? STG_E_LOCKVIOLATION : S_OK;
}

HRESULT AcquireShareLocks(int fd, const ShareRequest& request) {
    if (Exclusive(request)) {
        // One atomic step: check and record at once.
        const int error = SetLock(fd, F_WRLCK, kHasRead, 4);
        if (error == 0) return S_OK;
        return error == EAGAIN || error == EACCES ? STG_E_SHAREVIOLATION : STG_E_LOCKVIOLATION;
    }
    // Another open holds the gate only for the moment of its own check; wait a little for it.
    for (int attempt = 0;; ++attempt) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) break;
        int error = errno;
        if (error == EINTR) continue;
        if (error != EWOULDBLOCK || attempt >= 2000) return STG_E_LOCKVIOLATION;
        struct timespec pause {0, 1000000};
        ::nanosleep(&pause, nullptr);
    }
    // The bytes that conflict with this request: denies of what it wants, and holders of what
    // it denies.
    const bool conflicts[4] = {request.denyRead, request.denyWrite, request.read, request.write};
    HRESULT hr = ForEachRun(conflicts, [&](off_t first, off_t count) { return Held(fd, first, count); })
                     ? STG_E_SHAREVIOLATION
                     : S_OK;
    if (SUCCEEDED(hr)) {
        hr = AnnounceShareLocks(fd, request);
        // A writer's lock taken since the check (writers do not wait for the gate) is a
        // conflict like any other.
        if (FAILED(hr)) hr = STG_E_SHAREVIOLATION;
    }
    ::flock(fd, LOCK_UN);
    return hr;
}

bool ShareLocksHeld(int fd) { return Held(fd, kHasRead, 4); }

}  // namespace platform::storage
