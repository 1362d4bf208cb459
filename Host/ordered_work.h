// Work on several threads whose results come out in the order the work went in. The calling
// thread takes the items and hands on the results; `jobs` threads do the work between: the
// calling thread itself and `jobs` - 1 others. The calling thread works on an item whenever it
// would otherwise wait, so that `jobs` threads keep `jobs` processors busy, none of them
// switching with a thread that only waits. At most `window` items are taken and not yet handed
// on, so memory stays bounded however many items there are, and a slow item holds back at most a
// window of others.
#pragma once

#include <algorithm>
#include <cstddef>
#include <exception>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "threads.h"

namespace cardhost {

template <typename Item, typename Result>
struct OrderedWork {
    std::function<bool(Item&)> next;              // the next item; false after the last
    std::function<Result(const Item&)> process;  // on a worker thread
    std::function<void(Result&)> emit;            // on the calling thread, in the items' order
    // A thread's own set-up before its work, and its undoing after, when threadStart says so.
    std::function<bool()> threadStart;
    std::function<void()> threadEnd;

    // Runs everything; an exception from any of the functions ends the run and is rethrown here.
    void Run(unsigned jobs, size_t window) {
        if (window < 1) window = 1;
        if (jobs <= 1) {
            RunHere();
            return;
        }
        Shared shared(window);
        ThreadGroup workers(jobs - 1, [&] { Work(shared); });
        if (workers.Started() == 0) {
            RunHere();
            return;
        }
        std::exception_ptr failure;
        {
            ThreadSetUp here{*this};
            try {
                Coordinate(shared, here);
            } catch (...) {
                failure = std::current_exception();
            }
        }
        {
            Held held(shared.lock);
            shared.stop = true;
            shared.workReady.WakeAll();
        }
        workers.Join();
        if (!failure) failure = shared.failure;
        if (failure) std::rethrow_exception(failure);
    }

private:
    enum class State { Free, Pending, Working, Done };
    struct Slot {
        State state = State::Free;
        Item item{};
        std::optional<Result> result;
    };
    struct Shared {
        explicit Shared(size_t window) : slots(window) {}
        Lock lock;
        // Workers wait for items; the calling thread waits only when the window is full or the
        // items have ended, and then for the item `awaited` (half a window on, so that it wakes
        // once for many results rather than once for each).
        Signal workReady, resultReady;
        std::vector<Slot> slots;
        size_t taken = 0, claimed = 0, emitted = 0;  // counts of items
        size_t awaited = size_t(-1);
        bool ended = false, stop = false;
        std::exception_ptr failure;
        Slot& At(size_t index) { return slots[index % slots.size()]; }
    };

    // The calling thread's own set-up, made before its first item and undone at the end.
    struct ThreadSetUp {
        OrderedWork& work;
        bool made = false, due = false;
        void Make() {
            if (made) return;
            made = true;
            due = work.threadStart && work.threadStart();
        }
        ~ThreadSetUp() {
            if (due && work.threadEnd) work.threadEnd();
        }
    };

    void RunHere() {
        ThreadSetUp here{*this};
        here.Make();
        for (Item item{}; next(item); item = Item{}) {
            Result result = process(item);
            emit(result);
        }
    }

    // The calling thread: takes items while the window has room, hands on results in order.
    void Coordinate(Shared& s, ThreadSetUp& here) {
        Held held(s.lock);
        for (;;) {
            if (s.failure) return;
            if (s.emitted < s.taken && s.At(s.emitted).state == State::Done) {
                Slot& slot = s.At(s.emitted);
                Result result = std::move(*slot.result);
                slot.result.reset();
                slot.item = Item{};
                slot.state = State::Free;
                ++s.emitted;
                s.lock.Leave();
                try {
                    emit(result);
                } catch (...) {
                    s.lock.Enter();
                    throw;
                }
                s.lock.Enter();
                continue;
            }
            if (!s.ended && s.taken - s.emitted < s.slots.size()) {
                Item item{};
                s.lock.Leave();
                bool got = false;
                try {
                    got = next(item);
                } catch (...) {
                    s.lock.Enter();
                    throw;
                }
                s.lock.Enter();
                if (!got) {
                    s.ended = true;
                } else {
                    Slot& slot = s.At(s.taken++);
                    slot.item = std::move(item);
                    slot.state = State::Pending;
                    s.workReady.WakeOne();
                }
                continue;
            }
            if (s.ended && s.emitted == s.taken) return;
            if (s.claimed < s.taken) {
                // An item waits for a thread: this one does it rather than wait itself.
                const size_t index = s.claimed++;
                Slot& slot = s.At(index);
                slot.state = State::Working;
                s.lock.Leave();
                std::optional<Result> result;
                try {
                    here.Make();
                    result.emplace(process(slot.item));
                } catch (...) {
                    s.lock.Enter();
                    throw;
                }
                s.lock.Enter();
                slot.result = std::move(result);
                slot.state = State::Done;
                continue;
            }
            // The oldest is not done (else it would have been handed on): wait for the item half
            // a window on, or for the oldest when that one is done already.
            const size_t later = std::min(s.taken, s.emitted + std::max<size_t>(1, s.slots.size() / 2)) - 1;
            s.awaited = s.At(later).state == State::Done ? s.emitted : later;
            s.resultReady.Wait(s.lock);
            s.awaited = size_t(-1);
        }
    }

    // A worker thread: claims pending items in order and does them.
    void Work(Shared& s) {
        bool started = false;
        try {
            started = threadStart && threadStart();
            Held held(s.lock);
            for (;;) {
                while (!s.stop && s.claimed == s.taken) s.workReady.Wait(s.lock);
                if (s.stop) break;
                const size_t index = s.claimed++;
                Slot& slot = s.At(index);
                slot.state = State::Working;
                s.lock.Leave();
                std::optional<Result> result;
                std::exception_ptr failure;
                try {
                    result.emplace(process(slot.item));  // the slot is this thread's until Done
                } catch (...) {
                    failure = std::current_exception();
                }
                s.lock.Enter();
                if (failure) {
                    if (!s.failure) s.failure = failure;
                    s.stop = true;
                    s.workReady.WakeAll();
                    s.resultReady.WakeAll();
                    break;
                }
                slot.result = std::move(result);
                slot.state = State::Done;
                if (index == s.awaited) s.resultReady.WakeAll();
            }
        } catch (...) {
            Held held(s.lock);
            if (!s.failure) s.failure = std::current_exception();
            s.stop = true;
            s.workReady.WakeAll();
            s.resultReady.WakeAll();
        }
        if (started && threadEnd) threadEnd();
    }
};

}  // namespace cardhost
