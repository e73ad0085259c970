// Threads started with _beginthreadex. The handle is signalled when the thread has ended,
// after its thread-local objects are gone (so mutexes it held are already abandoned).
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>

#include "platform/detail/KernelObject.h"
#include "platform/detail/ThreadClock.h"
#include "platform/Messages.h"
#include "platform/Time.h"

namespace platform {
DWORD AllocateThreadId();
void AdoptThreadId(DWORD id);
}  // namespace platform

namespace {

class ThreadObject : public KernelObject {
public:
    ThreadObject(DWORD id, ThreadStartRoutine start, void* argument)
        : m_id(id), m_start(start), m_argument(argument) {
        m_clock.creationFileTime = SystemFileTime();
    }

    DWORD Wait(DWORD milliseconds) override {
        std::unique_lock<std::mutex> lock(m_mutex);
        return platform::WaitWithTimeout(lock, m_changed, milliseconds,
                                         [this] { return m_finished; })
                   ? WAIT_OBJECT_0
                   : WAIT_TIMEOUT;
    }

    DWORD Id() const { return m_id; }

    unsigned RunStartRoutine() { return m_start(m_argument); }

    // On the thread itself, before its work begins.
    void BeginOnThread() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_native = pthread_self();
        m_running = true;
    }

    // On the thread itself, as the last thing it does: its CPU time is kept, since its
    // clock goes with it.
    void Finish() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_clock.cpuNanoseconds = CpuNanosecondsOf(CLOCK_THREAD_CPUTIME_ID);
        m_clock.exitFileTime = SystemFileTime();
        m_running = false;
        m_finished = true;
        m_changed.notify_all();
    }

    // Held under the lock, so the thread cannot end (and its clock go) while it is read.
    platform::ThreadClockReading ReadClock() {
        std::lock_guard<std::mutex> lock(m_mutex);
        platform::ThreadClockReading reading = m_clock;
        clockid_t clock;
        if (m_running && pthread_getcpuclockid(m_native, &clock) == 0)
            reading.cpuNanoseconds = CpuNanosecondsOf(clock);
        return reading;
    }

    void Terminate() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_finished)
            return;
        m_terminated = true;
        m_finished = true;
        m_changed.notify_all();
    }

    bool Terminated() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_terminated;
    }

private:
    const DWORD m_id;
    const ThreadStartRoutine m_start;
    void* const m_argument;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_finished = false;
    bool m_terminated = false;
    bool m_running = false;  // between BeginOnThread and Finish: m_native names a live thread
    pthread_t m_native{};
    platform::ThreadClockReading m_clock;

    static std::int64_t SystemFileTime() {
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        return static_cast<std::int64_t>((static_cast<std::uint64_t>(now.dwHighDateTime) << 32) |
                                         now.dwLowDateTime);
    }
    static std::int64_t CpuNanosecondsOf(clockid_t clock) {
        timespec spent{};
        if (clock_gettime(clock, &spent) != 0)
            return 0;
        return static_cast<std::int64_t>(spent.tv_sec) * 1000000000 + spent.tv_nsec;
    }
};

// The calling thread's own object, when _beginthreadex started it. Its destructor runs
// last among the thread's thread-local objects (it is the first one constructed) and
// signals the handle.
struct CurrentThreadRecord {
    std::shared_ptr<ThreadObject> object;
    ~CurrentThreadRecord() {
        if (object)
            object->Finish();
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
    self->BeginOnThread();
    // A thread given up on before it got going does not start its work at all.
    if (!self->Terminated())
        self->RunStartRoutine();
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
    if (initFlag != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);  // threads start at once; nothing else is provided
        return 0;
    }
    if (start == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const DWORD id = platform::AllocateThreadId();
    auto thread = std::make_shared<ThreadObject>(id, start, argument);
    HANDLE handle = platform::RegisterKernelObject(thread);
    if (!StartNativeThread(thread, stackSize)) {
        platform::UnregisterKernelObject(handle);
        return 0;
    }
    if (threadId != nullptr)
        *threadId = id;
    return reinterpret_cast<std::uintptr_t>(handle);
}

void _endthreadex(unsigned) {
    // Unwinds the thread's stack (destroying its local objects) and ends it. Nothing asks
    // for a thread's exit code, so it is not kept.
    pthread_exit(nullptr);
}

BOOL TerminateThread(HANDLE handle, DWORD) {
    auto thread = FindThread(handle);
    if (!thread)
        return FALSE;
    thread->Terminate();
    // A thread waiting in GetMessageA notices at once that it was given up on.
    platform::WakeMessageQueue(thread->Id());
    return TRUE;
}

bool IsThreadTerminated() {
    const CurrentThreadRecord& record = CurrentRecord();
    return record.object && record.object->Terminated();
}

bool platform::ReadThreadClock(HANDLE handle, ThreadClockReading& reading) {
    auto thread = FindThread(handle);
    if (!thread)
        return false;
    reading = thread->ReadClock();
    return true;
}
