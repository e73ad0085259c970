#pragma once
// An unnamed kernel mutex, created not owned. Recursive for the owning thread.
#include "platform/Kernel.h"

class MutexHandle {
public:
    MutexHandle();
    virtual ~MutexHandle();
    MutexHandle(const MutexHandle&) = delete;
    MutexHandle& operator=(const MutexHandle&) = delete;

    // Waits for the mutex; milliseconds -1 waits without time-out. True only when the wait
    // returned the mutex (WAIT_OBJECT_0).
    bool Lock(int milliseconds = -1);
    void Unlock();
    // The wait's own result (WAIT_ABANDONED also gives ownership, which must be released).
    DWORD Wait(int milliseconds);

private:
    HANDLE m_hMutex;
};

// Holds a MutexHandle for one scope (waiting without time-out).
class MutexHandleLock {
public:
    explicit MutexHandleLock(MutexHandle& mutex) : m_mutex(mutex) {
        const DWORD result = mutex.Wait(-1);
        m_locked = result == WAIT_OBJECT_0 || result == WAIT_ABANDONED;
    }
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
