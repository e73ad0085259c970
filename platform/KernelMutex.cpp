// Recursive unnamed mutexes. A mutex whose owner thread ends while holding it is
// "abandoned": the next waiter gets it with WAIT_ABANDONED, as on Windows, instead of
// waiting for ever.
#include <algorithm>
#include <vector>

#include "platform/detail/KernelObject.h"

namespace {

class MutexObject;

// The mutexes the calling thread owns; at thread exit they are abandoned.
class OwnedMutexes {
public:
    ~OwnedMutexes();
    void Add(const std::shared_ptr<MutexObject>& mutex) { m_mutexes.push_back(mutex); }
    void Remove(const MutexObject* mutex) {
        auto it = std::find_if(m_mutexes.begin(), m_mutexes.end(),
                               [mutex](const auto& weak) { return weak.lock().get() == mutex; });
        if (it != m_mutexes.end())
            m_mutexes.erase(it);
    }

private:
    std::vector<std::weak_ptr<MutexObject>> m_mutexes;
};

OwnedMutexes& CurrentThreadMutexes() {
    thread_local OwnedMutexes owned;
    return owned;
}

class MutexObject : public KernelObject, public std::enable_shared_from_this<MutexObject> {
public:
    DWORD Wait(DWORD milliseconds) override {
        const DWORD self = GetCurrentThreadId();
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_owner == self) {
            ++m_count;
            return WAIT_OBJECT_0;
        }
        if (!platform::WaitWithTimeout(lock, m_free, milliseconds, [this] { return m_owner == 0; }))
            return WAIT_TIMEOUT;
        TakeOwnership(self);
        const bool abandoned = m_abandoned;
        m_abandoned = false;
        return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
    }

    void TakeOwnership(DWORD self) {
        m_owner = self;
        m_count = 1;
        CurrentThreadMutexes().Add(shared_from_this());
    }

    bool Release() {
        const DWORD self = GetCurrentThreadId();
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_owner != self || m_count == 0) {
            SetLastError(ERROR_NOT_OWNER);
            return false;
        }
        if (--m_count == 0) {
            m_owner = 0;
            CurrentThreadMutexes().Remove(this);
            m_free.notify_one();
        }
        return true;
    }

    // Called on the owner's thread as it ends.
    void Abandon() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_owner != GetCurrentThreadId())
            return;
        m_owner = 0;
        m_count = 0;
        m_abandoned = true;
        m_free.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_free;
    DWORD m_owner = 0;  // 0: not owned
    unsigned m_count = 0;
    bool m_abandoned = false;
};

OwnedMutexes::~OwnedMutexes() {
    std::vector<std::weak_ptr<MutexObject>> mutexes;
    mutexes.swap(m_mutexes);
    for (const auto& weak : mutexes) {
        if (std::shared_ptr<MutexObject> mutex = weak.lock())
            mutex->Abandon();
    }
}

}  // namespace

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);  // named mutexes are not provided
        return nullptr;
    }
    auto mutex = std::make_shared<MutexObject>();
    if (initialOwner)
        mutex->Wait(INFINITE);
    return platform::RegisterKernelObject(mutex);
}

BOOL ReleaseMutex(HANDLE handle) {
    auto mutex = platform::FindKernelObjectAs<MutexObject>(handle);
    if (!mutex) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return mutex->Release() ? TRUE : FALSE;
}
