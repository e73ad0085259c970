#include "support/MutexHandle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace {

// What another thread gets from Lock with the given time-out while this one holds it.
bool LockFromAnotherThread(MutexHandle& mutex, int milliseconds) {
    bool got = false;
    std::thread other([&] {
        got = mutex.Lock(milliseconds);
        if (got)
            mutex.Unlock();
    });
    other.join();
    return got;
}

TEST(MutexHandle, NotOwnedAtCreationAndRecursive) {
    MutexHandle mutex;
    EXPECT_TRUE(LockFromAnotherThread(mutex, 0)) << "free after construction";
    ASSERT_TRUE(mutex.Lock(-1));
    ASSERT_TRUE(mutex.Lock(0)) << "the owner takes it again without waiting";
    ASSERT_TRUE(mutex.Lock(10));
    mutex.Unlock();
    mutex.Unlock();
    EXPECT_FALSE(LockFromAnotherThread(mutex, 0)) << "still held once";
    mutex.Unlock();
    EXPECT_TRUE(LockFromAnotherThread(mutex, 0));
}

TEST(MutexHandle, TimedLockGivesUpWhileAnotherThreadHoldsIt) {
    MutexHandle mutex;
    ASSERT_TRUE(mutex.Lock());
    EXPECT_FALSE(LockFromAnotherThread(mutex, 0));
    EXPECT_FALSE(LockFromAnotherThread(mutex, 20));
    mutex.Unlock();
    EXPECT_TRUE(LockFromAnotherThread(mutex, 20));
}

TEST(MutexHandle, InfiniteWaitEndsWhenTheOwnerReleases) {
    MutexHandle mutex;
    ASSERT_TRUE(mutex.Lock());
    std::atomic<bool> got{false};
    std::thread waiter([&] {
        got = mutex.Lock(-1);
        mutex.Unlock();
    });
    mutex.Unlock();
    waiter.join();
    EXPECT_TRUE(got);
}

TEST(MutexHandle, ScopedLockHoldsForItsScope) {
    MutexHandle mutex;
    {
        MutexHandleLock lock(mutex);
        EXPECT_TRUE(lock.Locked());
        EXPECT_FALSE(LockFromAnotherThread(mutex, 0));
    }
    EXPECT_TRUE(LockFromAnotherThread(mutex, 0));
}

}  // namespace
