#include "platform/detail/PosixSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::posix {
namespace {

// The Windows values of the options and flags callers pass (see platform/Winsock.h).
constexpr int kWinSolSocket = 0xFFFF;
constexpr int kWinIpprotoTcp = 6;
constexpr int kWinSoSndBuf = 0x1001;
constexpr int kWinSoRcvBuf = 0x1002;
constexpr int kWinTcpNoDelay = 0x0001;
constexpr int kWinTcpQuickAck = 0x7001;
constexpr int kWinMsgOob = 0x1;
constexpr int kWinMsgPeek = 0x2;
constexpr int kWinMsgDontRoute = 0x4;
constexpr int kWinMsgWaitAll = 0x8;

// Finds the system level and option for a Windows pair; false when there is none.
bool TranslateOption(int winLevel, int winOption, int* level, int* option) {
    if (winLevel == kWinSolSocket) {
        *level = SOL_SOCKET;
        switch (winOption) {
            case kWinSoSndBuf:
                *option = SO_SNDBUF;
                return true;
            case kWinSoRcvBuf:
                *option = SO_RCVBUF;
                return true;
            default:
                return false;
        }
    }
    if (winLevel == kWinIpprotoTcp) {
        *level = IPPROTO_TCP;
        switch (winOption) {
            case kWinTcpNoDelay:
                *option = TCP_NODELAY;
                return true;
            case kWinTcpQuickAck:
                *option = TCP_QUICKACK;
                return true;
            default:
                return false;
        }
    }
    return false;
}

int TranslateFlags(int winFlags) {
    int flags = 0;
    if (winFlags & kWinMsgOob)
        flags |= MSG_OOB;
    if (winFlags & kWinMsgPeek)
        flags |= MSG_PEEK;
    if (winFlags & kWinMsgDontRoute)
        flags |= MSG_DONTROUTE;
    if (winFlags & kWinMsgWaitAll)
        flags |= MSG_WAITALL;
    return flags;
}

socklen_t ToSockaddr(const Endpoint& endpoint, sockaddr_storage* storage) {
    *storage = {};
    if (endpoint.isIPv6) {
        auto* address = reinterpret_cast<sockaddr_in6*>(storage);
        address->sin6_family = AF_INET6;
        address->sin6_port = endpoint.port;
        std::memcpy(&address->sin6_addr, endpoint.address6, 16);
        address->sin6_scope_id = endpoint.scope;
        return sizeof(sockaddr_in6);
    }
    auto* address = reinterpret_cast<sockaddr_in*>(storage);
    address->sin_family = AF_INET;
    address->sin_port = endpoint.port;
    address->sin_addr.s_addr = endpoint.address;
    return sizeof(sockaddr_in);
}

void FromSockaddr(const sockaddr_storage& storage, Endpoint* endpoint) {
    *endpoint = Endpoint{};
    if (storage.ss_family == AF_INET6) {
        const auto* address = reinterpret_cast<const sockaddr_in6*>(&storage);
        endpoint->isIPv6 = true;
        std::memcpy(endpoint->address6, &address->sin6_addr, 16);
        endpoint->scope = address->sin6_scope_id;
        endpoint->port = address->sin6_port;
        return;
    }
    const auto* address = reinterpret_cast<const sockaddr_in*>(&storage);
    endpoint->address = address->sin_addr.s_addr;
    endpoint->port = address->sin_port;
}

}  // namespace

int OpenStreamSocket(bool ipv6, int type, int protocol) {
    return ::socket(ipv6 ? AF_INET6 : AF_INET, type | SOCK_CLOEXEC, protocol);
}

int Close(int fd) {
    return ::close(fd);
}

int SetNonBlocking(int fd, bool nonBlocking) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags ? 0 : ::fcntl(fd, F_SETFL, wanted);
}

int SetOption(int fd, int winLevel, int winOption, const char* value, int length) {
    int level = 0;
    int option = 0;
    if (value == nullptr || length < 0 || !TranslateOption(winLevel, winOption, &level, &option)) {
        errno = value == nullptr ? EFAULT : ENOPROTOOPT;
        return -1;
    }
    // Windows options are ints; a shorter value (a BOOL as one char) is widened.
    int number = 0;
    std::memcpy(&number, value, std::min<int>(length, sizeof number));
    return ::setsockopt(fd, level, option, &number, sizeof number);
}

int TakePendingError(int fd) {
    int error = 0;
    socklen_t size = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &size) != 0)
        return errno;
    return error;
}

int Bind(int fd, const Endpoint& endpoint) {
    sockaddr_storage address;
    const socklen_t size = ToSockaddr(endpoint, &address);
    return ::bind(fd, reinterpret_cast<const sockaddr*>(&address), size);
}

int Connect(int fd, const Endpoint& endpoint) {
    sockaddr_storage address;
    const socklen_t size = ToSockaddr(endpoint, &address);
    return ::connect(fd, reinterpret_cast<const sockaddr*>(&address), size);
}

long Send(int fd, const char* data, int length, int winFlags) {
    // MSG_NOSIGNAL: a peer that went away must give an error, not end the process.
    return ::send(fd, data, static_cast<size_t>(length), TranslateFlags(winFlags) | MSG_NOSIGNAL);
}

long Receive(int fd, char* buffer, int length, int winFlags) {
    return ::recv(fd, buffer, static_cast<size_t>(length), TranslateFlags(winFlags));
}

long ReceiveInTwo(int fd, char* first, int firstLength, char* second, int secondLength) {
    iovec parts[2] = {{first, static_cast<size_t>(firstLength)},
                      {second, static_cast<size_t>(secondLength)}};
    return ::readv(fd, parts, second != nullptr && secondLength > 0 ? 2 : 1);
}

