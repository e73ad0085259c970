#include "RawPeer.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <chrono>

namespace {

constexpr int kWaitMs = 5000;
constexpr int kLookMs = 50;

#ifdef _WIN32
using Native = SOCKET;
const Native kInvalid = INVALID_SOCKET;
constexpr int kSendFlags = 0;
void CloseNative(Native s) {
    closesocket(s);
}
bool WouldBlock() {
    return WSAGetLastError() == WSAEWOULDBLOCK;
}
bool MakeNonBlocking(Native s) {
    u_long on = 1;
    return ioctlsocket(s, FIONBIO, &on) == 0;
}
bool Ready(Native s, short events, int milliseconds) {
    WSAPOLLFD entry{s, events, 0};
    return WSAPoll(&entry, 1, milliseconds) == 1;
}
Native AcceptNative(Native listener, sockaddr_storage* peer) {
    int length = sizeof *peer;
    return accept(listener, reinterpret_cast<sockaddr*>(peer), &length);
}
#else
using Native = int;
constexpr Native kInvalid = -1;
// A client that went away must give an error, not end the test program.
constexpr int kSendFlags = MSG_NOSIGNAL;
void CloseNative(Native s) {
    ::close(s);
}
bool WouldBlock() {
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
}
bool MakeNonBlocking(Native s) {
    const int flags = ::fcntl(s, F_GETFL);
    return flags >= 0 && ::fcntl(s, F_SETFL, flags | O_NONBLOCK) == 0;
}
bool Ready(Native s, short events, int milliseconds) {
    pollfd entry{s, events, 0};
    return ::poll(&entry, 1, milliseconds) == 1;
}
Native AcceptNative(Native listener, sockaddr_storage* peer) {
    socklen_t length = sizeof *peer;
    return ::accept4(listener, reinterpret_cast<sockaddr*>(peer), &length, SOCK_CLOEXEC);
}
#endif

Native ToNative(std::intptr_t s) {
    return static_cast<Native>(s);
}

std::intptr_t FromNative(Native s) {
    return s == kInvalid ? -1 : static_cast<std::intptr_t>(s);
}

// Milliseconds left until the deadline, 0 once it has passed.
int LeftUntil(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

RawPeer::RawPeer(bool ipv6) {
    const Native listener = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    if (listener == kInvalid) {
        return;
    }
    sockaddr_storage address{};
    int length = 0;
    if (ipv6) {
        auto* address6 = reinterpret_cast<sockaddr_in6*>(&address);
        address6->sin6_family = AF_INET6;
        address6->sin6_addr = in6addr_loopback;
        length = sizeof(sockaddr_in6);
    } else {
        auto* address4 = reinterpret_cast<sockaddr_in*>(&address);
        address4->sin_family = AF_INET;
        address4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        length = sizeof(sockaddr_in);
    }
    auto* generic = reinterpret_cast<sockaddr*>(&address);
#ifdef _WIN32
    int size = sizeof address;
#else
    socklen_t size = sizeof address;
#endif
    if (::bind(listener, generic, length) != 0 || ::listen(listener, 8) != 0 ||
        ::getsockname(listener, generic, &size) != 0) {
        CloseNative(listener);
        return;
    }
    // The port sits at the same place in both address forms.
    m_port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    m_listener = FromNative(listener);
}

RawPeer::~RawPeer() {
    Close();
    if (Listening()) {
        CloseNative(ToNative(m_listener));
    }
}

bool RawPeer::TryAccept() {
    if (Connected() || !Listening() || !Ready(ToNative(m_listener), POLLIN, 0)) {
        return Connected();
    }
    sockaddr_storage peer{};
    const Native accepted = AcceptNative(ToNative(m_listener), &peer);
    if (accepted == kInvalid) {
        return false;
    }
    if (!MakeNonBlocking(accepted)) {
        CloseNative(accepted);
        return false;
    }
    m_peerIsIPv6 = peer.ss_family == AF_INET6;
    m_connection = FromNative(accepted);
    return true;
}

bool RawPeer::Accept() {
    if (Listening() && !Connected()) {
        Ready(ToNative(m_listener), POLLIN, kWaitMs);
    }
    return TryAccept();
}

bool RawPeer::Write(const std::string& bytes) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    std::size_t sent = 0;
    while (Connected() && sent < bytes.size()) {
        const int n = static_cast<int>(::send(ToNative(m_connection), bytes.data() + sent,
                                              static_cast<int>(bytes.size() - sent), kSendFlags));
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0 || !WouldBlock() || LeftUntil(deadline) == 0) {
            return false;
        }
        Ready(ToNative(m_connection), POLLOUT, kLookMs);
    }
    return Connected();
}

bool RawPeer::WaitUntilAcknowledged() {
#ifdef _WIN32
    return Connected();
#else
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    int unacknowledged = 0;
    while (Connected() && ::ioctl(ToNative(m_connection), TIOCOUTQ, &unacknowledged) == 0 &&
           unacknowledged > 0) {
        if (LeftUntil(deadline) == 0) {
            return false;
        }
        ::usleep(1000);
    }
    return Connected() && unacknowledged == 0;
#endif
}

std::string RawPeer::ReadAvailable() {
    std::string text;
    char block[4096];
    while (Connected()) {
        const int n = static_cast<int>(::recv(ToNative(m_connection), block, sizeof block, 0));
        if (n <= 0) {
            break;
        }
        text.append(block, static_cast<std::size_t>(n));
    }
    return text;
}

std::size_t RawPeer::ReadUntilClosed() {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
    std::size_t total = 0;
    char block[65536];
    while (Connected()) {
        const int n = static_cast<int>(::recv(ToNative(m_connection), block, sizeof block, 0));
        if (n > 0) {
            total += static_cast<std::size_t>(n);
            deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
            continue;
        }
        if (n == 0 || !WouldBlock() || LeftUntil(deadline) == 0) {
            break;
        }
        Ready(ToNative(m_connection), POLLIN, kLookMs);
    }
    return total;
}

void RawPeer::Close() {
    if (Connected()) {
        CloseNative(ToNative(m_connection));
        m_connection = kNone;
    }
}

void RawPeer::Reset() {
    if (Connected()) {
        const linger abort{1, 0};
        ::setsockopt(ToNative(m_connection), SOL_SOCKET, SO_LINGER,
                     reinterpret_cast<const char*>(&abort), sizeof abort);
        Close();
    }
}
