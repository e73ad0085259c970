#pragma once
// The socket calls of the server, on the two systems it runs on: POSIX sockets on Linux, and
// Windows Sockets where the Windows build of the tests serves articles in-process. The
// calls are thin; what differs between the systems (handle type, error codes, gathered
// writes, option types) stays behind them.

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/uio.h>
#endif

#include <climits>
#include <cstddef>
#include <string>
#include <utility>

namespace newsd {

#ifdef _WIN32
using SocketHandle = SOCKET;
inline constexpr SocketHandle kNoSocket = INVALID_SOCKET;
#else
using SocketHandle = int;
inline constexpr SocketHandle kNoSocket = -1;
#endif

// One piece of a gathered write, in the system's own form, so that a write hands the pieces
// over as they are.
#ifdef _WIN32
using WritePiece = WSABUF;
inline WritePiece MakeWritePiece(const char* data, size_t size) {
    return {static_cast<ULONG>(size < ULONG_MAX ? size : ULONG_MAX), const_cast<char*>(data)};
}
inline size_t PieceSize(const WritePiece& piece) {
    return piece.len;
}
#else
using WritePiece = iovec;
inline WritePiece MakeWritePiece(const char* data, size_t size) {
    return {const_cast<char*>(data), size};
}
inline size_t PieceSize(const WritePiece& piece) {
    return piece.iov_len;
}
#endif

// The error of the socket call that failed last on this thread.
int LastSocketError();
std::string SocketErrorText(int error);
bool WouldBlock(int error);
bool Interrupted(int error);
// The process or system ran out of sockets or memory: accepting must pause.
bool OutOfResources(int error);

void CloseSocket(SocketHandle socket);
// A non-blocking stream socket of the family; kNoSocket when it cannot be made.
SocketHandle OpenStreamSocket(int family);
// A non-blocking accepted connection; kNoSocket with the error in LastSocketError().
SocketHandle AcceptConnection(SocketHandle listener);
bool SetIntOption(SocketHandle socket, int level, int name, int value);
// Bytes written (possibly fewer than offered), or -1 with the error in LastSocketError().
long long SendGathered(SocketHandle socket, WritePiece* pieces, int count);
long long Receive(SocketHandle socket, char* into, size_t size);
// Sends what fits without blocking and never raises a signal; the result is not looked at.
void SendBestEffort(SocketHandle socket, const char* data, size_t size);
// The next close sends RST instead of FIN.
void ResetOnClose(SocketHandle socket);
void ShutdownSending(SocketHandle socket);

// Owns one socket.
class UniqueSocket {
public:
    UniqueSocket() = default;
    explicit UniqueSocket(SocketHandle socket) : m_socket(socket) {}
    ~UniqueSocket() { Reset(); }
    UniqueSocket(UniqueSocket&& other) noexcept
        : m_socket(std::exchange(other.m_socket, kNoSocket)) {}
    UniqueSocket& operator=(UniqueSocket&& other) noexcept {
        if (this != &other) {
            Reset();
            m_socket = std::exchange(other.m_socket, kNoSocket);
        }
        return *this;
    }
    UniqueSocket(const UniqueSocket&) = delete;
    UniqueSocket& operator=(const UniqueSocket&) = delete;

    SocketHandle Get() const { return m_socket; }
    bool Valid() const { return m_socket != kNoSocket; }
    void Reset() {
        if (m_socket != kNoSocket)
            CloseSocket(m_socket);
        m_socket = kNoSocket;
    }

private:
    SocketHandle m_socket = kNoSocket;
};

}  // namespace newsd
