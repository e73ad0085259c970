// Threads started with _beginthreadex. The handle is signalled when the thread has ended,
// after its thread-local objects are gone (so mutexes it held are already abandoned).
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "platform/detail/KernelObject.h"
#include "platform/Messages.h"

namespace platform {
DWORD AllocateThreadId();
void AdoptThreadId(DWORD id);
}  // namespace platform

namespace {

class ThreadObject : public KernelObject {
public:
    ThreadObject(DWORD id, ThreadStartRoutine start, void* argument, bool suspended)
        : m_id(id), m_start(start), m_argument(argument), m_suspendCount(suspended ? 1 : 0) {}

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        return platform::WaitWithTimeout(lock, m_changed, milliseconds,
                                         [this] { return m_finished; })
                   ? WAIT_OBJECT_0
                   : WAIT_TIMEOUT;
    }

    DWORD Id() const { return m_id; }

    // On the new thread: false when the thread was terminated before it could start.
    bool WaitUntilResumed() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_suspendCount == 0; });
        return !m_terminated;
    }

    unsigned RunStartRoutine() { return m_start(m_argument); }

    void Finish(DWORD exitCode) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished)
            return;  // terminated earlier: that exit code stands
        m_finished = true;
        m_exitCode = exitCode;
        m_changed.notify_all();
    }

    DWORD Resume() {
        std::lock_guard<std::mutex> lock(m_mutex);
        const DWORD previous = static_cast<DWORD>(m_suspendCount);
        if (m_suspendCount > 0 && --m_suspendCount == 0)
            m_changed.notify_all();
        return previous;
    }

    void Terminate(DWORD exitCode) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished)
            return;
        m_terminated = true;
        m_finished = true;
        m_exitCode = exitCode;
        m_suspendCount = 0;  // a suspended thread wakes only to end at once
        m_changed.notify_all();
    }

    bool Terminated() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_terminated;
    }

    DWORD ExitCode() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_finished ? m_exitCode : STILL_ACTIVE;
    }

private:
    const DWORD m_id;
    const ThreadStartRoutine m_start;
    void* const m_argument;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    int m_suspendCount;
    bool m_finished = false;
    bool m_terminated = false;
    DWORD m_exitCode = STILL_ACTIVE;
};

// The calling thread's own object, when _beginthreadex started it. Its destructor runs
// last among the thread's thread-local objects (it is the first one constructed) and
// signals the handle.
struct CurrentThreadRecord {
    std::shared_ptr<ThreadObject> object;
    unsigned exitCode = 0;
    ~CurrentThreadRecord() {
        if (object)
            object->Finish(exitCode);
    }
};

CurrentThreadRecord& CurrentRecord() {
    thread_local CurrentThreadRecord record;
    return record;
}

void* ThreadMain(void* boot) {
    auto* start = static_cast<std::shared_ptr<ThreadObject>*>(boot);
    std::shared_ptr<ThreadObject> self = std::move(*start);
    delete start;
    platform::AdoptThreadId(self->Id());
    CurrentThreadRecord& record = CurrentRecord();
    record.object = self;
    if (self->WaitUntilResumed())
        record.exitCode = self->RunStartRoutine();
    return nullptr;
}

std::shared_ptr<ThreadObject> FindThread(HANDLE handle) {
    auto thread = platform::FindKernelObjectAs<ThreadObject>(handle);
    if (!thread)
        SetLastError(ERROR_INVALID_HANDLE);
    return thread;
}

bool StartNativeThread(const std::shared_ptr<ThreadObject>& thread, unsigned stackSize) {
    pthread_attr_t attributes;
    if (pthread_attr_init(&attributes) != 0)
        return false;
    pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
    if (stackSize != 0)
        pthread_attr_setstacksize(&attributes, std::max<size_t>(stackSize, PTHREAD_STACK_MIN));
    auto* boot = new std::shared_ptr<ThreadObject>(thread);
    pthread_t native;
    const int result = pthread_create(&native, &attributes, ThreadMain, boot);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        delete boot;
        SetLastError(result == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

}  // namespace

std::uintptr_t _beginthreadex(void*, unsigned stackSize, ThreadStartRoutine start, void* argument,
                              unsigned initFlag, unsigned* threadId) {
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD id = platform::AllocateThreadId();
    auto thread =
        std::make_shared<ThreadObject>(id, start, argument, (initFlag & CREATE_SUSPENDED) != 0);
    HANDLE handle = platform::RegisterKernelObject(thread);
    if (!StartNativeThread(thread, stackSize)) {
        platform::UnregisterKernelObject(handle);
        return 0;
    }
    if (threadId != nullptr)
        *threadId = id;
    return reinterpret_cast<std::uintptr_t>(handle);
}

void _endthreadex(unsigned exitCode) {
    CurrentRecord().exitCode = exitCode;
    // Unwinds the thread's stack (destroying its local objects) and ends it.
    pthread_exit(nullptr);
}

DWORD ResumeThread(HANDLE handle) {
    auto thread = FindThread(handle);
    return thread ? thread->Resume() : static_cast<DWORD>(-1);
}

BOOL GetExitCodeThread(HANDLE handle, LPDWORD exitCode) {
    auto thread = FindThread(handle);
    if (!thread || exitCode == nullptr)
        return FALSE;
    *exitCode = thread->ExitCode();
    return TRUE;
}

BOOL TerminateThread(HANDLE handle, DWORD exitCode) {
    auto thread = FindThread(handle);
    if (!thread)
        return FALSE;
    thread->Terminate(exitCode);
    // A thread waiting in GetMessageA notices at once that it was given up on.
    platform::WakeMessageQueue(thread->Id());
    return TRUE;
}

bool IsThreadTerminated() {
    const CurrentThreadRecord& record = CurrentRecord();
    return record.object && record.object->Terminated();
}
