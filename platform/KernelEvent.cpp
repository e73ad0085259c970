// Unnamed events. An auto-reset event releases one waiter per SetEvent and resets itself;
// a manual-reset event stays signalled until ResetEvent.
#include "platform/detail/KernelObject.h"

namespace {

class EventObject : public KernelObject {
public:
    EventObject(bool manualReset, bool signalled)
        : m_manualReset(manualReset), m_signalled(signalled) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!platform::WaitWithTimeout(lock, m_changed, milliseconds,
                                       [this] { return m_signalled; }))
            return WAIT_TIMEOUT;
        if (!m_manualReset)
            m_signalled = false;
        return WAIT_OBJECT_0;
    }

    void Set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
        if (m_manualReset)
            m_changed.notify_all();
        else
            m_changed.notify_one();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = false;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    const bool m_manualReset;
    bool m_signalled;
};

std::shared_ptr<EventObject> FindEvent(HANDLE handle) {
    auto event = platform::FindKernelObjectAs<EventObject>(handle);
    if (!event)
        SetLastError(ERROR_INVALID_HANDLE);
    return event;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);  // named events are not provided
        return nullptr;
    }
    return platform::RegisterKernelObject(
        std::make_shared<EventObject>(manualReset != FALSE, initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
    auto event = FindEvent(handle);
    if (!event)
        return FALSE;
    event->Set();
    return TRUE;
}

BOOL ResetEvent(HANDLE handle) {
    auto event = FindEvent(handle);
    if (!event)
        return FALSE;
    event->Reset();
    return TRUE;
}
