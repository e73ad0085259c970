#include "support/MutexHandle.h"

#include <chrono>
#include <system_error>

bool MutexHandle::Lock(int milliseconds) {
    if (milliseconds < 0) {
        m_mutex.lock();
        return true;
    }
    if (milliseconds == 0)
        return m_mutex.try_lock();
    return m_mutex.try_lock_for(std::chrono::milliseconds(milliseconds));
}

void MutexHandle::Unlock() {
    m_mutex.unlock();
}
