// The lock objects: a scoped holder takes its section at once or when asked, gives it back on
// every way out of its scope, and neither takes it twice nor gives back what it does not hold.
// (A section left held would stop the other thread's take below: the test would not finish.)
#include "lock.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

namespace {

// Another thread takes the section and gives it back.
void TakenElsewhere(utility::CCriticalSection& section) {
    std::thread([&] { utility::CSingleLock other(&section, true); }).join();
}

TEST(Locks, AHolderTakesItsSectionOnceAndGivesItBackOnEveryExit) {
    utility::CCriticalSection section;
    {
        utility::CSingleLock later(&section, false);
        EXPECT_FALSE(later.IsLocked());
        TakenElsewhere(section);
        later.Lock();
        later.Lock();  // held already: not taken twice
        EXPECT_TRUE(later.IsLocked());
        later.Unlock();
        EXPECT_FALSE(later.IsLocked());
        TakenElsewhere(section);  // one Unlock gave back the one Lock
        later.Unlock();  // not held: nothing to give back
        EXPECT_FALSE(later.IsLocked());
        later.Lock();
    }
    TakenElsewhere(section);  // given back when the holder went
    try {
        utility::CSingleLock now(&section, true);
        EXPECT_TRUE(now.IsLocked());
        throw std::runtime_error("leaving the scope");
    } catch (const std::runtime_error&) {
    }
    TakenElsewhere(section);  // given back when an exception passed
    utility::CSingleLock nothing(nullptr, true);
    EXPECT_FALSE(nothing.IsLocked()) << "no section, nothing held";
    nothing.Lock();
    EXPECT_FALSE(nothing.IsLocked());
}

}  // namespace
