#include "net/Socks.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <utility>

#include "net/SocketTrace.h"
#include "platform/windows.h"
#include "support/Log.h"

namespace {

constexpr unsigned char kSocksVersion = 0x05;
constexpr unsigned char kAuthVersion = 0x01;
constexpr unsigned char kMethodNone = 0x00;
constexpr unsigned char kMethodUserPass = 0x02;
constexpr unsigned char kNoAcceptableMethod = 0xFF;
constexpr unsigned char kCommandConnect = 0x01;
constexpr unsigned char kAddressIPv4 = 0x01;
constexpr unsigned char kAddressDomain = 0x03;
constexpr unsigned char kAddressIPv6 = 0x04;
constexpr size_t kMaxFieldLength = 255;

constexpr int kShortReplyLength = 2;  // VER + METHOD, or VER + STATUS
constexpr int kConnectReplyHead = 4;  // VER REP RSV ATYP
constexpr int kUnknownReplyLength = -1;

// Reply bytes are logged as signed 8-bit values, so 0xFF reads as -1.
int SignedByte(unsigned char byte) {
    return static_cast<signed char>(byte);
}

}  // namespace

bool SOCKS::SetInfo(const std::string& destinationHost, int destinationPort,
                    const std::string& user, const std::string& password) {
    SocketTrace("SOCKS::SetInfo: Connecting through proxy to \"%s\", port %d, user \"%s\"\n",
                destinationHost.c_str(), destinationPort, user.c_str());
    m_destinationHost = destinationHost;
    m_destinationPort = destinationPort;
    m_user = user;
    m_password = password;
    m_state = InfoSet;
    m_failureReason.clear();
    m_replyLength = 0;
    m_trailingOffset = m_trailingCount = 0;
    return true;
}

bool SOCKS::OnConnect() {
    ResetOutput();
    m_state = MethodSent;
    m_failureReason.clear();
    m_replyLength = 0;
    m_trailingOffset = m_trailingCount = 0;
    if (!m_user.empty() || !m_password.empty()) {
        SocketTrace("SOCKS::OnConnect(): Sending user/pass method.\n");
        const char request[] = {kSocksVersion, 2, kMethodNone, kMethodUserPass};
        Queue(request, sizeof request);
    } else {
        SocketTrace(
            "SOCKS::OnConnect(): Not sending user/pass method.  No username or password.\n");
        const char request[] = {kSocksVersion, 1, kMethodNone};
        Queue(request, sizeof request);
    }
    return true;
}

bool SOCKS::OnRecieve(const char* bytes, int count) {
    ResetOutput();
    m_trailingOffset = m_trailingCount = 0;
    if (bytes == nullptr || count <= 0) {
        return true;
    }
    switch (m_state) {
        case MethodSent:
            CollectReply(bytes, count, kShortReplyLength);
            if (m_replyLength < kShortReplyLength) {
                return true;
            }
            m_replyLength = 0;
            return OnMethodReply();
        case AuthSent:
            CollectReply(bytes, count, kShortReplyLength);
            if (m_replyLength < kShortReplyLength) {
                return true;
            }
            m_replyLength = 0;
            return OnAuthReply();
        case ConnectSent:
            return OnConnectBlock(bytes, count);
        default:
            return true;
    }
}

// A CONNECT reply is judged once its head is there; on success the bound address is read past
// as well, so that whatever follows it in the block is known to be tunnelled data.
bool SOCKS::OnConnectBlock(const char* bytes, int count) {
    int used = CollectReply(bytes, count, kConnectReplyHead);
    if (m_replyLength < kConnectReplyHead) {
        return true;
    }
    if (m_reply[1] == 0) {
        if (m_reply[3] == kAddressDomain) {
            used += CollectReply(bytes + used, count - used, kConnectReplyHead + 1);
            if (m_replyLength < kConnectReplyHead + 1) {
                return true;
            }
        }
        const int full = ConnectReplyLength();
        if (full == kUnknownReplyLength) {
            used = count;  // cannot tell where the reply ends: keep nothing of this block
        } else {
            used += CollectReply(bytes + used, count - used, full);
            if (m_replyLength < full) {
                return true;
            }
        }
        m_trailingOffset = used;
        m_trailingCount = count - used;
    }
    const bool succeeded = OnConnectReply();
    m_replyLength = 0;
    if (!succeeded) {
        m_trailingOffset = m_trailingCount = 0;
    }
    return succeeded;
}

