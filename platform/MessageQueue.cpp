#include "platform/detail/MessageQueue.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <limits>
#include <vector>

#include "platform/Kernel.h"
#include "platform/LeakCounts.h"
#include "platform/Time.h"

namespace platform::detail {
namespace {

// Readiness is looked at after this many messages even while posts keep coming, so that a
// thread posting to itself cannot starve its sockets.
constexpr unsigned kMessagesBetweenPolls = 16;
constexpr int kEventsPerPoll = 64;
// A test clock moves without telling anyone: a sleeping queue with timers looks again this
// often (real time) while one is installed.
constexpr int kTestClockRecheckMs = 20;
constexpr std::uint64_t kWakeTag = std::numeric_limits<std::uint64_t>::max();
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<std::intptr_t>(-1));

std::atomic<SocketReadyHandler> gSocketReadyHandler{nullptr};
std::atomic<BeforeSleepHook> gBeforeSleepHook{nullptr};

std::mutex gQueuesMutex;
std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>& Queues() {
    static auto* queues = new std::unordered_map<DWORD, std::shared_ptr<ThreadQueue>>();
    return *queues;
}

bool InRange(UINT message, UINT filterMin, UINT filterMax) {
    if (filterMin == 0 && filterMax == 0)
        return true;
    return message >= filterMin && message <= filterMax;
}

bool MatchesWindow(HWND messageWindow, HWND filter) {
    if (filter == nullptr)
        return true;
    if (filter == kThreadMessagesOnly)
        return messageWindow == nullptr;
    return messageWindow == filter;
}

// Owns the calling thread's queue; at thread end the queue closes and its windows go.
class QueueHolder {
public:
    ~QueueHolder() {
        if (!m_queue)
            return;
        const DWORD threadId = m_queue->ThreadId();
        {
            std::lock_guard<std::mutex> lock(gQueuesMutex);
            auto found = Queues().find(threadId);
            if (found != Queues().end() && found->second == m_queue)
                Queues().erase(found);
        }
        m_queue->Close();
        ForgetWindowsOfThread(threadId);
        m_queue.reset();
    }

    const std::shared_ptr<ThreadQueue>& Get() {
        if (!m_queue) {
            auto queue = std::make_shared<ThreadQueue>();
            if (!queue->IsOpen())
                return m_queue;
            m_queue = std::move(queue);
            std::lock_guard<std::mutex> lock(gQueuesMutex);
            Queues()[m_queue->ThreadId()] = m_queue;
        }
        return m_queue;
    }

    bool Exists() const { return m_queue != nullptr; }

private:
    std::shared_ptr<ThreadQueue> m_queue;
};

thread_local QueueHolder tQueue;

}  // namespace

void SetSocketReadyHandler(SocketReadyHandler handler) {
    gSocketReadyHandler.store(handler);
}

std::int64_t TimerClockMs(bool* onTestClock) {
    if (platform::IsTestClockInstalled()) {
        *onTestClock = true;
        return platform::CurrentFileTime() / platform::kFileTimeUnitsPerMillisecond;
    }
    *onTestClock = false;
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

ThreadQueue::ThreadQueue() {
    m_epollFd = epoll_create1(EPOLL_CLOEXEC);
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_epollFd < 0 || m_wakeFd < 0) {
        m_closed = true;
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = kWakeTag;
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, m_wakeFd, &event) != 0)
        m_closed = true;
}

ThreadQueue::~ThreadQueue() {
    if (m_epollFd >= 0)
        ::close(m_epollFd);
    if (m_wakeFd >= 0)
        ::close(m_wakeFd);
}

bool ThreadQueue::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !m_closed;
}

bool ThreadQueue::Post(QueuedMessage message) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed)
        return false;
    m_posted.push_back(std::move(message));
    ++m_postSequence;
    if (m_sleeping && !m_wakeSignalled) {
        const std::uint64_t one = 1;
        m_wakeSignalled = ::write(m_wakeFd, &one, sizeof one) == sizeof one;
    }
    return true;
}

void ThreadQueue::Wake() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed || !m_sleeping || m_wakeSignalled)
        return;
    const std::uint64_t one = 1;
    m_wakeSignalled = ::write(m_wakeFd, &one, sizeof one) == sizeof one;
}

void ThreadQueue::Close() {
    ZODIVA_ASSERT_OWNER(m_owner);
    std::deque<QueuedMessage> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_closed = true;
        dropped.swap(m_posted);
        if (m_epollFd >= 0)
            ::close(m_epollFd);
        if (m_wakeFd >= 0)
            ::close(m_wakeFd);
        m_epollFd = -1;
        m_wakeFd = -1;
    }
    m_timers.clear();
    for (QueuedMessage& message : dropped) {
        if (message.guard)
            message.guard->OnDropped();
    }
}

bool ThreadQueue::WatchSocket(int fd, std::uint64_t socketHandle) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed)
        return false;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    event.data.u64 = socketHandle;
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) == 0)
        return true;
    return errno == EEXIST && epoll_ctl(m_epollFd, EPOLL_CTL_MOD, fd, &event) == 0;
}

