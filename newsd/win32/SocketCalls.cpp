#include <climits>
#include <cstdio>

#include "newsd/Socket.h"

namespace newsd {
namespace {

bool MakeNonBlocking(SocketHandle socket) {
    u_long on = 1;
    return ioctlsocket(socket, FIONBIO, &on) == 0;
}

}  // namespace

int LastSocketError() {
    return WSAGetLastError();
}

std::string SocketErrorText(int error) {
    char text[256] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
        message.pop_back();
    if (message.empty())
        message = "socket error " + std::to_string(error);
    return message;
}

bool WouldBlock(int error) {
    return error == WSAEWOULDBLOCK;
}

bool Interrupted(int error) {
    return error == WSAEINTR;
}

bool OutOfResources(int error) {
    return error == WSAEMFILE || error == WSAENOBUFS;
}

void CloseSocket(SocketHandle socket) {
    closesocket(socket);
}

SocketHandle OpenStreamSocket(int family) {
    SocketHandle socket = ::socket(family, SOCK_STREAM, IPPROTO_TCP);
    if (socket != kNoSocket && !MakeNonBlocking(socket)) {
        closesocket(socket);
        return kNoSocket;
    }
    return socket;
}

SocketHandle AcceptConnection(SocketHandle listener) {
    for (;;) {
        SocketHandle socket = accept(listener, nullptr, nullptr);
        if (socket == kNoSocket) {
            // A connection reset before it was taken is not the listener's failure.
            if (WSAGetLastError() == WSAECONNRESET)
                continue;
            return kNoSocket;
        }
        // Accepted sockets take the listener's mode; set it anyway, it is what the loop needs.
        if (MakeNonBlocking(socket))
            return socket;
        const int error = WSAGetLastError();
        closesocket(socket);
        WSASetLastError(error);
        return kNoSocket;
    }
}

bool SetIntOption(SocketHandle socket, int level, int name, int value) {
    return setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof(value)) == 0;
}

long long SendGathered(SocketHandle socket, WritePiece* pieces, int count) {
    DWORD sent = 0;
    if (WSASend(socket, pieces, static_cast<DWORD>(count), &sent, 0, nullptr, nullptr) != 0)
        return -1;
    return sent;
}

long long Receive(SocketHandle socket, char* into, size_t size) {
    return recv(socket, into, static_cast<int>(size < INT_MAX ? size : INT_MAX), 0);
}

void SendBestEffort(SocketHandle socket, const char* data, size_t size) {
    send(socket, data, static_cast<int>(size), 0);
}

void ResetOnClose(SocketHandle socket) {
    linger hard{1, 0};
    setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&hard), sizeof(hard));
}

void ShutdownSending(SocketHandle socket) {
    shutdown(socket, SD_SEND);
}

}  // namespace newsd
