#pragma once
// Internal state of the Windows Sockets layer shared between its files.

#include "platform/detail/PosixSocket.h"
#include "platform/Winsock.h"

namespace platform::detail {

// Writes the endpoint as the caller's sockaddr_in or sockaddr_in6; 0, or SOCKET_ERROR with
// WSAEFAULT when *length is too small.
int WriteEndpoint(const posix::Endpoint& endpoint, sockaddr* address, int* length);

// True between a successful WSAStartup and the matching WSACleanup.
bool WinsockStarted();
// Sets what WSAGetLastError returns on the calling thread.
void SetLastWsaError(int error);

}  // namespace platform::detail