void ThreadQueue::UnwatchSocket(int fd) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed)
        return;
    epoll_ctl(m_epollFd, EPOLL_CTL_DEL, fd, nullptr);
}

bool ThreadQueue::Retrieve(MSG* out, HWND filter, UINT filterMin, UINT filterMax, bool remove,
                           bool wait) {
    ZODIVA_ASSERT_OWNER(m_owner);
    for (;;) {
        // A due timer goes ahead of posted messages: traffic must not starve the tick.
        if (TakeDueTimer(out, filter, filterMin, filterMax, remove))
            return true;
        if (m_takenSincePoll >= kMessagesBetweenPolls)
            PollEvents(0);
        std::uint64_t seen = 0;
        if (TakePosted(out, filter, filterMin, filterMax, remove, &seen))
            return true;
        PollEvents(0);
        if (TakePosted(out, filter, filterMin, filterMax, remove, &seen))
            return true;
        if (!wait)
            return false;
        if (const BeforeSleepHook hook = gBeforeSleepHook.load(std::memory_order_relaxed))
            hook();
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed) {
                // Nothing can arrive any more; answer as a loop that was told to end.
                out->hwnd = nullptr;
                out->message = WM_QUIT;
                out->wParam = 0;
                out->lParam = 0;
                return true;
            }
            if (m_postSequence != seen)
                continue;
            m_sleeping = true;
        }
        PollEvents(MillisecondsToNextTimer());
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_sleeping = false;
        }
        // A thread that TerminateThread gave up on must leave its loop when woken.
        if (IsThreadTerminated())
            return false;
    }
}

bool ThreadQueue::WaitForInput(int timeoutMs) {
    ZODIVA_ASSERT_OWNER(m_owner);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        std::uint64_t seen = 0;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            seen = m_postSequence;
        }
        MSG probe;
        if (Retrieve(&probe, nullptr, 0, 0, false, false))
            return true;
        int waitMs = MillisecondsToNextTimer();
        if (timeoutMs >= 0) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return false;
            const int leftMs = static_cast<int>(left.count());
            waitMs = waitMs < 0 ? leftMs : std::min(waitMs, leftMs);
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_closed)
                return false;
            // Something was posted since the look above: look again rather than sleep.
            if (m_postSequence != seen)
                continue;
            m_sleeping = true;
        }
        PollEvents(waitMs);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_sleeping = false;
        }
    }
}

std::size_t ThreadQueue::EntryCount(bool withTimers) const {
    ZODIVA_ASSERT_MSG(!withTimers || m_owner.IsCurrentThread(), "timers are the owner's");
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_posted.size() + (withTimers ? m_timers.size() : 0);
}

bool ThreadQueue::TakeDueTimer(MSG* out, HWND filter, UINT filterMin, UINT filterMax, bool remove) {
    if (m_timers.empty() || !InRange(WM_TIMER, filterMin, filterMax))
        return false;
    bool onTestClock = false;
    const std::int64_t now = TimerClockMs(&onTestClock);
    Timer* earliest = nullptr;
    for (auto& [key, timer] : m_timers) {
        if (timer.onTestClock != onTestClock) {
            // The clock was swapped under the timer: start its period again on the new one.
            timer.onTestClock = onTestClock;
            timer.dueMs = now + timer.periodMs;
            continue;
        }
        if (timer.dueMs > now || !MatchesWindow(timer.hwnd, filter))
            continue;
        if (earliest == nullptr || timer.dueMs < earliest->dueMs)
            earliest = &timer;
    }
    if (earliest == nullptr)
        return false;
    *out = MSG{};
    out->hwnd = earliest->hwnd;
    out->message = WM_TIMER;
    out->wParam = earliest->id;
    out->lParam = reinterpret_cast<LPARAM>(earliest->proc);
    out->time = static_cast<DWORD>(now);
    // Missed ticks are coalesced: the next one is a whole period after this delivery.
    if (remove)
        earliest->dueMs = now + earliest->periodMs;
    return true;
}

bool ThreadQueue::TakePosted(MSG* out, HWND filter, UINT filterMin, UINT filterMax, bool remove,
                             std::uint64_t* seenSequence) {
    QueuedMessage taken;
    std::vector<QueuedMessage> dropped;
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        *seenSequence = m_postSequence;
        auto entry = m_posted.begin();
        while (entry != m_posted.end()) {
            const bool deliverable = (!entry->window || entry->window->alive.load()) &&
                                     (!entry->guard || entry->guard->StillWanted());
            if (!deliverable) {
                dropped.push_back(std::move(*entry));
                entry = m_posted.erase(entry);
                continue;
            }
            if (MatchesWindow(entry->msg.hwnd, filter) &&
                InRange(entry->msg.message, filterMin, filterMax)) {
                found = true;
                break;
            }
            ++entry;
        }
        if (found && !remove)
            *out = entry->msg;
        if (found && remove) {
            taken = std::move(*entry);
            m_posted.erase(entry);
        }
    }
    for (QueuedMessage& message : dropped) {
        if (message.guard)
            message.guard->OnDropped();
    }
    if (!found || !remove)
        return found;
    ++m_takenSincePoll;
    if (taken.guard && !taken.guard->OnTaken(taken.msg)) {
        return TakePosted(out, filter, filterMin, filterMax, remove, seenSequence);
    }
    *out = taken.msg;
    return true;
}

