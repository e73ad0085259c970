// Asynchronous host lookup: names are resolved on a few helper threads; the result is written
// into the caller's buffer on the window's own thread when the message is taken, so a request
// that was cancelled, or whose window is gone, never writes anything.
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

#include "platform/LeakCounts.h"
#include "platform/Winsock.h"
#include "platform/detail/MessageQueue.h"
#include "platform/detail/PosixSocket.h"
#include "platform/detail/WinsockState.h"

namespace platform::detail {
namespace {

constexpr int kLookupThreads = 4;
// A host entry keeps at most this many addresses, so that it fits MAXGETHOSTSTRUCT.
constexpr std::size_t kMaxAddresses = 16;

class LookupTask;
void ForgetTask(std::uintptr_t id);

class LookupTask : public DeliveryGuard {
public:
    LookupTask(std::uintptr_t id, std::string name, std::shared_ptr<WindowRecord> window,
               UINT message, char* buffer, int length, bool allFamilies = false)
        : m_allFamilies(allFamilies),
          m_id(id),
          m_name(std::move(name)),
          m_window(std::move(window)),
          m_message(message),
          m_buffer(buffer),
          m_length(length) {}

    std::uintptr_t Id() const { return m_id; }
    bool IsCancelled() const { return m_cancelled.load(); }

    // Helper thread: resolves and posts the message to the window's thread.
    void Run() {
        if (m_allFamilies) {
            m_error = posix::ResolveAll(m_name, &m_endpoints, kMaxHostAddresses);
        } else {
            m_error = posix::ResolveIPv4(m_name, &m_result);
            if (m_result.addresses.size() > kMaxAddresses)
                m_result.addresses.resize(kMaxAddresses);
        }
        auto queue = m_window->queue.lock();
        QueuedMessage queued;
        queued.msg.hwnd = m_window->handle;
        queued.msg.message = m_message;
        queued.msg.wParam = static_cast<WPARAM>(m_id);
        queued.window = m_window;
        queued.guard = m_self;
        m_self.reset();
        if (!queue || !queue->Post(std::move(queued)))
            ForgetTask(m_id);
    }

    void KeepSelf(std::shared_ptr<LookupTask> self) { m_self = std::move(self); }

    bool StillWanted() const override { return !m_cancelled.load(); }

    bool OnTaken(MSG& message) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_cancelled.load())
            return false;
        m_delivered = true;
        ForgetTask(m_id);
        message.lParam = m_error != 0    ? WSAMAKEASYNCREPLY(0, m_error)
                         : m_allFamilies ? WriteAddressList()
                                         : WriteHostEntry();
        return true;
    }

    // The window went away with the result still queued: the request is over.
    void OnDropped() override { ForgetTask(m_id); }

    // False when the result was delivered already.
    bool Cancel() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_delivered)
            return false;
        m_cancelled.store(true);
        return true;
    }

private:
    // Lays out hostent, alias list, address list, addresses and name in the caller's buffer;
    // every pointer points into the buffer. Returns the message's lParam.
    LPARAM WriteHostEntry() {
        const std::size_t count = m_result.addresses.size();
        const std::size_t aliasesAt = sizeof(hostent);
        const std::size_t listAt = aliasesAt + sizeof(char*);
        const std::size_t addressesAt = listAt + sizeof(char*) * (count + 1);
        const std::size_t nameAt = addressesAt + sizeof(std::uint32_t) * count;
        const std::size_t needed = nameAt + m_result.canonicalName.size() + 1;
        if (m_buffer == nullptr || needed > static_cast<std::size_t>(m_length)) {
            return WSAMAKEASYNCREPLY(static_cast<int>(needed), WSAENOBUFS);
        }
        char* const base = m_buffer;
        std::memset(base, 0, needed);
        std::memcpy(base + nameAt, m_result.canonicalName.c_str(),
                    m_result.canonicalName.size() + 1);
        for (std::size_t i = 0; i < count; ++i) {
            char* address = base + addressesAt + i * sizeof(std::uint32_t);
            std::memcpy(address, &m_result.addresses[i], sizeof(std::uint32_t));
            std::memcpy(base + listAt + i * sizeof(char*), &address, sizeof address);
        }
        hostent entry{};
        entry.h_name = base + nameAt;
        entry.h_aliases = reinterpret_cast<char**>(base + aliasesAt);
        entry.h_addrtype = AF_INET;
        entry.h_length = sizeof(std::uint32_t);
        entry.h_addr_list = reinterpret_cast<char**>(base + listAt);
        std::memcpy(base, &entry, sizeof entry);
        return WSAMAKEASYNCREPLY(static_cast<int>(needed), 0);
    }

    LPARAM WriteAddressList() {
        auto* list = reinterpret_cast<HostAddressList*>(m_buffer);
        std::memset(list, 0, sizeof *list);
        for (const posix::Endpoint& endpoint : m_endpoints) {
            int length = sizeof(SOCKADDR_STORAGE);
            WriteEndpoint(endpoint, reinterpret_cast<sockaddr*>(&list->addresses[list->count]),
                          &length);
            ++list->count;
        }
        return WSAMAKEASYNCREPLY(0, 0);
    }

    const bool m_allFamilies;
    std::vector<posix::Endpoint> m_endpoints;
    const std::uintptr_t m_id;
    const std::string m_name;
    const std::shared_ptr<WindowRecord> m_window;
    const UINT m_message;
    char* const m_buffer;
    const int m_length;
    std::shared_ptr<LookupTask> m_self;  // held by the helper until it posts

    std::mutex m_mutex;
    std::atomic<bool> m_cancelled{false};
    bool m_delivered = false;
    int m_error = 0;
    posix::HostAddresses m_result;
};

