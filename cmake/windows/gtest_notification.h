// GoogleTest's Notification for the Win32-threads compilers, which have no std::mutex or
// std::condition_variable: a manual-reset event of the system's. Included before GoogleTest's
// own headers (GTEST_HAS_NOTIFICATION_ tells them it is there).
#pragma once

#include <windows.h>

namespace testing {
namespace internal {

class Notification {
public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() { CloseHandle(event_); }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { SetEvent(event_); }
    void WaitForNotification() { WaitForSingleObject(event_, INFINITE); }

private:
    HANDLE event_;
};

}  // namespace internal
}  // namespace testing