void ThreadQueue::PollEvents(int timeoutMs) {
    m_takenSincePoll = 0;
    int epollFd = -1;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        epollFd = m_epollFd;
    }
    if (epollFd < 0)
        return;
    epoll_event events[kEventsPerPoll];
    const int count = epoll_wait(epollFd, events, kEventsPerPoll, timeoutMs);
    const SocketReadyHandler handler = gSocketReadyHandler.load();
    for (int i = 0; i < count; ++i) {
        if (events[i].data.u64 == kWakeTag) {
            DrainWakeCounter();
        } else if (handler != nullptr) {
            handler(events[i].data.u64, events[i].events);
        }
    }
}

void ThreadQueue::DrainWakeCounter() {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint64_t count = 0;
    if (m_wakeFd >= 0) {
        [[maybe_unused]] const ssize_t ignored = ::read(m_wakeFd, &count, sizeof count);
    }
    m_wakeSignalled = false;
}

int ThreadQueue::MillisecondsToNextTimer() const {
    if (m_timers.empty())
        return -1;
    bool onTestClock = false;
    const std::int64_t now = TimerClockMs(&onTestClock);
    std::int64_t earliest = std::numeric_limits<std::int64_t>::max();
    for (const auto& [key, timer] : m_timers) earliest = std::min(earliest, timer.dueMs);
    std::int64_t wait = std::max<std::int64_t>(0, earliest - now);
    if (onTestClock)
        wait = std::min<std::int64_t>(wait, kTestClockRecheckMs);
    return static_cast<int>(std::min<std::int64_t>(wait, std::numeric_limits<int>::max()));
}

void ThreadQueue::StartTimer(HWND hwnd, UINT_PTR id, UINT elapseMs, TIMERPROC proc) {
    ZODIVA_ASSERT_OWNER(m_owner);
    constexpr UINT kMinimumPeriodMs = 10;
    Timer timer;
    timer.hwnd = hwnd;
    timer.id = id;
    timer.proc = proc;
    timer.periodMs = std::max(elapseMs, kMinimumPeriodMs);
    timer.dueMs = TimerClockMs(&timer.onTestClock) + timer.periodMs;
    m_timers[TimerKey{reinterpret_cast<std::uintptr_t>(hwnd), id}] = timer;
}

bool ThreadQueue::StopTimer(HWND hwnd, UINT_PTR id) {
    ZODIVA_ASSERT_OWNER(m_owner);
    return m_timers.erase(TimerKey{reinterpret_cast<std::uintptr_t>(hwnd), id}) > 0;
}

void ThreadQueue::StopTimersOf(HWND hwnd) {
    ZODIVA_ASSERT_OWNER(m_owner);
    for (auto entry = m_timers.begin(); entry != m_timers.end();) {
        entry = entry->second.hwnd == hwnd ? m_timers.erase(entry) : std::next(entry);
    }
}

bool ThreadQueue::HasTimer(HWND hwnd, UINT_PTR id) const {
    ZODIVA_ASSERT_OWNER(m_owner);
    return m_timers.count(TimerKey{reinterpret_cast<std::uintptr_t>(hwnd), id}) > 0;
}

ThreadQueue* CurrentQueue() {
    return tQueue.Get().get();
}

std::shared_ptr<ThreadQueue> CurrentQueueShared() {
    return tQueue.Get();
}

std::shared_ptr<ThreadQueue> QueueOfThread(DWORD threadId) {
    std::lock_guard<std::mutex> lock(gQueuesMutex);
    auto found = Queues().find(threadId);
    return found == Queues().end() ? nullptr : found->second;
}

}  // namespace platform::detail

namespace platform {

void WakeAllMessageQueues() {
    std::vector<std::shared_ptr<detail::ThreadQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(detail::gQueuesMutex);
        for (const auto& [id, queue] : detail::Queues()) queues.push_back(queue);
    }
    for (const auto& queue : queues) queue->Wake();
}

void WakeMessageQueue(DWORD threadId) {
    if (auto queue = detail::QueueOfThread(threadId))
        queue->Wake();
}

std::size_t QueuedEntryCount() {
    std::vector<std::shared_ptr<detail::ThreadQueue>> queues;
    {
        std::lock_guard<std::mutex> lock(detail::gQueuesMutex);
        for (const auto& [id, queue] : detail::Queues()) queues.push_back(queue);
    }
    const detail::ThreadQueue* own = detail::tQueue.Exists() ? detail::CurrentQueue() : nullptr;
    std::size_t count = 0;
    for (const auto& queue : queues) count += queue->EntryCount(queue.get() == own);
    return count;
}

void SetBeforeSleepHook(BeforeSleepHook hook) {
    detail::gBeforeSleepHook.store(hook);
}

bool HasMessageQueue() {
    return detail::tQueue.Exists();
}

}  // namespace platform
