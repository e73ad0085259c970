#pragma once
// Thin wrappers over the system's socket calls for the Windows Sockets layer. This header
// uses plain integers only, so that it can sit beside platform/Winsock.h, whose names would
// collide with the system socket headers. Every call returns as the system call does
// (-1 with errno set on failure); option and flag values are the Windows ones, translated here.
#include <cstdint>
#include <string>
#include <vector>

namespace platform::posix {

// An IPv4 or IPv6 endpoint in network byte order.
struct Endpoint {
    bool isIPv6 = false;
    std::uint32_t address = 0;  // IPv4
    std::uint8_t address6[16] = {};
    std::uint32_t scope = 0;  // IPv6 scope id
    std::uint16_t port = 0;
};

// family: true for IPv6.
int OpenStreamSocket(bool ipv6, int type, int protocol);
int Close(int fd);
int SetNonBlocking(int fd, bool nonBlocking);
// SO_SNDBUF, SO_RCVBUF, TCP_NODELAY and TCP_QUICKACK (Windows values); others ENOPROTOOPT.
int SetOption(int fd, int winLevel, int winOption, const char* value, int length);
// The pending error of the socket (SO_ERROR), 0 when none; reading it clears it.
int TakePendingError(int fd);
int Bind(int fd, const Endpoint& endpoint);
int Connect(int fd, const Endpoint& endpoint);
long Send(int fd, const char* data, int length, int winFlags);
long Receive(int fd, char* buffer, int length, int winFlags);
// One read that fills `first`, then `second`: the caller's buffer and the socket's read-ahead.
long ReceiveInTwo(int fd, char* first, int firstLength, char* second, int secondLength);
// Bytes waiting to be read.
int BytesReadable(int fd, int* count);

// Dotted text to a network-order address; false when the text is not an address.
bool ParseIPv4(const char* text, std::uint32_t* address);

// Resolves an IPv4 host name. Returns 0 or the Windows Sockets error of the failure.
struct HostAddresses {
    std::string canonicalName;
    std::vector<std::uint32_t> addresses;  // network byte order, first one preferred
};
int ResolveIPv4(const std::string& name, HostAddresses* result);
// Resolves a name to addresses of every family, in the resolver's order (at most `limit`).
int ResolveAll(const std::string& name, std::vector<Endpoint>* result, std::size_t limit);
// IPv6 text to its 16 bytes; false when the text is not an IPv6 address.
bool ParseIPv6(const char* text, std::uint8_t* address);

// Maps an errno value and a lookup result to Windows Sockets codes.
int WsaErrorFromErrno(int errnoValue);
int WsaErrorFromLookup(int lookupResult, int errnoValue);

}  // namespace platform::posix
