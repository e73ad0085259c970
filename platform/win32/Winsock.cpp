// What Windows Sockets lack for the engine: a lookup of every address family answered as a
// window message, and the start-up hook of the tests.
#include "platform/Winsock.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>

namespace {

struct LookupTask {
    std::string name;
    HWND window = nullptr;
    UINT message = 0;
    platform::HostAddressList* result = nullptr;
};

// Tasks not yet answered nor cancelled, by handle. A handle is never reused.
class LookupTable {
public:
    std::uintptr_t Add(LookupTask task) {
        std::lock_guard<std::mutex> lock(mutex);
        next += 4;
        tasks.emplace(next, std::move(task));
        return next;
    }

    // Helper thread: writes the addresses into the caller's list and posts the answer,
    // unless the task was cancelled meanwhile. The write happens under the lock that Cancel
    // takes, so nothing is written into a list after its owner cancelled.
    void Answer(std::uintptr_t id, const std::vector<SOCKADDR_STORAGE>& found, int error) {
        std::lock_guard<std::mutex> lock(mutex);
        auto it = tasks.find(id);
        if (it == tasks.end())
            return;
        const LookupTask& task = it->second;
        if (error == 0) {
            std::memset(task.result, 0, sizeof *task.result);
            for (const SOCKADDR_STORAGE& address : found)
                task.result->addresses[task.result->count++] = address;
        }
        PostMessageA(task.window, task.message, static_cast<WPARAM>(id),
                     WSAMAKEASYNCREPLY(0, error));
        tasks.erase(it);
    }

    bool Cancel(std::uintptr_t id) {
        std::lock_guard<std::mutex> lock(mutex);
        return tasks.erase(id) != 0;
    }

    std::size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return tasks.size();
    }

private:
    std::mutex mutex;
    std::uintptr_t next = 0x5000;
    std::unordered_map<std::uintptr_t, LookupTask> tasks;
};

LookupTable& Lookups() {
    static LookupTable* table = new LookupTable;  // helper threads may outlive main
    return *table;
}

int Resolve(const std::string& name, std::vector<SOCKADDR_STORAGE>& found) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int status = getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (status != 0)
        return status;  // already a Windows Sockets code (WSAHOST_NOT_FOUND, ...)
    for (const addrinfo* entry = list;
         entry != nullptr && found.size() < static_cast<std::size_t>(platform::kMaxHostAddresses);
         entry = entry->ai_next) {
        if (entry->ai_addr == nullptr || (entry->ai_family != AF_INET && entry->ai_family != AF_INET6))
            continue;
        SOCKADDR_STORAGE address{};
        std::memcpy(&address, entry->ai_addr, entry->ai_addrlen);
        if (address.ss_family == AF_INET)
            reinterpret_cast<sockaddr_in&>(address).sin_port = 0;
        else
            reinterpret_cast<sockaddr_in6&>(address).sin6_port = 0;
        bool seen = false;
        for (const SOCKADDR_STORAGE& other : found)
            seen = seen || std::memcmp(&other, &address, sizeof address) == 0;
        if (!seen)
            found.push_back(address);
    }
    freeaddrinfo(list);
    return found.empty() ? WSANO_DATA : 0;
}

std::mutex gStartupMutex;
platform::WsaStartupHook gStartupHook;

}  // namespace

namespace platform {

HANDLE AsyncGetHostAddresses(HWND hwnd, UINT message, const char* name, HostAddressList* result) {
    if (name == nullptr || result == nullptr || !IsWindow(hwnd)) {
        WSASetLastError(WSAEINVAL);
        return nullptr;
    }
    const std::uintptr_t id = Lookups().Add(LookupTask{name, hwnd, message, result});
    try {
        std::thread([id, host = std::string(name)] {
            std::vector<SOCKADDR_STORAGE> found;
            const int error = Resolve(host, found);
            Lookups().Answer(id, found, error);
        }).detach();
    } catch (const std::system_error&) {
        Lookups().Cancel(id);
        WSASetLastError(WSAENOBUFS);
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(id);
}

std::size_t PendingLookupCount() {
    return Lookups().Count();
}

int CancelAsyncRequest(HANDLE task) {
    if (Lookups().Cancel(reinterpret_cast<std::uintptr_t>(task)))
        return 0;
    return (WSACancelAsyncRequest)(task);
}

WsaStartupHook SetWsaStartupHook(WsaStartupHook hook) {
    std::lock_guard<std::mutex> lock(gStartupMutex);
    return std::exchange(gStartupHook, std::move(hook));
}

int StartWinsock(WORD versionRequested, LPWSADATA data) {
    WsaStartupHook hook;
    {
        std::lock_guard<std::mutex> lock(gStartupMutex);
        hook = gStartupHook;
    }
    if (hook) {
        if (const int refused = hook(versionRequested); refused != 0)
            return refused;
    }
    return (WSAStartup)(versionRequested, data);
}

}  // namespace platform
