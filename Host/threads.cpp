#include "threads.h"

#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#endif

namespace cardhost {

#ifdef _WIN32

struct Lock::State {
    SRWLOCK lock = SRWLOCK_INIT;
};

Lock::Lock() : state_(std::make_unique<State>()) {}
Lock::~Lock() = default;
void Lock::Enter() { AcquireSRWLockExclusive(&state_->lock); }
void Lock::Leave() { ReleaseSRWLockExclusive(&state_->lock); }

struct Signal::State {
    CONDITION_VARIABLE condition = CONDITION_VARIABLE_INIT;
};

Signal::Signal() : state_(std::make_unique<State>()) {}
Signal::~Signal() = default;
void Signal::Wait(Lock& lock) { SleepConditionVariableSRW(&state_->condition, &lock.state_->lock, INFINITE, 0); }
void Signal::WakeOne() { WakeConditionVariable(&state_->condition); }
void Signal::WakeAll() { WakeAllConditionVariable(&state_->condition); }

struct ThreadGroup::State {
    std::function<void()> work;
    std::vector<HANDLE> threads;
    static DWORD WINAPI Start(LPVOID self) {
        static_cast<State*>(self)->work();
        return 0;
    }
};

ThreadGroup::ThreadGroup(unsigned count, std::function<void()> work) : state_(std::make_unique<State>()) {
    state_->work = std::move(work);
    state_->threads.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, &State::Start, state_.get(), 0, nullptr);
        if (!thread) break;
        state_->threads.push_back(thread);
    }
}

void ThreadGroup::Join() {
    for (HANDLE thread : state_->threads) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    state_->threads.clear();
}

unsigned ProcessorCount() {
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return info.dwNumberOfProcessors ? info.dwNumberOfProcessors : 1;
}

#else

struct Lock::State {
    std::mutex mutex;
};

Lock::Lock() : state_(std::make_unique<State>()) {}
Lock::~Lock() = default;
void Lock::Enter() { state_->mutex.lock(); }
void Lock::Leave() { state_->mutex.unlock(); }

struct Signal::State {
    std::condition_variable condition;
};

Signal::Signal() : state_(std::make_unique<State>()) {}
Signal::~Signal() = default;
void Signal::Wait(Lock& lock) {
    std::unique_lock<std::mutex> held(lock.state_->mutex, std::adopt_lock);
    state_->condition.wait(held);
    held.release();  // the caller still holds it
}
void Signal::WakeOne() { state_->condition.notify_one(); }
void Signal::WakeAll() { state_->condition.notify_all(); }

struct ThreadGroup::State {
    std::function<void()> work;
    std::vector<std::thread> threads;
};

ThreadGroup::ThreadGroup(unsigned count, std::function<void()> work) : state_(std::make_unique<State>()) {
    state_->work = std::move(work);
    state_->threads.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        try {
            state_->threads.emplace_back([state = state_.get()] { state->work(); });
        } catch (const std::system_error&) {
            break;
        }
    }
}

void ThreadGroup::Join() {
    for (std::thread& thread : state_->threads) thread.join();
    state_->threads.clear();
}

unsigned ProcessorCount() {
    const unsigned count = std::thread::hardware_concurrency();
    return count ? count : 1;
}

#endif

ThreadGroup::~ThreadGroup() { Join(); }

unsigned ThreadGroup::Started() const { return static_cast<unsigned>(state_->threads.size()); }

}  // namespace cardhost
