// Test-only: child processes of a test, and something held by another process (a file open with
// a share mode, a locked storage) for as long as a test needs it. Header-only, for the
// platform's and the module's tests.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <functional>

namespace platform::testing {

// Waits for a child process to end: its exit code, or -1 when it did not exit (a signal ended it).
inline int ExitCodeOf(pid_t child) {
    int status = 0;
    if (waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// Forks a child that calls hold() (true when it holds what it was to), tells this process so, and
// keeps holding until Release; then it calls letGo() and ends.
class HeldByAnotherProcess {
public:
    HeldByAnotherProcess(const std::function<bool()>& hold, const std::function<void()>& letGo) {
        if (pipe(ready_) != 0 || pipe(release_) != 0) return;
        child_ = fork();
        if (child_ == 0) {
            char byte = hold() ? 'y' : 'n';
            const bool told = write(ready_[1], &byte, 1) == 1;
            const bool released = read(release_[0], &byte, 1) == 1;
            letGo();
            _exit(told && released ? 0 : 2);
        }
        char byte = 0;
        holding_ = child_ > 0 && read(ready_[0], &byte, 1) == 1 && byte == 'y';
    }
    ~HeldByAnotherProcess() {
        Release();
        for (int fd : {ready_[0], ready_[1], release_[0], release_[1]})
            if (fd >= 0) close(fd);
    }
    HeldByAnotherProcess(const HeldByAnotherProcess&) = delete;
    HeldByAnotherProcess& operator=(const HeldByAnotherProcess&) = delete;

    // The child runs and holds.
    bool Holding() const { return holding_; }

    // Lets the child let go and end; true when it ended normally with nothing amiss.
    bool Release() {
        if (child_ <= 0) return false;
        const pid_t child = child_;
        child_ = -1;
        const bool told = write(release_[1], "x", 1) == 1;
        return ExitCodeOf(child) == 0 && told;
    }

private:
    int ready_[2] = {-1, -1};
    int release_[2] = {-1, -1};
    pid_t child_ = -1;
    bool holding_ = false;
};

}  // namespace platform::testing
