#pragma once
// What this program adds to Windows Sockets, the same on both systems: a host lookup for
// every address family delivered as a window message, and the start-up hook the tests use to
// make WSAStartup fail. platform/Winsock.h of each build includes it.
#include <functional>

#include "platform/Winsock.h"

namespace platform {

// Host lookup for every address family. The result arrives as WSAAsyncGetHostByName's does
// (same message parameters, cancelled with WSACancelAsyncRequest), but what is written into
// the caller's list is every address in the resolver's order, IPv6 and IPv4 alike, each a
// sockaddr_in or sockaddr_in6 with port 0. Resolved on a helper thread.
constexpr int kMaxHostAddresses = 16;
struct HostAddressList {
    int count;
    SOCKADDR_STORAGE addresses[kMaxHostAddresses];
};
HANDLE AsyncGetHostAddresses(HWND hwnd, UINT message, const char* name, HostAddressList* result);

// Test hook for start-up: while installed, WSAStartup asks it first, and a non-zero answer is
// returned as WSAStartup's failure (for instance WSAVERNOTSUPPORTED for chosen versions).
using WsaStartupHook = std::function<int(WORD versionRequested)>;
// An empty hook removes it; returns the previous one.
WsaStartupHook SetWsaStartupHook(WsaStartupHook hook);

}  // namespace platform
