#pragma once
// An unnamed recursive mutex, not owned at creation, with a time-out on Lock. Built on the
// standard library's recursive timed mutex: taking it costs what a mutex costs, with no
// kernel-object handle to look up (code that really holds a HANDLE uses CreateMutexA).
#include <mutex>

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
    std::recursive_timed_mutex m_mutex;
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
