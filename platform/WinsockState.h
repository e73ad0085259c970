#pragma once
// Internal state of the Windows Sockets layer shared between its files.

namespace platform::detail {

// True between a successful WSAStartup and the matching WSACleanup.
bool WinsockStarted();
// Sets what WSAGetLastError returns on the calling thread.
void SetLastWsaError(int error);

}  // namespace platform::detail
