#pragma once
// A thread object with a start and a stop protocol: Start blocks until the new thread has
// run OnInitInstance; the thread then serves Run until a WM_CLOSE thread message; Stop posts
// that message and waits for the thread to end.
//
// A thread cannot be killed safely on Linux. When Stop's wait runs out, the thread is marked
// terminated (its message loop then ends at its next message) and left to finish on its own.
// Because the owner deletes the object right after Stop, such an object must be handed to
// its thread instead: owners release every WorkerThread through Release(), which deletes it
// at once when its thread has ended and otherwise lets the thread delete it (and drop the
// keep-alive token) when it finally finishes. No thread ever touches freed memory.
#include <cstdint>
#include <memory>

#include "platform/windows.h"

class WorkerThread {
public:
    // How long Stop waits for the thread to end before giving it up.
    static constexpr DWORD kStopWaitMs = 30000;

    WorkerThread();
    // Does not stop the thread: owners call Stop first, then Release.
    virtual ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    virtual bool OnInitInstance() = 0;
    virtual bool OnExitInstance() = 0;
    virtual int Run() = 0;

    // Starts the thread and returns once OnInitInstance has returned on it. False only when
    // no thread could be created (nothing runs then).
    bool Start();
    // Asks the thread to end and waits for it (at most the stop wait). Returns at once when
    // the thread was never started or has been stopped already.
    void Stop();

    // Deletes a stopped thread object, or hands it to its thread when Stop gave that thread
    // up; then the thread deletes the object when it ends.
    static void Release(std::unique_ptr<WorkerThread> thread);
    // Threads that Stop gave up on and that have not ended yet.
    static int AbandonedThreadsRunning();

    // Something the thread may still use after its owner is gone (the owner's settings, for
    // example); it is kept until the thread has ended. Set before Start.
    void KeepAliveWhileRunning(std::shared_ptr<void> token);
    // Shortens Stop's wait (tests).
    void SetStopWaitMilliseconds(DWORD milliseconds) { m_stopWaitMs = milliseconds; }

    DWORD GetThreadId() const { return m_threadId; }
    // The thread's handle (for GetThreadTimes); valid until Stop.
    HANDLE ThreadHandle() const { return m_hThread; }
    bool IsStarted() const { return m_hThread != INVALID_HANDLE_VALUE; }
    // True once Stop has given the thread up.
    bool WasAbandoned() const { return m_bAbandoned; }

private:
    struct Control;
    static unsigned WINAPI ThreadRoutine(void* argument);
    static unsigned RunThread(WorkerThread* self, std::shared_ptr<Control> control);

    HANDLE m_hStartEvent = nullptr;
    DWORD m_threadId = 0xFFFFFFFF;
    HANDLE m_hThread = INVALID_HANDLE_VALUE;
    DWORD m_stopWaitMs = kStopWaitMs;
    bool m_bAbandoned = false;
    std::shared_ptr<Control> m_control;
};
