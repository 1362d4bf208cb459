// Threads for the host. On Linux they are the C++ library's; the Windows build's compiler has no
// C++ threads (its thread model is the Windows API's own), so there they are Windows threads,
// slim reader/writer locks and condition variables.
#pragma once

#include <exception>
#include <functional>
#include <memory>

namespace cardhost {

class Lock {
public:
    Lock();
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    void Enter();
    void Leave();

private:
    friend class Signal;
    struct State;
    std::unique_ptr<State> state_;
};

// Holds a lock for its lifetime.
class Held {
public:
    explicit Held(Lock& lock) : lock_(lock) { lock_.Enter(); }
    ~Held() { lock_.Leave(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

private:
    Lock& lock_;
};

// A condition to wait for under a lock.
class Signal {
public:
    Signal();
    ~Signal();
    Signal(const Signal&) = delete;
    Signal& operator=(const Signal&) = delete;
    // The caller holds `lock`; it is let go while waiting and held again on return.
    void Wait(Lock& lock);
    void WakeOne();
    void WakeAll();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// Up to `count` threads running `work`; they are waited for when the group goes. Fewer may
// start when the system refuses more (Started() says how many).
class ThreadGroup {
public:
    ThreadGroup(unsigned count, std::function<void()> work);
    ~ThreadGroup();
    ThreadGroup(const ThreadGroup&) = delete;
    ThreadGroup& operator=(const ThreadGroup&) = delete;
    unsigned Started() const;
    void Join();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The processors this process may run on (at least 1).
unsigned ProcessorCount();

}  // namespace cardhost