int SOCKS::CollectReply(const char* bytes, int count, int wanted) {
    const int room = std::min(wanted, kReplyBufferSize) - m_replyLength;
    const int taken = std::max(0, std::min(room, count));
    std::memcpy(m_reply + m_replyLength, bytes, static_cast<size_t>(taken));
    m_replyLength += taken;
    return taken;
}

int SOCKS::ConnectReplyLength() const {
    switch (m_reply[3]) {
        case kAddressIPv4:
            return kConnectReplyHead + 4 + 2;
        case kAddressIPv6:
            return kConnectReplyHead + 16 + 2;
        case kAddressDomain:
            return kConnectReplyHead + 1 + m_reply[4] + 2;
        default:
            return kUnknownReplyLength;
    }
}

bool SOCKS::OnMethodReply() {
    const unsigned char method = m_reply[1];
    SocketTrace("SOCKS::OnRecieve: Server responded with METHOD(%d)\n", SignedByte(method));
    if (method == kMethodNone) {
        SocketTrace("SOCKS::OnReceive(): No authentication needed.\n");
        return DoProxyConnect();
    }
    if (method == kMethodUserPass) {
        SocketTrace("SOCKS::OnRecieve: Starting user/pass authentication\n");
        return DoProxyUserPassAuth();
    }
    ErrorLogPrintf("SOCKS::OnRecieve: Unsupported authentication method: %d\n", SignedByte(method));
    SocketTrace("SOCKS::OnRecieve: Unsupported authentication: %d\n", SignedByte(method));
    if (method != kNoAcceptableMethod) {
        return Fail("Unsupported authentication method " + std::to_string(method));
    }
    // The usual cause: the proxy wants a user name and password and none is set.
    return Fail(m_user.empty() && m_password.empty()
                    ? "Unsupported authentication method: the proxy accepts none of the methods "
                      "offered (no proxy user name is set)"
                    : "Unsupported authentication method: the proxy accepts none of the methods "
                      "offered");
}

bool SOCKS::OnAuthReply() {
    const unsigned char status = m_reply[1];
    if (status == 0) {
        SocketTrace("SOCKS::OnRecieve: Successfully authenticated.\n");
        return DoProxyConnect();
    }
    ErrorLogPrintf("SOCKS::OnRecieve: Proxy authentication failed.\n");
    SocketTrace("SOCKS::OnRecieve: Proxy authentication failed with error %d.\n",
                SignedByte(status));
    return Fail("Proxy authentication failed (status " + std::to_string(status) + ")");
}

bool SOCKS::OnConnectReply() {
    SocketTrace("SOCKS::OnRecieve: Server responded with VER(%d) REP(%d) ATYP(%d)\n",
                SignedByte(m_reply[0]), SignedByte(m_reply[1]), SignedByte(m_reply[3]));
    if (m_reply[1] == 0) {
        SocketTrace("REP == 0. SOCKS returning success");
        m_state = Connected;
        return true;
    }
    SocketTrace("REP != 0. SOCKS returning failure");
    return Fail("SOCKS5 reply " + std::to_string(m_reply[1]) + ": " + ReplyCodeText(m_reply[1]));
}

bool SOCKS::DoProxyUserPassAuth() {
    m_state = AuthSent;
    if (m_user.size() > kMaxFieldLength || m_password.size() > kMaxFieldLength) {
        const char* message =
            "SOCKS::DoProxyUserPassAuth(): Username or password larger than 255 bytes.\n";
        SocketTrace(message);
        ErrorLogPrintf(message);
        return Fail("Proxy user name or password longer than 255 bytes");
    }
    char request[kOutputBufferSize];
    char* out = request;
    *out++ = static_cast<char>(kAuthVersion);
    *out++ = static_cast<char>(m_user.size());
    out = std::copy(m_user.begin(), m_user.end(), out);
    *out++ = static_cast<char>(m_password.size());
    out = std::copy(m_password.begin(), m_password.end(), out);
    Queue(request, static_cast<int>(out - request));
    SocketTrace("SOCKS::DoProxyUserPassAuth(): Sent proxy user and password.\n");
    return true;
}

