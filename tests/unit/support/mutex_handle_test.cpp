#include "support/MutexHandle.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

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

// Threads taking turns with every kind of Lock, some nested: no two inside at once, no
// increment lost, and no waiter left asleep after a release (that would hang the test).
TEST(MutexHandle, ThreadsTakingTurnsNeverOverlapAndAllGetThrough) {
    MutexHandle mutex;
    int inside = 0;
    long counter = 0;
    std::atomic<int> overlaps{0};
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const int timeout = (t + i) % 3 == 0 ? -1 : (t + i) % 3 == 1 ? 0 : 1000;
                while (!mutex.Lock(timeout)) {
                }
                const bool nested = i % 4 == 0;
                if (nested)
                    mutex.Lock(0);
                if (++inside != 1)
                    ++overlaps;
                ++counter;
                --inside;
                if (nested)
                    mutex.Unlock();
                mutex.Unlock();
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(overlaps, 0);
    EXPECT_EQ(counter, long{kThreads} * kRounds);
    EXPECT_TRUE(LockFromAnotherThread(mutex, 0)) << "free at the end";
}

}  // namespace
