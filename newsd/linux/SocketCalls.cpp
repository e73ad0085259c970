#include <netinet/tcp.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "newsd/Socket.h"

namespace newsd {
int LastSocketError() {
    return errno;
}

std::string SocketErrorText(int error) {
    return std::strerror(error);
}

bool WouldBlock(int error) {
    return error == EAGAIN || error == EWOULDBLOCK;
}

bool Interrupted(int error) {
    return error == EINTR;
}

bool OutOfResources(int error) {
    return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

void CloseSocket(SocketHandle socket) {
    ::close(socket);
}

SocketHandle OpenStreamSocket(int family) {
    return ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

SocketHandle AcceptConnection(SocketHandle listener) {
    for (;;) {
        const SocketHandle socket = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        // A connection reset before it was taken is not the listener's failure: try the next.
        if (socket >= 0 || (errno != EINTR && errno != ECONNABORTED))
            return socket;
    }
}

bool SetIntOption(SocketHandle socket, int level, int name, int value) {
    return setsockopt(socket, level, name, &value, sizeof(value)) == 0;
}

long long SendGathered(SocketHandle socket, WritePiece* pieces, int count) {
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = static_cast<size_t>(count);
    return sendmsg(socket, &message, MSG_NOSIGNAL);
}

long long Receive(SocketHandle socket, char* into, size_t size) {
    return recv(socket, into, size, 0);
}

void SendBestEffort(SocketHandle socket, const char* data, size_t size) {
    [[maybe_unused]] ssize_t sent = send(socket, data, size, MSG_NOSIGNAL);
}

void ResetOnClose(SocketHandle socket) {
    linger hard{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
}

void ShutdownSending(SocketHandle socket) {
    shutdown(socket, SHUT_WR);
}

}  // namespace newsd