// Requests not yet delivered or cancelled, by task handle.
std::mutex gTasksMutex;
std::unordered_map<std::uintptr_t, std::shared_ptr<LookupTask>>& Tasks() {
    static auto* tasks = new std::unordered_map<std::uintptr_t, std::shared_ptr<LookupTask>>();
    return *tasks;
}

// Task handles never repeat and never look like a small integer.
std::atomic<std::uintptr_t> gNextTask{0x40000000};

void ForgetTask(std::uintptr_t id) {
    std::lock_guard<std::mutex> lock(gTasksMutex);
    Tasks().erase(id);
}

// The helper threads. The pool lives for the whole process and its threads are detached: a
// resolver that hangs must not hold up the end of the program.
class LookupPool {
public:
    void Submit(std::shared_ptr<LookupTask> task) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiting.push_back(std::move(task));
        if (m_idle == 0 && m_threads < kLookupThreads) {
            ++m_threads;
            std::thread([this] { Serve(); }).detach();
        }
        m_ready.notify_one();
    }

private:
    void Serve() {
        for (;;) {
            std::shared_ptr<LookupTask> task;
            {
                std::unique_lock<std::mutex> lock(m_mutex);
                ++m_idle;
                m_ready.wait(lock, [this] { return !m_waiting.empty(); });
                --m_idle;
                task = std::move(m_waiting.front());
                m_waiting.pop_front();
            }
            if (!task->IsCancelled()) {
                task->KeepSelf(task);
                task->Run();
            }
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::shared_ptr<LookupTask>> m_waiting;
    int m_threads = 0;
    int m_idle = 0;
};

LookupPool& Pool() {
    static auto* pool = new LookupPool();
    return *pool;
}

}  // namespace
}  // namespace platform::detail

HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT message, const char* name, char* buffer,
                             int bufferLength) {
    using namespace platform::detail;
    if (!WinsockStarted()) {
        SetLastWsaError(WSANOTINITIALISED);
        return nullptr;
    }
    auto window = FindWindow(hwnd);
    if (name == nullptr || buffer == nullptr || bufferLength <= 0 || !window) {
        SetLastWsaError(WSAEINVAL);
        return nullptr;
    }
    const std::uintptr_t id = gNextTask.fetch_add(1);
    auto task =
        std::make_shared<LookupTask>(id, name, std::move(window), message, buffer, bufferLength);
    {
        std::lock_guard<std::mutex> lock(gTasksMutex);
        Tasks().emplace(id, task);
    }
    Pool().Submit(std::move(task));
    return reinterpret_cast<HANDLE>(id);
}

HANDLE platform::AsyncGetHostAddresses(HWND hwnd, UINT message, const char* name,
                                       HostAddressList* result) {
    using namespace platform::detail;
    if (!WinsockStarted()) {
        SetLastWsaError(WSANOTINITIALISED);
        return nullptr;
    }
    auto window = FindWindow(hwnd);
    if (name == nullptr || result == nullptr || !window) {
        SetLastWsaError(WSAEINVAL);
        return nullptr;
    }
    const std::uintptr_t id = gNextTask.fetch_add(1);
    auto task = std::make_shared<LookupTask>(id, name, std::move(window), message,
                                             reinterpret_cast<char*>(result),
                                             static_cast<int>(sizeof *result), true);
    {
        std::lock_guard<std::mutex> lock(gTasksMutex);
        Tasks().emplace(id, task);
    }
    Pool().Submit(std::move(task));
    return reinterpret_cast<HANDLE>(id);
}

int WSACancelAsyncRequest(HANDLE taskHandle) {
    using namespace platform::detail;
    std::shared_ptr<LookupTask> task;
    {
        std::lock_guard<std::mutex> lock(gTasksMutex);
        auto found = Tasks().find(reinterpret_cast<std::uintptr_t>(taskHandle));
        if (found != Tasks().end()) {
            task = std::move(found->second);
            Tasks().erase(found);
        }
    }
    if (!task || !task->Cancel()) {
        SetLastWsaError(WSAEINVAL);
        return SOCKET_ERROR;
    }
    return 0;
}

namespace platform {

std::size_t PendingLookupCount() {
    std::lock_guard<std::mutex> lock(detail::gTasksMutex);
    return detail::Tasks().size();
}

}  // namespace platform
