#include "platform/Winsock.h"

#include <sys/epoll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/LeakCounts.h"
#include "platform/detail/MessageQueue.h"
#include "platform/detail/PosixSocket.h"
#include "platform/detail/ReadAhead.h"
#include "platform/detail/WinsockState.h"

namespace platform::detail {
namespace {

thread_local int tLastWsaError = 0;
std::atomic<int> gStartups{0};
std::mutex gStartupHookMutex;
WsaStartupHook& StartupHook() {
    static auto* hook = new WsaStartupHook();
    return *hook;
}

struct SocketEntry;
bool ReadStillPossible(SocketEntry& entry);

// Lets a queued notification know whether its socket is still open, and withdraws an FD_READ
// whose data was taken meanwhile: answered with nothing to read, it would leave reading
// disabled (only recv enables it again) and the connection would stall.
class SocketGuard : public DeliveryGuard {
public:
    bool StillWanted() const override { return m_open.load(); }
    bool OnTaken(MSG& message) override {
        if (!m_open.load())
            return false;
        if (WSAGETSELECTEVENT(message.lParam) != FD_READ)
            return true;
        auto entry = m_entry.lock();
        return entry && ReadStillPossible(*entry);
    }
    void MarkClosed() { m_open.store(false); }
    void SetEntry(std::weak_ptr<SocketEntry> entry) { m_entry = std::move(entry); }

private:
    std::atomic<bool> m_open{true};
    std::weak_ptr<SocketEntry> m_entry;
};

enum class Phase { kFresh, kConnecting, kConnected, kFailed };

// One SOCKET: its descriptor and the state of its asynchronous selection. The descriptor is
// closed when the last user lets go of the entry, so a call running on another thread while
// closesocket removes the entry never touches a descriptor the kernel has handed out again.
struct SocketEntry {
    SocketEntry(SOCKET socketHandle, int descriptor) : handle(socketHandle), fd(descriptor) {}
    ~SocketEntry() { posix::Close(fd); }
    SocketEntry(const SocketEntry&) = delete;
    SocketEntry& operator=(const SocketEntry&) = delete;

    const SOCKET handle;
    const int fd;
    const std::shared_ptr<SocketGuard> guard = std::make_shared<SocketGuard>();

