#pragma once
// The Windows Sockets subset the engine is written against: IPv4 TCP sockets with the Windows
// names, constants and error codes, asynchronous selection (WSAAsyncSelect) and asynchronous
// host lookup (WSAAsyncGetHostByName) delivered as window messages.
//
// A file that includes this header must not include the system socket headers
// (<sys/socket.h>, <netinet/in.h>, <arpa/inet.h>, <netdb.h>, <sys/ioctl.h>): the names here
// are the Windows ones and would collide.
//
// SOCKET values are drawn from a counter and never reused; an unknown SOCKET is answered
// with WSAENOTSOCK. A socket is blocking until WSAAsyncSelect (or FIONBIO) makes it
// non-blocking, as on Windows.
#include <cstdint>

#include "platform/WinTypes.h"

using u_char = unsigned char;
using u_short = unsigned short;
using u_int = unsigned int;
using u_long = unsigned long;

using SOCKET = UINT_PTR;
constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
constexpr int SOCKET_ERROR = -1;

// Address families, socket types, protocols.
constexpr int AF_UNSPEC = 0;
constexpr int AF_INET = 2;
constexpr int PF_INET = AF_INET;
constexpr int AF_INET6 = 23;  // the Windows value
constexpr int PF_INET6 = AF_INET6;
constexpr int SOCK_STREAM = 1;
constexpr int SOCK_DGRAM = 2;
constexpr int IPPROTO_TCP = 6;
constexpr int IPPROTO_UDP = 17;

// Socket options (Windows values; translated for the system). Only these are known.
constexpr int SOL_SOCKET = 0xFFFF;
constexpr int SO_SNDBUF = 0x1001;
constexpr int SO_RCVBUF = 0x1002;
constexpr int TCP_NODELAY = 0x0001;
// Linux only: re-arms immediate acknowledgements (the kernel falls back to delayed ones).
constexpr int TCP_QUICKACK = 0x7001;

// ioctlsocket commands.
constexpr long FIONREAD = 0x4004667FL;
constexpr long FIONBIO = 0x8004667EL;

// send/recv flags.
constexpr int MSG_OOB = 0x1;
constexpr int MSG_PEEK = 0x2;
constexpr int MSG_DONTROUTE = 0x4;
constexpr int MSG_WAITALL = 0x8;

// Addresses in network byte order.
constexpr std::uint32_t INADDR_ANY = 0x00000000U;
constexpr std::uint32_t INADDR_LOOPBACK = 0x7F000001U;  // host byte order, as on Windows
constexpr std::uint32_t INADDR_NONE = 0xFFFFFFFFU;

struct in_addr {
    std::uint32_t s_addr;
};

struct sockaddr {
    u_short sa_family;
    char sa_data[14];
};