bool SOCKS::DoProxyConnect() {
    m_state = ConnectSent;
    if (m_destinationHost.size() > kMaxFieldLength) {
        m_failureReason = "Server name longer than 255 bytes, too long for the proxy";
        return false;
    }
    const char portHigh = static_cast<char>((m_destinationPort / 256) & 0xFF);
    const char portLow = static_cast<char>((m_destinationPort % 256) & 0xFF);
    const auto address = static_cast<std::uint32_t>(inet_addr(m_destinationHost.c_str()));
    if (address != static_cast<std::uint32_t>(INADDR_NONE)) {
        char request[10] = {kSocksVersion, kCommandConnect, 0, kAddressIPv4};
        std::memcpy(request + 4, &address, 4);  // already in network order
        request[8] = portHigh;
        request[9] = portLow;
        Queue(request, sizeof request);
        SocketTrace("SOCKS::Sent IPv4 CONNECT command.  Waiting for response.\n");
        return true;
    }
    // An IPv6 address has a form of its own: the proxy would try to resolve its text.
    std::string literal = m_destinationHost;
    if (literal.size() > 2 && literal.front() == '[' && literal.back() == ']') {
        literal = literal.substr(1, literal.size() - 2);
    }
    in6_addr address6 = {};
    if (inet_pton(AF_INET6, literal.c_str(), &address6) == 1) {
        char request[4 + 16 + 2] = {kSocksVersion, kCommandConnect, 0, kAddressIPv6};
        std::memcpy(request + 4, address6.s6_addr, 16);
        request[20] = portHigh;
        request[21] = portLow;
        Queue(request, sizeof request);
        SocketTrace("SOCKS::Sent IPv6 CONNECT command.  Waiting for response.\n");
        return true;
    }
    char request[4 + 1 + kMaxFieldLength + 2] = {kSocksVersion, kCommandConnect, 0, kAddressDomain};
    char* out = request + 4;
    *out++ = static_cast<char>(m_destinationHost.size());
    out = std::copy(m_destinationHost.begin(), m_destinationHost.end(), out);
    *out++ = portHigh;
    *out++ = portLow;
    Queue(request, static_cast<int>(out - request));
    SocketTrace("SOCKS::Sent Domain CONNECT command.  Waiting for response.\n");
    return true;
}

const char* SOCKS::TakeOutput(int* length) {
    *length = m_pendingLength;
    ResetOutput();
    return m_outputBuffer;
}

void SOCKS::ResetOutput() {
    m_pendingLength = 0;
    m_writePos = m_outputBuffer;
}

bool SOCKS::Queue(const char* bytes, int length) {
    if (m_pendingLength + length > kOutputBufferSize) {
        return false;
    }
    std::memcpy(m_writePos, bytes, static_cast<size_t>(length));
    m_writePos += length;
    m_pendingLength += length;
    return true;
}

bool SOCKS::Fail() {
    m_state = Idle;
    return false;
}

bool SOCKS::Fail(std::string reason) {
    m_failureReason = std::move(reason);
    return Fail();
}

const char* SOCKS::ReplyCodeText(int code) {
    static const char* const kTexts[] = {"succeeded",
                                         "general SOCKS server failure",
                                         "connection not allowed by ruleset",
                                         "Network unreachable",
                                         "Host unreachable",
                                         "Connection refused",
                                         "TTL expired",
                                         "Command not supported",
                                         "Address type not supported"};
    if (code >= 0 && code < static_cast<int>(std::size(kTexts))) {
        return kTexts[code];
    }
    return "unassigned reply code";
}