    std::mutex mutex;
    std::shared_ptr<WindowRecord> window;
    std::shared_ptr<ThreadQueue> queue;
    UINT message = 0;
    long events = 0;
    bool watched = false;
    bool nonBlocking = false;
    Phase phase = Phase::kFresh;
    bool readEnabled = true;
    bool writeWanted = false;
    bool peerClosed = false;
    int closeError = 0;
    bool closeNotified = false;
    // Bytes taken from the kernel ahead of the reader; recv and FIONREAD are served from here.
    ReadAhead ahead;
    // The kernel may hold bytes not yet read: cleared by a read that left it empty, set again
    // by every readiness report (which comes for each arrival after that read).
    bool kernelMayHoldData = true;
    // An error a read ahead met (errno) while the reader still had bytes to take: the recv
    // that next finds nothing buffered returns it, so that it comes after those bytes.
    int deferredError = 0;
};

// Socket handles start well away from small integers and are never handed out twice.
std::atomic<SOCKET> gNextSocket{0x1000};
std::mutex gSocketsMutex;
std::unordered_map<SOCKET, std::shared_ptr<SocketEntry>>& Sockets() {
    static auto* sockets = new std::unordered_map<SOCKET, std::shared_ptr<SocketEntry>>();
    return *sockets;
}

std::shared_ptr<SocketEntry> FindSocket(SOCKET s) {
    std::lock_guard<std::mutex> lock(gSocketsMutex);
    auto found = Sockets().find(s);
    return found == Sockets().end() ? nullptr : found->second;
}

int Fail(int error) {
    tLastWsaError = error;
    return SOCKET_ERROR;
}

int FailFromErrno() {
    return Fail(posix::WsaErrorFromErrno(errno));
}

// The entry for a call, or null with the last error set (library not started, unknown socket).
std::shared_ptr<SocketEntry> EntryForCall(SOCKET s) {
    if (gStartups.load() <= 0) {
        tLastWsaError = WSANOTINITIALISED;
        return nullptr;
    }
    auto entry = FindSocket(s);
    if (!entry)
        tLastWsaError = WSAENOTSOCK;
    return entry;
}

SOCKET AddSocket(int fd) {
    const SOCKET handle = gNextSocket.fetch_add(1);
    auto entry = std::make_shared<SocketEntry>(handle, fd);
    entry->guard->SetEntry(entry);
    std::lock_guard<std::mutex> lock(gSocketsMutex);
    Sockets().emplace(handle, std::move(entry));
    return handle;
}

// --- Notifications (entry mutex held) ---------------------------------------------------

bool Notify(SocketEntry& entry, long event, int error) {
    if ((entry.events & event) == 0 || !entry.queue || !entry.window)
        return false;
    QueuedMessage queued;
    queued.msg.hwnd = entry.window->handle;
    queued.msg.message = entry.message;
    queued.msg.wParam = entry.handle;
    queued.msg.lParam = WSAMAKESELECTREPLY(event, error);
    queued.window = entry.window;
    queued.guard = entry.guard;
    return entry.queue->Post(std::move(queued));
}

bool SelectionActive(const SocketEntry& entry) {
    return entry.events != 0 && entry.queue != nullptr;
}

void Watch(SocketEntry& entry) {
    const bool started = entry.phase == Phase::kConnecting || entry.phase == Phase::kConnected;
    if (!SelectionActive(entry) || !started)
        return;
    // Adding (or modifying) reports the present readiness again, edge-triggered from then on.
    entry.watched = entry.queue->WatchSocket(entry.fd, entry.handle);
}

void Unwatch(SocketEntry& entry) {
    if (entry.watched && entry.queue)
        entry.queue->UnwatchSocket(entry.fd);
    entry.watched = false;
}

std::atomic<std::uint64_t> gKernelReads{0};

bool IsResetError(int error) {
    return error == ECONNRESET || error == ECONNABORTED;
}

// What a read of the kernel that asked for `wanted` bytes tells (entry mutex held): one that
// came back short, or would have blocked, left it empty. A reset that the reader cannot be
// told at once is kept for its next recv, and for FD_CLOSE.
void NoteKernelRead(SocketEntry& entry, long result, long wanted, int error) {
    entry.kernelMayHoldData = result >= wanted && wanted > 0;
    if (result < 0 && IsResetError(error) && entry.closeError == 0)
        entry.closeError = posix::WsaErrorFromErrno(error);
}

// Reads what the kernel holds into the read-ahead (entry mutex held, so that no recv on
// another thread can come between the read and its bookkeeping). The bytes now buffered, 0
// when there are none. Without a buffer from the pool, asks the count instead and leaves the
// bytes where they are.
int ReadAheadFromKernel(SocketEntry& entry) {
    gKernelReads.fetch_add(1, std::memory_order_relaxed);
    char* space = entry.ahead.Space();
    if (space == nullptr) {
        int count = 0;
        if (posix::BytesReadable(entry.fd, &count) != 0)
            count = 0;
        entry.kernelMayHoldData = count > 0;
        return count;
    }
    const long result = posix::Receive(entry.fd, space, ReadAhead::kCapacity, 0);
    const int error = errno;
    NoteKernelRead(entry, result, ReadAhead::kCapacity, error);
    if (result < 0 && IsResetError(error))
        entry.deferredError = error;
    entry.ahead.Filled(result > 0 ? static_cast<int>(result) : 0);
    // The kernel no longer reports bytes taken before their readiness was collected, so the
    // FD_READ they would have brought is posted here.
    if (!entry.ahead.Empty() && entry.readEnabled && Notify(entry, FD_READ, 0))
        entry.readEnabled = false;
    return entry.ahead.Size();
}

// Whether bytes are waiting, exactly: buffered ones answer without a system call, and the
// kernel is read only when it may hold some.
bool HasReadableBytes(SocketEntry& entry) {
    if (!entry.ahead.Empty())
        return true;
    return entry.kernelMayHoldData && ReadAheadFromKernel(entry) > 0;
}

// A recv (not a peek) served from the read-ahead, and from the kernel for what it lacks: one
// read fills the rest of the caller's buffer and then the read-ahead behind it. The result
// as recv gives it, with the error in *error.
long ReceiveThroughReadAhead(SocketEntry& entry, char* buffer, int length, int flags, int* error) {
    *error = 0;
    if (length == 0)
        return 0;
    const int copied = entry.ahead.Take(buffer, length);
    if (copied == length)
        return copied;
    if (copied > 0 && !entry.kernelMayHoldData)
        return copied;  // a short read: the kernel was left empty and nothing came since
    if (copied == 0 && entry.deferredError != 0) {
        *error = entry.deferredError;
        entry.deferredError = 0;
        return -1;
    }
    gKernelReads.fetch_add(1, std::memory_order_relaxed);
    const int rest = length - copied;
    char* space = flags == 0 ? entry.ahead.Space() : nullptr;
    const long result =
        space != nullptr
            ? posix::ReceiveInTwo(entry.fd, buffer + copied, rest, space, ReadAhead::kCapacity)
            : posix::Receive(entry.fd, buffer + copied, rest, flags);
    const int readError = errno;
    NoteKernelRead(entry, result, rest + (space != nullptr ? ReadAhead::kCapacity : 0),
                   readError);
    entry.ahead.Filled(result > rest ? static_cast<int>(result - rest) : 0);
    if (result >= 0)
        return copied + std::min<long>(result, rest);
    if (copied > 0) {
        if (IsResetError(readError))
            entry.deferredError = readError;
        return copied;
    }
    *error = readError;
    return -1;
}

// A peek: the buffered bytes first, then what the kernel holds behind them.
long PeekThroughReadAhead(SocketEntry& entry, char* buffer, int length, int flags, int* error) {
    *error = 0;
    const int copied = entry.ahead.Peek(buffer, length);
    if (length > 0 && copied == length)
        return copied;
    const long result = posix::Receive(entry.fd, buffer + copied, length - copied, flags);
    if (result >= 0)
        return copied + result;
    if (copied > 0)
        return copied;
    *error = errno;
    return -1;
}

// FD_CLOSE goes out once, and only after everything received before the close was read.
void NotifyCloseWhenDrained(SocketEntry& entry) {
    if (!entry.peerClosed || entry.closeNotified)
        return;
    if (HasReadableBytes(entry)) {
        if (entry.readEnabled && Notify(entry, FD_READ, 0))
            entry.readEnabled = false;
        return;
    }
    if (Notify(entry, FD_CLOSE, entry.closeError) || (entry.events & FD_CLOSE) == 0) {
        entry.closeNotified = true;
    }
}

bool ReadStillPossible(SocketEntry& entry) {
    std::lock_guard<std::mutex> lock(entry.mutex);
    if (entry.peerClosed || HasReadableBytes(entry))
        return true;
    entry.readEnabled = true;
    return false;
}

void NotePeerClosed(SocketEntry& entry, bool errorReported) {
    if (!entry.peerClosed) {
        entry.peerClosed = true;
        const int pending = errorReported ? posix::TakePendingError(entry.fd) : 0;
        if (pending != 0 && entry.closeError == 0) {
            entry.closeError = posix::WsaErrorFromErrno(pending);
        }
    }
    NotifyCloseWhenDrained(entry);
}

void OnConnectReady(SocketEntry& entry, std::uint32_t ready) {
    int error = posix::TakePendingError(entry.fd);
    if (error == 0 && (ready & EPOLLHUP) != 0)
        error = ECONNREFUSED;
    if (error != 0) {
        entry.phase = Phase::kFailed;
        Notify(entry, FD_CONNECT, posix::WsaErrorFromErrno(error));
        Unwatch(entry);
        return;
    }
    entry.phase = Phase::kConnected;
    entry.writeWanted = true;
    Notify(entry, FD_CONNECT, 0);
}

void OnConnectedReady(SocketEntry& entry, std::uint32_t ready) {
    if ((ready & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0)
        entry.kernelMayHoldData = true;
    if ((ready & EPOLLOUT) != 0 && entry.writeWanted && Notify(entry, FD_WRITE, 0)) {
        entry.writeWanted = false;
    }
    if ((ready & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0) {
        NotePeerClosed(entry, (ready & (EPOLLERR | EPOLLHUP)) != 0);
        return;
    }
    if ((ready & EPOLLIN) != 0 && entry.readEnabled && Notify(entry, FD_READ, 0)) {
        entry.readEnabled = false;
    }
}

void OnSocketReady(std::uint64_t handle, std::uint32_t ready) {
    auto entry = FindSocket(static_cast<SOCKET>(handle));
    if (!entry)
        return;
    std::lock_guard<std::mutex> lock(entry->mutex);
    // Readiness from a set the socket has since left (its selection moved to another thread).
    if (!entry->watched || entry->queue.get() != CurrentQueue())
        return;
    switch (entry->phase) {
        case Phase::kConnecting:
            if ((ready & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0)
                return;
            OnConnectReady(*entry, ready);
            if (entry->phase == Phase::kConnected)
                OnConnectedReady(*entry, ready);
            return;
        case Phase::kConnected:
            OnConnectedReady(*entry, ready);
            return;
        default:
            return;
    }
}

struct ReadyHandlerInstaller {
    ReadyHandlerInstaller() { SetSocketReadyHandler(&OnSocketReady); }
};

void InstallReadyHandler() {
    static ReadyHandlerInstaller installer;
}

// After recv: FD_READ is enabled again; another follows at once when data is left, and
// FD_CLOSE when the peer has closed and everything is read.
void AfterReceive(SocketEntry& entry, long result, int length, int error) {
    entry.readEnabled = true;
    if (result < 0) {
        if (IsResetError(error)) {
            if (entry.closeError == 0)
                entry.closeError = posix::WsaErrorFromErrno(error);
            NotePeerClosed(entry, false);
        }
        return;
    }
    if (result == 0 && length > 0) {
        NotePeerClosed(entry, false);
        return;
    }
    // Bytes left behind, or a kernel that may hold some: another FD_READ. One that finds
    // nothing when it is taken is withdrawn (SocketGuard), so none is left unanswered.
    if (!entry.ahead.Empty() || entry.kernelMayHoldData) {
        if (Notify(entry, FD_READ, 0))
            entry.readEnabled = false;
        return;
    }
    NotifyCloseWhenDrained(entry);
}

bool ReadEndpoint(const sockaddr* address, int length, posix::Endpoint* endpoint) {
    if (address == nullptr || length < static_cast<int>(sizeof(sockaddr_in)))
        return false;
    short family = 0;
    std::memcpy(&family, address, sizeof family);
    *endpoint = posix::Endpoint{};
    if (family == AF_INET6) {
        if (length < static_cast<int>(sizeof(sockaddr_in6)))
            return false;
        sockaddr_in6 in6{};
        std::memcpy(&in6, address, sizeof in6);
        endpoint->isIPv6 = true;
        std::memcpy(endpoint->address6, in6.sin6_addr.s6_addr, 16);
        endpoint->scope = in6.sin6_scope_id;
        endpoint->port = in6.sin6_port;
        return true;
    }
    if (family != AF_INET)
        return false;
    sockaddr_in in{};
    std::memcpy(&in, address, sizeof in);
    endpoint->address = in.sin_addr.s_addr;
    endpoint->port = in.sin_port;
    return true;
}

// The entry and the address of a call that names one (bind, connect), or null with the last
// error set.
std::shared_ptr<SocketEntry> EntryWithEndpoint(SOCKET s, const sockaddr* address, int length,
                                               posix::Endpoint* endpoint) {
    auto entry = EntryForCall(s);
    if (entry && !ReadEndpoint(address, length, endpoint)) {
        Fail(WSAEFAULT);
        return nullptr;
    }
    return entry;
}

}  // namespace

int WriteEndpoint(const posix::Endpoint& endpoint, sockaddr* address, int* length) {
    if (address == nullptr || length == nullptr)
        return 0;
    if (endpoint.isIPv6) {
        if (*length < static_cast<int>(sizeof(sockaddr_in6)))
            return Fail(WSAEFAULT);
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_port = endpoint.port;
        std::memcpy(in6.sin6_addr.s6_addr, endpoint.address6, 16);
        in6.sin6_scope_id = endpoint.scope;
        std::memcpy(address, &in6, sizeof in6);
        *length = sizeof in6;
        return 0;
    }
    if (*length < static_cast<int>(sizeof(sockaddr_in)))
        return Fail(WSAEFAULT);
    sockaddr_in in{};
    in.sin_family = AF_INET;
    in.sin_port = endpoint.port;
    in.sin_addr.s_addr = endpoint.address;
    std::memcpy(address, &in, sizeof in);
    *length = sizeof in;
    return 0;
}

bool WinsockStarted() {
    return gStartups.load() > 0;
}

void SetLastWsaError(int error) {
    tLastWsaError = error;
}

}  // namespace platform::detail

using namespace platform::detail;  // NOLINT: this file implements the layer's internals
namespace posix = platform::posix;

// --- Library start-up --------------------------------------------------------------------

int WSAStartup(WORD versionRequested, LPWSADATA data) {
    platform::WsaStartupHook hook;
    {
        std::lock_guard<std::mutex> lock(gStartupHookMutex);
        hook = StartupHook();
    }
    if (hook) {
        const int refused = hook(versionRequested);
        if (refused != 0)
            return refused;
    }
    const BYTE major = static_cast<BYTE>(versionRequested & 0xFF);
    const BYTE minor = static_cast<BYTE>(versionRequested >> 8);
    if (major == 0)
        return WSAVERNOTSUPPORTED;
    if (data == nullptr)
        return WSAEFAULT;
    std::memset(data, 0, sizeof *data);
    const bool above = major > 2 || (major == 2 && minor > 2);
    data->wVersion = above ? static_cast<WORD>(0x0202) : versionRequested;
    data->wHighVersion = 0x0202;
    std::strncpy(data->szDescription, "Windows Sockets on Linux", WSADESCRIPTION_LEN);
    std::strncpy(data->szSystemStatus, "Running", WSASYS_STATUS_LEN);
    InstallReadyHandler();
    gStartups.fetch_add(1);
    return 0;
}

int WSACleanup() {
    int count = gStartups.load();
    while (count > 0 && !gStartups.compare_exchange_weak(count, count - 1)) {
    }
    return count > 0 ? 0 : Fail(WSANOTINITIALISED);
}

int WSAGetLastError() {
    return tLastWsaError;
}

void WSASetLastError(int error) {
    tLastWsaError = error;
}

// --- Sockets -----------------------------------------------------------------------------

SOCKET socket(int family, int type, int protocol) {
    if (!WinsockStarted()) {
        Fail(WSANOTINITIALISED);
        return INVALID_SOCKET;
    }
    if (family != AF_INET && family != AF_INET6) {
        Fail(WSAEAFNOSUPPORT);
        return INVALID_SOCKET;
    }
    const int fd = posix::OpenStreamSocket(family == AF_INET6, type, protocol);
    if (fd < 0) {
        FailFromErrno();
        return INVALID_SOCKET;
    }
    return AddSocket(fd);
}

int closesocket(SOCKET s) {
    if (!WinsockStarted())
        return Fail(WSANOTINITIALISED);
    std::shared_ptr<SocketEntry> entry;
    {
        std::lock_guard<std::mutex> lock(gSocketsMutex);
        auto found = Sockets().find(s);
        if (found == Sockets().end())
            return Fail(WSAENOTSOCK);
        entry = std::move(found->second);
        Sockets().erase(found);
    }
    entry->guard->MarkClosed();
    std::lock_guard<std::mutex> lock(entry->mutex);
    Unwatch(*entry);
    entry->queue.reset();
    entry->window.reset();
    return 0;
}

int setsockopt(SOCKET s, int level, int option, const char* value, int length) {
    auto entry = EntryForCall(s);
    if (!entry)
        return SOCKET_ERROR;
    return posix::SetOption(entry->fd, level, option, value, length) == 0 ? 0 : FailFromErrno();
}

int bind(SOCKET s, const sockaddr* address, int length) {
    posix::Endpoint endpoint;
    auto entry = EntryWithEndpoint(s, address, length, &endpoint);
    if (!entry)
        return SOCKET_ERROR;
    return posix::Bind(entry->fd, endpoint) == 0 ? 0 : FailFromErrno();
}

int connect(SOCKET s, const sockaddr* address, int length) {
    posix::Endpoint endpoint;
    auto entry = EntryWithEndpoint(s, address, length, &endpoint);
    if (!entry)
        return SOCKET_ERROR;
    std::lock_guard<std::mutex> lock(entry->mutex);
    switch (entry->phase) {
        case Phase::kConnecting:
            return Fail(WSAEALREADY);
        case Phase::kConnected:
            return Fail(WSAEISCONN);
        case Phase::kFailed:
            return Fail(WSAEINVAL);
        case Phase::kFresh:
            break;
    }
    // Every connect here is made without waiting; the outcome comes as FD_CONNECT.
    if (!entry->nonBlocking)
        return Fail(WSAEOPNOTSUPP);
    if (posix::Connect(entry->fd, endpoint) != 0 && errno != EINPROGRESS)
        return FailFromErrno();
    // Even a connection made at once is reported through FD_CONNECT, as Windows does.
    entry->phase = Phase::kConnecting;
    Watch(*entry);
    return Fail(WSAEWOULDBLOCK);
}

int send(SOCKET s, const char* data, int length, int flags) {
    auto entry = EntryForCall(s);
    if (!entry)
        return SOCKET_ERROR;
    if (length < 0 || (data == nullptr && length > 0))
        return Fail(WSAEFAULT);
    const long result = posix::Send(entry->fd, data, length, flags);
    if (result >= 0)
        return static_cast<int>(result);
    const int error = errno;
    if (error == EWOULDBLOCK || error == EAGAIN) {
        std::lock_guard<std::mutex> lock(entry->mutex);
        entry->writeWanted = true;
    }
    errno = error;
    return FailFromErrno();
}

int recv(SOCKET s, char* buffer, int length, int flags) {
    auto entry = EntryForCall(s);
    if (!entry)
        return SOCKET_ERROR;
    if (length < 0 || (buffer == nullptr && length > 0))
        return Fail(WSAEFAULT);
    long result = 0;
    int error = 0;
    {
        std::lock_guard<std::mutex> lock(entry->mutex);
        result = (flags & MSG_PEEK) != 0
                     ? PeekThroughReadAhead(*entry, buffer, length, flags, &error)
                     : ReceiveThroughReadAhead(*entry, buffer, length, flags, &error);
        if (SelectionActive(*entry))
            AfterReceive(*entry, result, length, error);
    }
    if (result >= 0)
        return static_cast<int>(result);
    errno = error;
    return FailFromErrno();
}

int ioctlsocket(SOCKET s, long command, u_long* argument) {
    auto entry = EntryForCall(s);
    if (!entry)
        return SOCKET_ERROR;
    if (argument == nullptr)
        return Fail(WSAEFAULT);
    if (command == FIONREAD) {
        // What one recv can take now. Buffered bytes answer without a system call; with none,
        // the kernel is read (a caller that waits for data to come sees it come).
        std::lock_guard<std::mutex> lock(entry->mutex);
        const int buffered = entry->ahead.Size();
        *argument = static_cast<u_long>(buffered > 0 ? buffered : ReadAheadFromKernel(*entry));
        return 0;
    }
    if (command == FIONBIO) {
        std::lock_guard<std::mutex> lock(entry->mutex);
        const bool nonBlocking = *argument != 0;
        // A socket under WSAAsyncSelect stays non-blocking, as on Windows.
        if (!nonBlocking && SelectionActive(*entry))
            return Fail(WSAEINVAL);
        if (posix::SetNonBlocking(entry->fd, nonBlocking) != 0)
            return FailFromErrno();
        entry->nonBlocking = nonBlocking;
        return 0;
    }
    return Fail(WSAEINVAL);
}

unsigned long inet_addr(const char* text) {
    std::uint32_t address = 0;
    return posix::ParseIPv4(text, &address) ? address : INADDR_NONE;
}

int inet_pton(int family, const char* text, void* address) {
    if (family == AF_INET6) {
        return platform::posix::ParseIPv6(text, static_cast<std::uint8_t*>(address)) ? 1 : 0;
    }
    if (family != AF_INET) {
        platform::detail::SetLastWsaError(WSAEAFNOSUPPORT);
        return -1;
    }
    // Strict dotted form only (inet_addr also takes shorter forms).
    int parts = 0;
    unsigned value = 0;
    int digits = 0;
    unsigned char bytes[4] = {};
    for (const char* p = text; p != nullptr; ++p) {
        if (*p >= '0' && *p <= '9' && digits < 3) {
            value = value * 10 + static_cast<unsigned>(*p - '0');
            ++digits;
        } else if ((*p == '.' || *p == '\0') && digits > 0 && value <= 255 && parts < 4) {
            bytes[parts++] = static_cast<unsigned char>(value);
            value = 0;
            digits = 0;
            if (*p == '\0') {
                break;
            }
        } else {
            return 0;
        }
    }
    if (parts != 4) {
        return 0;
    }
    std::memcpy(address, bytes, 4);
    return 1;
}

// --- Asynchronous selection --------------------------------------------------------------

int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT message, long events) {
    auto entry = EntryForCall(s);
    if (!entry)
        return SOCKET_ERROR;
    std::shared_ptr<WindowRecord> window;
    std::shared_ptr<ThreadQueue> queue;
    if (events != 0) {
        window = FindWindow(hwnd);
        queue = window ? window->queue.lock() : nullptr;
        if (!queue)
            return Fail(WSAEINVAL);
    }
    std::lock_guard<std::mutex> lock(entry->mutex);
    if (posix::SetNonBlocking(entry->fd, true) != 0)
        return FailFromErrno();
    entry->nonBlocking = true;
    if (entry->queue != queue)
        Unwatch(*entry);
    entry->window = std::move(window);
    entry->queue = std::move(queue);
    entry->message = message;
    entry->events = events & FD_ALL_EVENTS;
    // A new selection starts with every event enabled again.
    entry->readEnabled = true;
    if (entry->phase == Phase::kConnected)
        entry->writeWanted = true;
    if (entry->events == 0) {
        Unwatch(*entry);
        return 0;
    }
    Watch(*entry);
    // Bytes the layer already holds bring no readiness from the kernel.
    if (!entry->ahead.Empty() && Notify(*entry, FD_READ, 0))
        entry->readEnabled = false;
    return 0;
}

// --- Helpers for tests and the error table -----------------------------------------------

namespace platform {

WsaStartupHook SetWsaStartupHook(WsaStartupHook hook) {
    std::lock_guard<std::mutex> lock(detail::gStartupHookMutex);
    WsaStartupHook previous = std::move(detail::StartupHook());
    detail::StartupHook() = std::move(hook);
    return previous;
}

int WsaErrorFromErrno(int errnoValue) {
    return posix::WsaErrorFromErrno(errnoValue);
}

int WsaErrorFromLookup(int lookupResult, int errnoValue) {
    return posix::WsaErrorFromLookup(lookupResult, errnoValue);
}

std::size_t OpenSocketCount() {
    std::lock_guard<std::mutex> lock(detail::gSocketsMutex);
    return detail::Sockets().size();
}

std::uint64_t KernelReadCount() {
    return detail::gKernelReads.load(std::memory_order_relaxed);
}

}  // namespace platform
