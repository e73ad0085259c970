#include "bench/PlainSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

namespace bench::plain {

int Listen(int backlog, int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

int Accept(int listener) {
    return ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
}

long Send(int fd, const char* data, std::size_t length) {
    // A client that went away must give an error, not end the benchmark.
    return ::send(fd, data, length, MSG_NOSIGNAL);
}

long Receive(int fd, char* buffer, std::size_t length) {
    return ::recv(fd, buffer, length, 0);
}

void SetNoDelay(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

void Shutdown(int fd) {
    ::shutdown(fd, SHUT_RDWR);
}

void Close(int fd) {
    ::close(fd);
}

}  // namespace bench::plain