struct sockaddr_in {
    short sin_family;
    u_short sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
using SOCKADDR = sockaddr;
using SOCKADDR_IN = sockaddr_in;

struct in6_addr {
    u_char s6_addr[16];
};

struct sockaddr_in6 {
    short sin6_family;
    u_short sin6_port;
    std::uint32_t sin6_flowinfo;
    in6_addr sin6_addr;
    std::uint32_t sin6_scope_id;
};
using SOCKADDR_IN6 = sockaddr_in6;

// Room for an address of any family.
struct sockaddr_storage {
    short ss_family;
    char ss_pad[126];
};
using SOCKADDR_STORAGE = sockaddr_storage;

// The host entry WSAAsyncGetHostByName writes into the caller's buffer; every pointer points
// into that same buffer.
struct hostent {
    char* h_name;
    char** h_aliases;
    short h_addrtype;
    short h_length;
    char** h_addr_list;
};
using HOSTENT = hostent;
#define h_addr h_addr_list[0]

// A buffer of this size holds any host entry WSAAsyncGetHostByName produces.
constexpr int MAXGETHOSTSTRUCT = 1024;

constexpr int WSADESCRIPTION_LEN = 256;
constexpr int WSASYS_STATUS_LEN = 128;
struct WSADATA {
    WORD wVersion;
    WORD wHighVersion;
    char szDescription[WSADESCRIPTION_LEN + 1];
    char szSystemStatus[WSASYS_STATUS_LEN + 1];
    unsigned short iMaxSockets;
    unsigned short iMaxUdpDg;
    char* lpVendorInfo;
};
using LPWSADATA = WSADATA*;

// WSAAsyncSelect events. FD_ACCEPT is never reported: no socket here listens.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;
constexpr long FD_ALL_EVENTS = 0x3F;

// Error codes.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSAEDISCON = 10101;
constexpr int WSASYSCALLFAILURE = 10107;
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

// lParam of a WSAAsyncSelect message: event in the low word, error in the high word.
inline LPARAM WSAMAKESELECTREPLY(long event, int error) {
    return static_cast<LPARAM>(MAKELONG(static_cast<WORD>(event), static_cast<WORD>(error)));
}
inline WORD WSAGETSELECTEVENT(LPARAM lParam) {
    return LOWORD(static_cast<std::uintptr_t>(lParam));
}
inline WORD WSAGETSELECTERROR(LPARAM lParam) {
    return HIWORD(static_cast<std::uintptr_t>(lParam));
}
// lParam of a lookup message: needed buffer length in the low word, error in the high word.
inline LPARAM WSAMAKEASYNCREPLY(int bufferLength, int error) {
    return static_cast<LPARAM>(MAKELONG(static_cast<WORD>(bufferLength), static_cast<WORD>(error)));
}
inline WORD WSAGETASYNCBUFLEN(LPARAM lParam) {
    return LOWORD(static_cast<std::uintptr_t>(lParam));
}
inline WORD WSAGETASYNCERROR(LPARAM lParam) {
    return HIWORD(static_cast<std::uintptr_t>(lParam));
}

inline u_short htons(u_short value) {
    return static_cast<u_short>(__builtin_bswap16(value));
}
inline u_short ntohs(u_short value) {
    return static_cast<u_short>(__builtin_bswap16(value));
}
inline u_long htonl(u_long value) {
    return static_cast<u_long>(__builtin_bswap32(static_cast<std::uint32_t>(value)));
}
inline u_long ntohl(u_long value) {
    return static_cast<u_long>(__builtin_bswap32(static_cast<std::uint32_t>(value)));
}

// --- Library start-up --------------------------------------------------------------------

// Counts start-ups; every socket call fails with WSANOTINITIALISED while the count is 0.
// Versions 1.0 to 2.2 are granted (wVersion = the requested one, at most 2.2).
int WSAStartup(WORD versionRequested, LPWSADATA data);
// Lowers the count; SOCKET_ERROR with WSANOTINITIALISED when it is already 0.
int WSACleanup();

// The calling thread's last Windows Sockets error.
int WSAGetLastError();
void WSASetLastError(int error);

// --- Sockets -----------------------------------------------------------------------------
// The client side only: sockets connect, nothing listens or accepts (a test's server end
// uses the system's sockets directly).

SOCKET socket(int family, int type, int protocol);
int closesocket(SOCKET s);
int setsockopt(SOCKET s, int level, int option, const char* value, int length);
int bind(SOCKET s, const sockaddr* address, int length);
// Only without waiting: SOCKET_ERROR with WSAEWOULDBLOCK, then FD_CONNECT (once). A socket
// still blocking (no WSAAsyncSelect or FIONBIO yet) is refused with WSAEOPNOTSUPP.
int connect(SOCKET s, const sockaddr* address, int length);
int send(SOCKET s, const char* data, int length, int flags);
int recv(SOCKET s, char* buffer, int length, int flags);
// FIONREAD (bytes readable) and FIONBIO (non-zero = non-blocking).
int ioctlsocket(SOCKET s, long command, u_long* argument);

// Dotted address text to a network-order address; INADDR_NONE when it is not one.
unsigned long inet_addr(const char* text);
// Text to an address of the family (AF_INET: in_addr, AF_INET6: in6_addr): 1 when it is one,
// 0 when not, -1 (WSAEAFNOSUPPORT) for another family.
int inet_pton(int family, const char* text, void* address);

// --- Asynchronous selection and lookup ---------------------------------------------------

// Makes the socket non-blocking and reports the chosen events to the window as message
// (wParam = socket, lParam = WSAMAKESELECTREPLY(event, error)), with Winsock's re-enabling:
//  FD_READ    once, then not again until recv is called; after a recv that leaves data,
//             another FD_READ follows.
//  FD_WRITE   once the connection stands, and after a send that failed with WSAEWOULDBLOCK
//             once sending is possible again.
//  FD_CONNECT once per connect attempt, with its error (0, WSAECONNREFUSED, WSAETIMEDOUT,
//             WSAENETUNREACH, WSAEHOSTUNREACH, …).
//  FD_CLOSE   once, after the data received before the close has been read (0 graceful,
//             WSAECONNRESET for a reset); never after closesocket.
// events 0 stops the notifications. A notification still queued when the socket is closed
// is dropped.
int WSAAsyncSelect(SOCKET s, HWND hwnd, UINT message, long events);

// Resolves an IPv4 host name on a helper thread and posts message to the window with
// wParam = the returned task handle and lParam = WSAMAKEASYNCREPLY(length, error). The host
// entry is copied into buffer on the window's thread, just before the message is taken,
// and only when the request was not cancelled and the window still exists. A buffer too
// small for the entry gives WSAENOBUFS with the needed length. Null (WSAEINVAL) for a null
// name or buffer or an unknown window.
HANDLE WSAAsyncGetHostByName(HWND hwnd, UINT message, const char* name, char* buffer,
                             int bufferLength);
// After this returns 0 no message of the request is taken any more and its buffer is not
// written. SOCKET_ERROR (WSAEINVAL) for an unknown or finished request.
int WSACancelAsyncRequest(HANDLE task);

#include "platform/WinsockAdditions.h"

namespace platform {

// The Windows Sockets code for an errno value (WSASYSCALLFAILURE for one without a match).
int WsaErrorFromErrno(int errnoValue);
// The Windows Sockets code for a host lookup's result (0 for success).
int WsaErrorFromLookup(int lookupResult, int errnoValue);

// System calls made to read a socket or to ask what it holds (for tests and measurements).
std::uint64_t KernelReadCount();

}  // namespace platform