int BytesReadable(int fd, int* count) {
    return ::ioctl(fd, FIONREAD, count);
}

bool ParseIPv4(const char* text, std::uint32_t* address) {
    if (text == nullptr)
        return false;
    in_addr parsed{};
    if (::inet_aton(text, &parsed) == 0)
        return false;
    *address = parsed.s_addr;
    return true;
}

int ResolveIPv4(const std::string& name, HostAddresses* result) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (status != 0)
        return WsaErrorFromLookup(status, errno);
    result->canonicalName = (list->ai_canonname != nullptr) ? list->ai_canonname : name;
    for (const addrinfo* entry = list; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_family != AF_INET || entry->ai_addr == nullptr)
            continue;
        sockaddr_in address{};
        std::memcpy(&address, entry->ai_addr, sizeof address);
        const std::uint32_t value = address.sin_addr.s_addr;
        if (std::find(result->addresses.begin(), result->addresses.end(), value) ==
            result->addresses.end()) {
            result->addresses.push_back(value);
        }
    }
    ::freeaddrinfo(list);
    return result->addresses.empty() ? 11004 /* WSANO_DATA */ : 0;
}

// The one table from system errors to Windows Sockets codes.
int WsaErrorFromErrno(int errnoValue) {
    switch (errnoValue) {
        case 0:
            return 0;
        case EINTR:
            return 10004;
        case EBADF:
            return 10009;
        case EACCES:
        case EPERM:
            return 10013;
        case EFAULT:
            return 10014;
        case EINVAL:
            return 10022;
        case EMFILE:
        case ENFILE:
            return 10024;
        case EWOULDBLOCK:
        case EINPROGRESS:
            return 10035;
        case EALREADY:
            return 10037;
        case ENOTSOCK:
            return 10038;
        case EDESTADDRREQ:
            return 10039;
        case EMSGSIZE:
            return 10040;
        case EPROTOTYPE:
            return 10041;
        case ENOPROTOOPT:
            return 10042;
        case EPROTONOSUPPORT:
            return 10043;
        case ESOCKTNOSUPPORT:
            return 10044;
        case EOPNOTSUPP:
            return 10045;
        case EPFNOSUPPORT:
            return 10046;
        case EAFNOSUPPORT:
            return 10047;
        case EADDRINUSE:
            return 10048;
        case EADDRNOTAVAIL:
            return 10049;
        case ENETDOWN:
            return 10050;
        case ENETUNREACH:
            return 10051;
        case ENETRESET:
            return 10052;
        case ECONNABORTED:
            return 10053;
        case ECONNRESET:
            return 10054;
        case ENOBUFS:
        case ENOMEM:
            return 10055;
        case EISCONN:
            return 10056;
        case ENOTCONN:
            return 10057;
        case EPIPE:
        case ESHUTDOWN:
            return 10058;
        case ETOOMANYREFS:
            return 10059;
        case ETIMEDOUT:
            return 10060;
        case ECONNREFUSED:
            return 10061;
        case ELOOP:
            return 10062;
        case ENAMETOOLONG:
            return 10063;
        case EHOSTDOWN:
            return 10064;
        case EHOSTUNREACH:
            return 10065;
        default:
            return 10107;  // WSASYSCALLFAILURE
    }
}

int WsaErrorFromLookup(int lookupResult, int errnoValue) {
    switch (lookupResult) {
        case 0:
            return 0;
        case EAI_NONAME:
            return 11001;  // WSAHOST_NOT_FOUND
        case EAI_AGAIN:
            return 11002;  // WSATRY_AGAIN
        case EAI_FAIL:
            return 11003;  // WSANO_RECOVERY
#ifdef EAI_NODATA
        case EAI_NODATA:
            return 11004;  // WSANO_DATA: the name exists, without an address
#endif
#ifdef EAI_ADDRFAMILY
        case EAI_ADDRFAMILY:
            return 11004;
#endif
        case EAI_MEMORY:
            return 10055;
        case EAI_SYSTEM: {
            const int code = WsaErrorFromErrno(errnoValue);
            return code == 0 ? 11003 : code;
        }
        default:
            return 11003;
    }
}

bool ParseIPv6(const char* text, std::uint8_t* address) {
    in6_addr parsed{};
    if (text == nullptr || ::inet_pton(AF_INET6, text, &parsed) != 1)
        return false;
    std::memcpy(address, &parsed, 16);
    return true;
}

int ResolveAll(const std::string& name, std::vector<Endpoint>* result, std::size_t limit) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const int status = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (status != 0)
        return WsaErrorFromLookup(status, errno);
    for (const addrinfo* entry = list; entry != nullptr && result->size() < limit;
         entry = entry->ai_next) {
        if (entry->ai_addr == nullptr ||
            (entry->ai_family != AF_INET && entry->ai_family != AF_INET6))
            continue;
        sockaddr_storage storage{};
        std::memcpy(&storage, entry->ai_addr, entry->ai_addrlen);
        Endpoint endpoint;
        FromSockaddr(storage, &endpoint);
        endpoint.port = 0;
        const bool seen = std::any_of(result->begin(), result->end(), [&](const Endpoint& e) {
            return e.isIPv6 == endpoint.isIPv6 && e.address == endpoint.address &&
                   std::memcmp(e.address6, endpoint.address6, 16) == 0;
        });
        if (!seen)
            result->push_back(endpoint);
    }
    ::freeaddrinfo(list);
    return result->empty() ? 11004 /* WSANO_DATA */ : 0;
}

}  // namespace platform::posix
