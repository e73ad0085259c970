// Unnamed auto-reset events: SetEvent releases one waiter and the event resets itself.
#include "platform/detail/KernelObject.h"

namespace {

class EventObject : public KernelObject {
public:
    explicit EventObject(bool signalled) : m_signalled(signalled) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!platform::WaitWithTimeout(lock, m_changed, milliseconds,
                                       [this] { return m_signalled; }))
            return WAIT_TIMEOUT;
        m_signalled = false;
        return WAIT_OBJECT_0;
    }

    void Set() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_signalled = true;
        m_changed.notify_one();
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_signalled;
};

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manualReset, BOOL initialState, LPCSTR name) {
    if (name != nullptr || manualReset != FALSE) {
        SetLastError(ERROR_INVALID_PARAMETER);  // named and manual-reset events are not provided
        return nullptr;
    }
    return platform::RegisterKernelObject(std::make_shared<EventObject>(initialState != FALSE));
}

BOOL SetEvent(HANDLE handle) {
    auto event = platform::FindKernelObjectAs<EventObject>(handle);
    if (!event) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    event->Set();
    return TRUE;
}
