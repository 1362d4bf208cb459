// Threads, locks and conditions for the stress run, on both builds: the Linux build's are the C++
// library's; the Windows build's compiler has no C++ threads (its thread model is the Windows
// API's own), so there they are Windows threads, slim reader/writer locks and condition variables.
#pragma once

#include <chrono>
#include <functional>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#include <thread>
#endif

namespace cardstress {

#ifdef _WIN32

class Mutex {
public:
    Mutex() = default;
    Mutex(const Mutex&) = delete;
    Mutex& operator=(const Mutex&) = delete;
    void lock() { AcquireSRWLockExclusive(&lock_); }
    void unlock() { ReleaseSRWLockExclusive(&lock_); }
    bool try_lock() { return TryAcquireSRWLockExclusive(&lock_) != 0; }

private:
    friend class Condition;
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// A condition waited for under a held Mutex, which is let go while waiting.
class Condition {
public:
    Condition() = default;
    Condition(const Condition&) = delete;
    Condition& operator=(const Condition&) = delete;
    template <class Ready>
    void Wait(Mutex& held, Ready ready) {
        while (!ready()) SleepConditionVariableSRW(&condition_, &held.lock_, INFINITE, 0);
    }
    // False when the time ran out before `ready`.
    template <class Ready>
    bool WaitFor(Mutex& held, std::chrono::milliseconds patience, Ready ready) {
        const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(patience.count());
        while (!ready()) {
            const ULONGLONG now = GetTickCount64();
            if (now >= end) return false;
            SleepConditionVariableSRW(&condition_, &held.lock_, static_cast<DWORD>(end - now), 0);
        }
        return true;
    }
    void WakeAll() { WakeAllConditionVariable(&condition_); }

private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

// One thread running `work`; joined by Join or when it goes.
class Thread {
public:
    explicit Thread(std::function<void()> work) : work_(std::make_unique<std::function<void()>>(std::move(work))) {
        handle_ = CreateThread(nullptr, 0, &Thread::Run, work_.get(), 0, nullptr);
        if (!handle_) (*work_)();  // no thread to be had: the work is done here, in turn
    }
    Thread(Thread&& other) noexcept : work_(std::move(other.work_)), handle_(other.handle_) { other.handle_ = nullptr; }
    Thread& operator=(Thread&&) = delete;
    ~Thread() { Join(); }
    void Join() {
        if (!handle_) return;
        WaitForSingleObject(handle_, INFINITE);
        CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    static DWORD WINAPI Run(LPVOID work) {
        (*static_cast<std::function<void()>*>(work))();
        return 0;
    }
    std::unique_ptr<std::function<void()>> work_;
    HANDLE handle_ = nullptr;
};

#else

using Mutex = std::mutex;

class Condition {
public:
    template <class Ready>
    void Wait(Mutex& held, Ready ready) {
        std::unique_lock lock(held, std::adopt_lock);
        condition_.wait(lock, ready);
        lock.release();
    }
    template <class Ready>
    bool WaitFor(Mutex& held, std::chrono::milliseconds patience, Ready ready) {
        std::unique_lock lock(held, std::adopt_lock);
        const bool done = condition_.wait_for(lock, patience, ready);
        lock.release();
        return done;
    }
    void WakeAll() { condition_.notify_all(); }

private:
    std::condition_variable condition_;
};

class Thread {
public:
    explicit Thread(std::function<void()> work) : thread_(std::move(work)) {}
    ~Thread() { Join(); }
    Thread(Thread&&) noexcept = default;
    Thread& operator=(Thread&&) = delete;
    void Join() {
        if (thread_.joinable()) thread_.join();
    }

private:
    std::thread thread_;
};

#endif

// Holds a Mutex for its lifetime.
class Held {
public:
    explicit Held(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~Held() { mutex_.unlock(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Mutex& mutex_;
};

// Holds a Mutex for its lifetime when it was free; owns() says whether it was.
class HeldIfFree {
public:
    explicit HeldIfFree(Mutex& mutex) : mutex_(mutex), owns_(mutex.try_lock()) {}
    ~HeldIfFree() {
        if (owns_) mutex_.unlock();
    }
    HeldIfFree(const HeldIfFree&) = delete;
    HeldIfFree& operator=(const HeldIfFree&) = delete;
    bool owns() const { return owns_; }

private:
    Mutex& mutex_;
    bool owns_;
};

}  // namespace cardstress
