#pragma once
// Internals of the message queues shared by the window, timer and socket code of this folder.
// Not for use outside platform/.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

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

// A message sent from another thread; the sender waits until `done`.
struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    LRESULT result = 0;
    bool done = false;
};

class ThreadQueue {
public:
    explicit ThreadQueue(DWORD threadId);
    ~ThreadQueue();
    ThreadQueue(const ThreadQueue&) = delete;
    ThreadQueue& operator=(const ThreadQueue&) = delete;

    DWORD ThreadId() const { return threadId_; }
    bool IsOpen() const;

    // Any thread. False once the queue is closed.
    bool Post(QueuedMessage message);
    // Any thread: blocks until the owner has handled it (or the queue closes: false).
    bool Send(const std::shared_ptr<SentMessage>& sent);
    void Wake();
    // Owner, at thread end: refuses further posts and releases waiting senders.
    void Close();

    // Owner only.
    void PostQuit(int exitCode);
    bool Retrieve(MSG* out, HWND filter, UINT filterMin, UINT filterMax, bool remove, bool wait);
    // Sleeps until a message can be retrieved (true) or timeoutMs (-1: no limit) has passed.
    bool WaitForInput(int timeoutMs);
    UINT_PTR StartTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc);
    bool StopTimer(HWND hwnd, UINT_PTR id);
    void StopTimersOf(HWND hwnd);
    bool HasTimer(HWND hwnd, UINT_PTR id) const;

    // Any thread: the socket's readiness is reported to the socket layer on the owner thread.
    // Edge-triggered; the socket layer keeps its own re-enabling state.
    bool WatchSocket(int fd, std::uint64_t socketHandle);
    void UnwatchSocket(int fd);

    // Any thread: messages waiting (posted or sent); on the owner also its timers.
    std::size_t EntryCount(bool withTimers) const;

    // Owner only: the window of the last dispatched message.
    std::shared_ptr<WindowRecord> dispatchCache;

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
    bool TakeQuit(MSG* out, UINT filterMin, UINT filterMax, bool remove);
    void RunSentMessages();
    // Waits at most timeoutMs (-1 = no limit) for readiness and hands it on.
    void PollEvents(int timeoutMs);
    int MillisecondsToNextTimer() const;
    void DrainWakeCounter();

    const DWORD threadId_;
    int epollFd_ = -1;
    int wakeFd_ = -1;

    mutable std::mutex mutex_;
    std::deque<QueuedMessage> posted_;
    std::deque<std::shared_ptr<SentMessage>> sent_;
    std::condition_variable sentDone_;
    bool closed_ = false;
    bool sleeping_ = false;
    bool wakeSignalled_ = false;
    std::uint64_t postSequence_ = 0;

    // Owner-thread state.
    bool quitPending_ = false;
    int quitCode_ = 0;
    unsigned takenSincePoll_ = 0;
    std::map<TimerKey, Timer> timers_;
    UINT_PTR nextThreadTimerId_ = 0x7FFF0000;
};

// The calling thread's queue, created on first use (null only when the system refuses the
// epoll set or the wake counter).
ThreadQueue* CurrentQueue();
std::shared_ptr<ThreadQueue> CurrentQueueShared();
// The queue of a thread, if it has one and it is open.
std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId);
// The record of a live window, or null.
std::shared_ptr<WindowRecord> FindWindow(HWND hwnd);

// Implemented by the window code: calls the procedure of a live window owned by the calling
// thread (0 otherwise), and forgets every window of a thread that ends.
LRESULT CallWindowProcedure(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
void ForgetWindowsOfThread(DWORD threadId);

// Milliseconds on the clock timers run on: the test clock while one is installed.
std::int64_t TimerClockMs(bool* onTestClock);

}  // namespace platform::detail
