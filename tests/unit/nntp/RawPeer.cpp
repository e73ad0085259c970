#include "RawPeer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace {

constexpr int kAcceptWaitMs = 5000;

}  // namespace

RawPeer::RawPeer() {
    m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (m_listener < 0) {
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(m_listener, 4) != 0 ||
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(m_listener);
        m_listener = -1;
        return;
    }
    m_port = ntohs(address.sin_port);
}

RawPeer::~RawPeer() {
    Close();
    if (m_listener >= 0) {
        ::close(m_listener);
    }
}

bool RawPeer::Accept() {
    if (m_listener < 0) {
        return false;
    }
    pollfd waitFor{m_listener, POLLIN, 0};
    if (::poll(&waitFor, 1, kAcceptWaitMs) != 1) {
        return false;
    }
    m_connection = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
    return m_connection >= 0;
}

bool RawPeer::Write(const std::string& bytes) {
    std::size_t sent = 0;
    while (m_connection >= 0 && sent < bytes.size()) {
        const ssize_t n =
            ::send(m_connection, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return m_connection >= 0;
}

std::string RawPeer::ReadAvailable() {
    std::string text;
    char block[4096];
    while (m_connection >= 0) {
        const ssize_t n = ::recv(m_connection, block, sizeof block, MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        text.append(block, static_cast<std::size_t>(n));
    }
    return text;
}

void RawPeer::Close() {
    if (m_connection >= 0) {
        ::close(m_connection);
        m_connection = -1;
    }
}

void RawPeer::Reset() {
    if (m_connection >= 0) {
        linger abort{1, 0};
        ::setsockopt(m_connection, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        Close();
    }
}
