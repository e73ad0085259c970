#pragma once
// Internals of the message queues shared by the window, timer and socket code of this folder.
// Not for use outside platform/.
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/Assert.h"
#include "platform/Messages.h"

namespace platform::detail {

class ThreadQueue;

// One window. The record outlives the window while messages still point at it; `alive`
// tells whether the handle still names a window.
struct WindowRecord {
    HWND handle = nullptr;
    DWORD ownerThread = 0;
    std::weak_ptr<ThreadQueue> queue;
    WNDPROC procedure = nullptr;
    std::atomic<LONG_PTR> userData{0};
    std::atomic<bool> alive{true};
    bool destroying = false;  // owner thread only
};

// Decides, when a queued message is taken, whether it may still be delivered (a socket that
// was closed, a lookup that was cancelled: no), and completes it on the owner's thread.
class DeliveryGuard {
public:
    virtual ~DeliveryGuard() = default;
    // Called under the queue's lock: must not block or take other locks.
    virtual bool StillWanted() const = 0;
    // Called on the owner's thread without locks when the message is removed. False drops it.
    virtual bool OnTaken(MSG& message) = 0;
    // Called without locks when the message is thrown away unseen (its window is gone).
    virtual void OnDropped() {}
};

struct QueuedMessage {
    MSG msg{};
    std::shared_ptr<WindowRecord> window;  // null for thread messages
    std::shared_ptr<DeliveryGuard> guard;  // null for plain posts
};

// What the socket layer does with readiness reported by a queue's epoll set.
using SocketReadyHandler = void (*)(std::uint64_t socketHandle, std::uint32_t epollEvents);
void SetSocketReadyHandler(SocketReadyHandler handler);

// Made by the thread it belongs to (its owner). The owner-only methods check that they run
// there: the timers, the dispatch cache and the reading side are the owner's alone and go
// unlocked.
class ThreadQueue {
public:
    ThreadQueue();
    ~ThreadQueue();
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    DWORD ThreadId() const { return m_owner.Thread(); }
    bool IsOpen() const;

    // Any thread. False once the queue is closed.
    bool Post(QueuedMessage message);
    void Wake();
    // Owner, at thread end: refuses further posts.
    void Close();

    // Owner only.
    bool Retrieve(MSG* out, HWND filter, UINT filterMin, UINT filterMax, bool remove, bool wait);
    // Sleeps until a message can be retrieved (true) or timeoutMs (-1: no limit) has passed.
    bool WaitForInput(int timeoutMs);
    void StartTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
    bool StopTimer(HWND hwnd, UINT_PTR id);
    void StopTimersOf(HWND hwnd);
    bool HasTimer(HWND hwnd, UINT_PTR id) const;

    // Any thread: the socket's readiness is reported to the socket layer on the owner thread.
    // Edge-triggered; the socket layer keeps its own re-enabling state.
    bool WatchSocket(int fd, std::uint64_t socketHandle);
    void UnwatchSocket(int fd);

    // Any thread: messages waiting; on the owner also its timers.
    std::size_t EntryCount(bool withTimers) const;

    // Owner only: the window of the last dispatched message.
    std::shared_ptr<WindowRecord>& DispatchCache() {
        ZODIVA_ASSERT_OWNER(m_owner);
        return m_dispatchCache;
    }

private:
    struct Timer {
        HWND hwnd = nullptr;
        UINT_PTR id = 0;
        TIMERPROC proc = nullptr;
        std::int64_t periodMs = 0;
        std::int64_t dueMs = 0;
        bool onTestClock = false;
    };
    using TimerKey = std::pair<std::uintptr_t, UINT_PTR>;

    bool TakeDueTimer(MSG* out, HWND filter, UINT filterMin, UINT filterMax, bool remove);
    bool TakePosted(MSG* out, HWND filter, UINT filterMin, UINT filterMax, bool remove,
                    std::uint64_t* seenSequence);
    // Waits at most timeoutMs (-1 = no limit) for readiness and hands it on.
    void PollEvents(int timeoutMs);
    int MillisecondsToNextTimer() const;
    void DrainWakeCounter();

    const ThreadOwner m_owner;
    int m_epollFd = -1;
    int m_wakeFd = -1;

    mutable std::mutex m_mutex;
    std::deque<QueuedMessage> m_posted;
    bool m_closed = false;
    bool m_sleeping = false;
    bool m_wakeSignalled = false;
    std::uint64_t m_postSequence = 0;

    // Owner-thread state.
    unsigned m_takenSincePoll = 0;
    std::map<TimerKey, Timer> m_timers;
    std::shared_ptr<WindowRecord> m_dispatchCache;
};

// The calling thread's queue, created on first use (null only when the system refuses the
// epoll set or the wake counter).
ThreadQueue* CurrentQueue();
std::shared_ptr<ThreadQueue> CurrentQueueShared();
// The queue of a thread, if it has one and it is open.
std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId);
// The record of a live window, or null.
std::shared_ptr<WindowRecord> FindWindow(HWND hwnd);

// Implemented by the window code: forgets every window of a thread that ends.
void ForgetWindowsOfThread(DWORD threadId);

// Milliseconds on the clock timers run on: the test clock while one is installed.
std::int64_t TimerClockMs(bool* onTestClock);

}  // namespace platform::detail
