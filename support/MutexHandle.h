#pragma once
// An unnamed recursive mutex, not owned at creation, with a time-out on Lock. Taking it
// while it is free is one atomic exchange, as with any mutex; a thread that finds it held
// sleeps on a condition variable, which gives the timed wait. No kernel-object handle to
// look up (code that really holds a HANDLE uses CreateMutexA), and every acquire and release
// is one thread checkers can see (the standard timed mutex waits in a call they cannot).
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

class MutexHandle {
public:
    MutexHandle() = default;
    virtual ~MutexHandle() = default;
    MutexHandle(const MutexHandle&) = delete;
    MutexHandle& operator=(const MutexHandle&) = delete;

    // Waits for the mutex; milliseconds -1 (any negative value) waits without time-out.
    // True when the calling thread now holds it (once more, when it held it already).
    bool Lock(int milliseconds = -1);
    // Releases one hold; only the holding thread may call it.
    void Unlock();

private:
    enum Word : int { kFree, kHeld, kHeldWithWaiters };
    bool WaitForRelease(int milliseconds);

    std::atomic<int> m_word{kFree};
    std::mutex m_sleep;                   // pairs with m_released
    std::condition_variable m_released;
    // The holder. Only the holder stores its own id here and only it clears it, so a thread
    // that reads its own id holds the mutex; any other value means it does not.
    std::atomic<std::thread::id> m_owner{};
    unsigned m_depth = 0;                 // holds by m_owner; touched by the holder only
};

// Holds a MutexHandle for one scope (waiting without time-out).
class MutexHandleLock {
public:
    explicit MutexHandleLock(MutexHandle& mutex) : m_mutex(mutex) { m_locked = mutex.Lock(-1); }
    ~MutexHandleLock() {
        if (m_locked)
            m_mutex.Unlock();
    }
    MutexHandleLock(const MutexHandleLock&) = delete;
    MutexHandleLock& operator=(const MutexHandleLock&) = delete;
    bool Locked() const { return m_locked; }

private:
    MutexHandle& m_mutex;
    bool m_locked;
};
