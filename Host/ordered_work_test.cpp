// Work done on several threads comes out whole, once each and in the order it went in, with at
// most a window of items between taking and handing on; a failure anywhere ends the run and is
// told to the caller.
#include "ordered_work.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>

namespace {

using cardhost::OrderedWork;

// Items 0, 1, ... count - 1 in turn; `taken` counts those handed out.
std::function<bool(int&)> CountingItems(size_t& taken, size_t count) {
    return [&taken, count](int& item) {
        if (taken == count) return false;
        item = static_cast<int>(taken++);
        return true;
    };
}

// The plain model: each item's result, in the items' order.
std::vector<long> Model(size_t count) {
    std::vector<long> results;
    for (size_t i = 0; i < count; ++i) results.push_back(static_cast<long>(i) * 7 + 3);
    return results;
}

TEST(OrderedWork, ResultsComeInTheItemsOrderWithinTheWindowOnSeededRandomRuns) {
    for (unsigned seed = 1; seed <= 60; ++seed) {
        std::mt19937 random(seed);
        const size_t count = std::uniform_int_distribution<size_t>(0, 250)(random);
        const unsigned jobs = std::uniform_int_distribution<unsigned>(1, 6)(random);
        const size_t window = std::uniform_int_distribution<size_t>(1, 12)(random);
        std::vector<unsigned> delays(count);  // microseconds of work per item
        for (unsigned& delay : delays) delay = std::uniform_int_distribution<unsigned>(0, 3)(random) == 0 ? 200 : 0;

        size_t taken = 0, handedOn = 0, mostInFlight = 0;
        std::vector<long> results;
        std::mutex threadsLock;
        std::set<std::thread::id> threads;
        OrderedWork<size_t, long> work;
        work.next = [&](size_t& item) {
            if (taken == count) return false;
            item = taken++;
            mostInFlight = std::max(mostInFlight, taken - handedOn);
            return true;
        };
        work.process = [&](const size_t& item) {
            {
                std::lock_guard<std::mutex> held(threadsLock);
                threads.insert(std::this_thread::get_id());
            }
            if (delays[item]) std::this_thread::sleep_for(std::chrono::microseconds(delays[item]));
            return static_cast<long>(item) * 7 + 3;
        };
        work.emit = [&](long& result) {
            ++handedOn;
            results.push_back(result);
        };
        work.Run(jobs, window);
        SCOPED_TRACE("seed " + std::to_string(seed) + ", jobs " + std::to_string(jobs) + ", window " +
                     std::to_string(window) + ", items " + std::to_string(count));
        EXPECT_EQ(results, Model(count));
        EXPECT_LE(mostInFlight, jobs <= 1 ? size_t{1} : window);
        EXPECT_LE(threads.size(), jobs);
        if (jobs == 1 && count) {
            EXPECT_EQ(*threads.begin(), std::this_thread::get_id());
        }
    }
}

TEST(OrderedWork, SeveralJobsWorkAtTheSameTime) {
    // Two items that each wait for the other to have begun: only two threads at once finish them.
    std::mutex lock;
    std::condition_variable changed;
    int inside = 0;
    bool together = true;
    size_t taken = 0;
    std::vector<int> results;
    OrderedWork<int, int> work;
    work.next = CountingItems(taken, 2);
    work.process = [&](const int& item) {
        std::unique_lock<std::mutex> held(lock);
        ++inside;
        changed.notify_all();
        if (!changed.wait_for(held, std::chrono::seconds(20), [&] { return inside == 2; })) together = false;
        return item;
    };
    work.emit = [&](int& result) { results.push_back(result); };
    work.Run(2, 4);
    EXPECT_TRUE(together);
    EXPECT_EQ(results, (std::vector<int>{0, 1}));
}

TEST(OrderedWork, AFailureAnywhereEndsTheRunAndReachesTheCaller) {
    for (unsigned jobs : {1u, 3u}) {
        for (const char* where : {"next", "process", "emit"}) {
            SCOPED_TRACE(std::string(where) + " with jobs " + std::to_string(jobs));
            size_t taken = 0, emitted = 0;
            const std::string place = where;
            OrderedWork<size_t, size_t> work;
            work.next = [&](size_t& item) {
                if (place == "next" && taken == 40) throw std::runtime_error("next");
                if (taken == 1000) return false;
                item = taken++;
                return true;
            };
            work.process = [&](const size_t& item) {
                if (place == "process" && item == 40) throw std::runtime_error("process");
                return item;
            };
            work.emit = [&](size_t& result) {
                if (place == "emit" && result == 40) throw std::runtime_error("emit");
                EXPECT_EQ(result, emitted);
                ++emitted;
            };
            try {
                work.Run(jobs, 8);
                ADD_FAILURE() << "no failure reached the caller";
            } catch (const std::runtime_error& e) {
                EXPECT_EQ(std::string(e.what()), place);
            }
            EXPECT_LE(emitted, 40u);  // nothing after the failed item is handed on
            EXPECT_LT(taken, 1000u);  // the run ended early
        }
    }
}

TEST(OrderedWork, EachThreadsSetUpIsUndoneOnlyWhenItSucceeded) {
    for (bool setUpSucceeds : {true, false}) {
        for (unsigned jobs : {1u, 4u}) {
            std::atomic<int> starts{0}, ends{0};
            size_t taken = 0, emitted = 0;
            OrderedWork<int, int> work;
            work.next = CountingItems(taken, 50);
            work.process = [](const int& item) { return item; };
            work.emit = [&](int&) { ++emitted; };
            work.threadStart = [&] {
                ++starts;
                return setUpSucceeds;
            };
            work.threadEnd = [&] { ++ends; };
            work.Run(jobs, 4);
            EXPECT_EQ(emitted, 50u);
            EXPECT_GE(starts.load(), 1);
            EXPECT_LE(starts.load(), static_cast<int>(jobs));
            EXPECT_EQ(ends.load(), setUpSucceeds ? starts.load() : 0);
        }
    }
}

TEST(OrderedWork, TheCallingThreadIsOneOfTheJobs) {
    // Slow items and one other thread: the calling thread takes its share rather than wait.
    std::mutex lock;
    std::set<std::thread::id> threads;
    size_t taken = 0, emitted = 0, byCaller = 0;
    const std::thread::id caller = std::this_thread::get_id();
    OrderedWork<int, int> work;
    work.next = CountingItems(taken, 40);
    work.process = [&](const int& item) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        std::lock_guard<std::mutex> held(lock);
        threads.insert(std::this_thread::get_id());
        if (std::this_thread::get_id() == caller) ++byCaller;
        return item;
    };
    work.emit = [&](int& result) { EXPECT_EQ(result, static_cast<int>(emitted++)); };
    work.Run(2, 8);
    EXPECT_EQ(emitted, 40u);
    EXPECT_EQ(threads.size(), 2u);
    EXPECT_GT(byCaller, 0u);
}

}  // namespace
