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
        : allFamilies_(allFamilies),
          id_(id),
          name_(std::move(name)),
          window_(std::move(window)),
          message_(message),
          buffer_(buffer),
          length_(length) {}

    std::uintptr_t Id() const { return id_; }
    bool IsCancelled() const { return cancelled_.load(); }

    // Helper thread: resolves and posts the message to the window's thread.
    void Run() {
        if (allFamilies_) {
            error_ = posix::ResolveAll(name_, &endpoints_, kMaxHostAddresses);
        } else {
            error_ = posix::ResolveIPv4(name_, &result_);
            if (result_.addresses.size() > kMaxAddresses)
                result_.addresses.resize(kMaxAddresses);
        }
        auto queue = window_->queue.lock();
        QueuedMessage queued;
        queued.msg.hwnd = window_->handle;
        queued.msg.message = message_;
        queued.msg.wParam = static_cast<WPARAM>(id_);
        queued.window = window_;
        queued.guard = shared_from_this_;
        shared_from_this_.reset();
        if (!queue || !queue->Post(std::move(queued)))
            ForgetTask(id_);
    }

    void KeepSelf(std::shared_ptr<LookupTask> self) { shared_from_this_ = std::move(self); }

    bool StillWanted() const override { return !cancelled_.load(); }

    bool OnTaken(MSG& message) override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (cancelled_.load())
            return false;
        delivered_ = true;
        ForgetTask(id_);
        message.lParam = error_ != 0  ? WSAMAKEASYNCREPLY(0, error_)
                         : allFamilies_ ? WriteAddressList()
                                        : WriteHostEntry();
        return true;
    }

    // The window went away with the result still queued: the request is over.
    void OnDropped() override { ForgetTask(id_); }

    // False when the result was delivered already.
    bool Cancel() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (delivered_)
            return false;
        cancelled_.store(true);
        return true;
    }

private:
    // Lays out hostent, alias list, address list, addresses and name in the caller's buffer;
    // every pointer points into the buffer. Returns the message's lParam.
    LPARAM WriteHostEntry() {
        const std::size_t count = result_.addresses.size();
        const std::size_t aliasesAt = sizeof(hostent);
        const std::size_t listAt = aliasesAt + sizeof(char*);
        const std::size_t addressesAt = listAt + sizeof(char*) * (count + 1);
        const std::size_t nameAt = addressesAt + sizeof(std::uint32_t) * count;
        const std::size_t needed = nameAt + result_.canonicalName.size() + 1;
        if (buffer_ == nullptr || needed > static_cast<std::size_t>(length_)) {
            return WSAMAKEASYNCREPLY(static_cast<int>(needed), WSAENOBUFS);
        }
        char* const base = buffer_;
        std::memset(base, 0, needed);
        std::memcpy(base + nameAt, result_.canonicalName.c_str(), result_.canonicalName.size() + 1);
        for (std::size_t i = 0; i < count; ++i) {
            char* address = base + addressesAt + i * sizeof(std::uint32_t);
            std::memcpy(address, &result_.addresses[i], sizeof(std::uint32_t));
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
        auto* list = reinterpret_cast<HostAddressList*>(buffer_);
        std::memset(list, 0, sizeof *list);
        for (const posix::Endpoint& endpoint : endpoints_) {
            int length = sizeof(SOCKADDR_STORAGE);
            WriteEndpoint(endpoint, reinterpret_cast<sockaddr*>(&list->addresses[list->count]),
                          &length);
            ++list->count;
        }
        return WSAMAKEASYNCREPLY(0, 0);
    }

    const bool allFamilies_;
    std::vector<posix::Endpoint> endpoints_;
    const std::uintptr_t id_;
    const std::string name_;
    const std::shared_ptr<WindowRecord> window_;
    const UINT message_;
    char* const buffer_;
    const int length_;
    std::shared_ptr<LookupTask> shared_from_this_;  // held by the helper until it posts

    std::mutex mutex_;
    std::atomic<bool> cancelled_{false};
    bool delivered_ = false;
    int error_ = 0;
    posix::HostAddresses result_;
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
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_.push_back(std::move(task));
        if (idle_ == 0 && threads_ < kLookupThreads) {
            ++threads_;
            std::thread([this] { Serve(); }).detach();
        }
        ready_.notify_one();
    }

private:
    void Serve() {
        for (;;) {
            std::shared_ptr<LookupTask> task;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ++idle_;
                ready_.wait(lock, [this] { return !waiting_.empty(); });
                --idle_;
                task = std::move(waiting_.front());
                waiting_.pop_front();
            }
            if (!task->IsCancelled()) {
                task->KeepSelf(task);
                task->Run();
            }
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::shared_ptr<LookupTask>> waiting_;
    int threads_ = 0;
    int idle_ = 0;
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
