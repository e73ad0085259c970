#include "support/MutexHandle.h"

#include <chrono>

bool MutexHandle::Lock(int milliseconds) {
    const std::thread::id self = std::this_thread::get_id();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_depth;
        return true;
    }
    int expected = kFree;
    if (!m_word.compare_exchange_strong(expected, kHeld, std::memory_order_acquire,
                                        std::memory_order_relaxed) &&
        (milliseconds == 0 || !WaitForRelease(milliseconds)))
        return false;
    m_owner.store(self, std::memory_order_relaxed);
    m_depth = 1;
    return true;
}

// Marks the word as having waiters before each sleep, so that the release wakes one; the
// mark is set under m_sleep and the releaser takes m_sleep before waking, so a release cannot
// fall between a waiter's look at the word and its sleep.
bool MutexHandle::WaitForRelease(int milliseconds) {
    const auto deadline = std::chrono::steady_clock::now() +
                          std::chrono::milliseconds(milliseconds < 0 ? 0 : milliseconds);
    std::unique_lock<std::mutex> sleep(m_sleep);
    while (m_word.exchange(kHeldWithWaiters, std::memory_order_acquire) != kFree) {
        if (milliseconds < 0)
            m_released.wait(sleep);
        else if (m_released.wait_until(sleep, deadline) == std::cv_status::timeout)
            return m_word.exchange(kHeldWithWaiters, std::memory_order_acquire) == kFree;
    }
    return true;
}

void MutexHandle::Unlock() {
    if (--m_depth > 0)
        return;
    m_owner.store(std::thread::id(), std::memory_order_relaxed);
    if (m_word.exchange(kFree, std::memory_order_release) == kHeldWithWaiters) {
        { std::lock_guard<std::mutex> sleep(m_sleep); }
        m_released.notify_one();
    }
}
