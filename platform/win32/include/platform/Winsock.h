#pragma once
// Windows Sockets are the system's own (ws2_32). Ours: what platform/WinsockAdditions.h
// declares (the lookup is getaddrinfo on a helper thread), and the calls that put the start-up
// hook and the lookup's cancelling in front of the system's.
#include <cstddef>

#include "platform/Win32Api.h"

// Linux only: re-arms immediate acknowledgements. Windows refuses the unknown option
// (WSAENOPROTOOPT), which the caller ignores.
#ifndef TCP_QUICKACK
#define TCP_QUICKACK 0x7001
#endif

#include "platform/WinsockAdditions.h"

namespace platform {

// Lookups handed to the helper threads and not yet delivered or cancelled.
std::size_t PendingLookupCount();

// WSAStartup as this program calls it: the hook first, then the system's.
int StartWinsock(WORD versionRequested, LPWSADATA data);

// WSACancelAsyncRequest as this program calls it: cancels one of the lookups above, or
// passes the handle on to the system's.
int CancelAsyncRequest(HANDLE task);

}  // namespace platform

#define WSACancelAsyncRequest(task) platform::CancelAsyncRequest(task)
#define WSAStartup(version, data) platform::StartWinsock(version, data)
