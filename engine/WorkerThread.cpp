#include "engine/WorkerThread.h"

#include <atomic>
#include <mutex>
#include <utility>

namespace {
std::atomic<int> g_abandonedThreadsRunning{0};
}

// Shared by the object and its thread, so that either may be the last to look at it.
struct WorkerThread::Control {
    std::mutex mutex;
    bool abandoned = false;   // Stop gave the thread up
    bool finished = false;    // the thread touches the object no more (unless handed over)
    bool handedOver = false;  // the thread deletes the object when it finishes
    std::shared_ptr<void> keepAlive;
};

WorkerThread::WorkerThread() : m_control(std::make_shared<Control>()) {}

WorkerThread::~WorkerThread() {
    if (m_hStartEvent != nullptr) {
        CloseHandle(m_hStartEvent);
    }
}

void WorkerThread::KeepAliveWhileRunning(std::shared_ptr<void> token) {
    std::lock_guard<std::mutex> lock(m_control->mutex);
    m_control->keepAlive = std::move(token);
}

bool WorkerThread::Start() {
    if (IsStarted()) {
        return false;
    }
    m_hStartEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    unsigned threadId = 0;
    std::uintptr_t handle =
        _beginthreadex(nullptr, 0, &WorkerThread::ThreadRoutine, this, 0, &threadId);
    if (handle == 0) {
        // Waiting for a start signal that no thread will give would hang the owner.
        CloseHandle(m_hStartEvent);
        m_hStartEvent = nullptr;
        return false;
    }
    m_hThread = reinterpret_cast<HANDLE>(handle);
    m_threadId = threadId;
    WaitForSingleObject(m_hStartEvent, INFINITE);
    CloseHandle(m_hStartEvent);
    m_hStartEvent = nullptr;
    return true;
}

void WorkerThread::Stop() {
    if (m_hThread == INVALID_HANDLE_VALUE) {
        return;
    }
    PostThreadMessageA(m_threadId, WM_CLOSE, 0, 0);
    if (WaitForSingleObject(m_hThread, m_stopWaitMs) == WAIT_TIMEOUT) {
        bool giveUp = false;
        {
            std::lock_guard<std::mutex> lock(m_control->mutex);
            giveUp = !m_control->finished;
            if (giveUp) {
                m_control->abandoned = true;
                g_abandonedThreadsRunning.fetch_add(1);
            }
        }
        if (giveUp) {
            TerminateThread(m_hThread, 0);
            m_bAbandoned = true;
        }
    }
    CloseHandle(m_hThread);
    m_hThread = INVALID_HANDLE_VALUE;
}

void WorkerThread::Release(std::unique_ptr<WorkerThread> thread) {
    if (!thread) {
        return;
    }
    if (thread->IsStarted()) {
        thread->Stop();
    }
    if (!thread->m_bAbandoned) {
        return;  // the thread has ended; the object goes now
    }
    std::shared_ptr<Control> control = thread->m_control;
    std::lock_guard<std::mutex> lock(control->mutex);
    if (!control->finished) {
        control->handedOver = true;
        thread.release();  // NOLINT: the thread deletes it when it finishes
    }
}

int WorkerThread::AbandonedThreadsRunning() {
    return g_abandonedThreadsRunning.load();
}

unsigned WINAPI WorkerThread::ThreadRoutine(void* argument) {
    auto* self = static_cast<WorkerThread*>(argument);
    // Taken while Start still blocks the owner, so the object is certainly alive.
    unsigned exitCode = RunThread(self, self->m_control);
    _endthreadex(exitCode);
}

unsigned WorkerThread::RunThread(WorkerThread* self, std::shared_ptr<Control> control) {
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);  // creates the queue
    self->OnInitInstance();
    SetEvent(self->m_hStartEvent);
    const int exitCode = self->Run();
    // A thread given up on still cleans up after itself: nothing on Linux would do it
    // otherwise, and the object stays alive until it has finished (see Release).
    self->OnExitInstance();

    std::shared_ptr<void> keepAlive;
    bool deleteSelf = false;
    bool abandoned = false;
    {
        std::lock_guard<std::mutex> lock(control->mutex);
        control->finished = true;
        deleteSelf = control->handedOver;
        abandoned = control->abandoned;
        if (deleteSelf) {
            keepAlive.swap(control->keepAlive);
        }
    }
    if (deleteSelf) {
        delete self;
    }
    keepAlive.reset();
    if (abandoned) {
        g_abandonedThreadsRunning.fetch_sub(1);
    }
    return static_cast<unsigned>(exitCode);
}
