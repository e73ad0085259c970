#pragma once
// Windows Sockets are the system's own (ws2_32). Ours: a host lookup for every address family
// delivered as a window message, and the start-up hook the tests use to make WSAStartup fail.
#include <cstddef>
#include <functional>

#include "platform/Win32Api.h"

// Linux only: re-arms immediate acknowledgements. Windows refuses the unknown option
// (WSAENOPROTOOPT), which the caller ignores.
#ifndef TCP_QUICKACK
#define TCP_QUICKACK 0x7001
#endif

namespace platform {

// Host lookup for every address family. The result arrives as WSAAsyncGetHostByName's does
// (same message parameters, cancelled with WSACancelAsyncRequest), but what is written into
// the caller's list is every address in the resolver's order, IPv6 and IPv4 alike, each a
// sockaddr_in or sockaddr_in6 with port 0. Resolved with getaddrinfo on a helper thread.
constexpr int kMaxHostAddresses = 16;
struct HostAddressList {
    int count;
    SOCKADDR_STORAGE addresses[kMaxHostAddresses];
};
HANDLE AsyncGetHostAddresses(HWND hwnd, UINT message, const char* name, HostAddressList* result);
// Lookups handed to the helper threads and not yet delivered or cancelled.
std::size_t PendingLookupCount();

// Test hook for start-up: while installed, WSAStartup asks it first, and a non-zero answer is
// returned as WSAStartup's failure (for instance WSAVERNOTSUPPORTED for chosen versions).
using WsaStartupHook = std::function<int(WORD versionRequested)>;
// An empty hook removes it; returns the previous one.
WsaStartupHook SetWsaStartupHook(WsaStartupHook hook);
// WSAStartup as this program calls it: the hook first, then the system's.
int StartWinsock(WORD versionRequested, LPWSADATA data);

// WSACancelAsyncRequest as this program calls it: cancels one of the lookups above, or
// passes the handle on to the system's.
int CancelAsyncRequest(HANDLE task);

}  // namespace platform

#define WSACancelAsyncRequest(task) platform::CancelAsyncRequest(task)
#define WSAStartup(version, data) platform::StartWinsock(version, data)
