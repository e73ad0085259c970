#include "net/BaseSocket.h"

#include <algorithm>
#include <cstring>

#include "net/SocketTrace.h"
#include "support/ErrorText.h"
#include "support/SettingsStore.h"

namespace {

const char* const kSocketClassLabel = "DUZidSocketWindow";
const char* const kSocketWindowName = "DUZid";

// Identifies the handshake's time-out timer on the socket's window; the timer has its own
// procedure, so the derived class's window procedure never sees its ticks.
constexpr UINT_PTR kHandshakeTimerId = 0x5A17;

int HighWordError(LPARAM lParam) {
    return HIWORD(static_cast<std::uintptr_t>(lParam));
}

}  // namespace

BaseSocket::BaseSocket() {
    const RECT noArea = {0, 0, 0, 0};
    HiddenWindow::Create(kSocketClassLabel, kSocketWindowName, 0, noArea, nullptr, nullptr);
}

BaseSocket::~BaseSocket() {
    // Not virtual dispatch here: the derived part is already gone.
    BaseSocket::Close();
}

LRESULT BaseSocket::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    ZODIVA_ASSERT_OWNER(Owner());
    switch (message) {
        case kMsgLookupDone:
            OnLookupDone(wParam, lParam);
            return 0;
        case kMsgSocketEvent:
            OnSocketEvent(static_cast<SOCKET>(wParam), LOWORD(static_cast<std::uintptr_t>(lParam)),
                          HighWordError(lParam));
            return 0;
        default:
            return DefWindowProcA(hwnd, message, wParam, lParam);
    }
}

int BaseSocket::Close() {
    CancelLookup();
    StopHandshakeClock();
    m_TunnelBytesStart = m_TunnelBytesEnd = 0;
    m_bCloseHeld = false;
    m_Tls.End();
    m_TlsOutbox.clear();
    if (m_hSocket == INVALID_SOCKET) {
        return 0;
    }
    const int result = closesocket(m_hSocket);
    m_hSocket = INVALID_SOCKET;
    DropQueuedSocketEvents();
    return result;
}

// Notifications queued before closesocket still arrive, and Windows hands the closed socket's
// number to the next socket made. This window has one socket at a time, so whatever is queued
// for it now is about the socket just closed: it must not reach a later socket of that number.
void BaseSocket::DropQueuedSocketEvents() {
    // Without a window nothing was queued for this object; a null window would select every
    // window of the thread and drop the other connections' notifications.
    if (GetWindowHandle() == nullptr) {
        return;
    }
    MSG stale;
    while (PeekMessageA(&stale, GetWindowHandle(), kMsgSocketEvent, kMsgSocketEvent, PM_REMOVE)) {
    }
}

void BaseSocket::OnConnect(int) {}

void BaseSocket::OnAccept(int) {}

void BaseSocket::OnReceive(int) {}

void BaseSocket::OnSend(int) {}

void BaseSocket::OnTransportStatus(const std::string&) {}

void BaseSocket::OnClose(int) {
    // The handle field is left as it is: the derived class decides when it is forgotten, and
    // must do so with Close() before another socket is made. Closing the number a second time
    // is harmless on Linux, where numbers are never reused, but not on Windows, which gives
    // it to the next socket (the engine's connections override this and call Close()).
    closesocket(m_hSocket);
}

bool BaseSocket::Create(int localPort, int socketType, long eventMask, const std::string& host) {
    // A socket or lookup still open would otherwise be orphaned, its events still arriving.
    if (m_hSocket != INVALID_SOCKET || m_hLookup != nullptr) {
        BaseSocket::Close();
    }
    m_Host = host;
    m_Port = localPort;
    m_SocketType = socketType;
    m_EventMask = eventMask;
    const SOCKET created = socket(AF_INET, socketType, 0);
    if (created == INVALID_SOCKET) {
        return false;
    }
    m_hSocket = created;
    ApplyStreamOptions(created, true);
    // A socket that is not on the port asked for, or whose events reach nobody, is not what
    // the caller asked for: it is closed again and the failure is the caller's to see (the
    // error stays readable with WSAGetLastError).
    if (localPort != 0) {
        sockaddr_in local = {};
        local.sin_family = AF_INET;
        local.sin_port = htons(static_cast<u_short>(localPort));
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        if (bind(created, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            return CloseAfterFailedCreate();
        }
    }
    if (WSAAsyncSelect(created, GetWindowHandle(), kMsgSocketEvent, eventMask) != 0) {
        return CloseAfterFailedCreate();
    }
    return true;
}

bool BaseSocket::CloseAfterFailedCreate() {
    const int error = WSAGetLastError();
    BaseSocket::Close();
    WSASetLastError(error);
    return false;
}

bool BaseSocket::Connect(const std::string& host, int port, const std::string& proxyAddress,
                         int proxyPort, const std::string& proxyUser,
                         const std::string& proxyPassword) {
    // Only the newest attempt may report: an older lookup must not dial when it completes.
    CancelLookup();
    m_Host = WithoutBrackets(host);
    m_Port = port;
    m_bTlsFailed = false;
    m_ConnectFailureReason.clear();
    ReadTlsSettings();
    std::string machine;
    if (!proxyAddress.empty()) {
        m_bUseProxy = true;
        machine = proxyAddress;
        m_ConnectPort = proxyPort;
        m_Proxy.SetInfo(m_Host, port, proxyUser, proxyPassword);
    } else {
        m_bUseProxy = false;
        machine = m_Host;
        m_ConnectPort = port;
    }
    m_Addresses.count = 0;
    m_NextAddress = 0;
    machine = WithoutBrackets(machine);
    if (IsDottedQuad(machine.c_str())) {
        SetRemoteAddress(inet_addr(machine.c_str()));
        return ConnectNow();
    }
    in6_addr address6 = {};
    if (inet_pton(AF_INET6, machine.c_str(), &address6) == 1) {
        SetRemoteAddress6(address6);
        return ConnectNow();
    }
    return StartLookup(machine);
}

// "[::1]" as written before a port, in settings and on the command line, is the address ::1.
std::string BaseSocket::WithoutBrackets(const std::string& text) {
    if (text.size() > 2 && text.front() == '[' && text.back() == ']') {
        return text.substr(1, text.size() - 2);
    }
    return text;
}

bool BaseSocket::IsDottedQuad(const char* text) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    int dots = 0;
    const char* p = text;
    for (; *p != '\0'; ++p) {
        if (*p == '.') {
            ++dots;
        } else if (*p < '0' || *p > '9') {
            break;
        }
    }
    return *p == '\0' && dots == 3;
}

void BaseSocket::CancelLookup() {
    if (m_hLookup != nullptr) {
        WSACancelAsyncRequest(m_hLookup);
        m_hLookup = nullptr;
    }
}

bool BaseSocket::StartLookup(const std::string& name) {
    // A newer lookup replaces an older one, whose result must then never arrive.
    CancelLookup();
    std::memset(&m_Addresses, 0, sizeof m_Addresses);
    // Every address family: a server may be reachable over IPv6 only, or over IPv4 only.
    m_hLookup = platform::AsyncGetHostAddresses(GetWindowHandle(), kMsgLookupDone, name.c_str(),
                                                &m_Addresses);
    return m_hLookup != nullptr;
}

void BaseSocket::OnLookupDone(WPARAM taskHandle, LPARAM lParam) {
    if (m_hLookup == nullptr || reinterpret_cast<HANDLE>(taskHandle) != m_hLookup) {
        return;
    }
    m_hLookup = nullptr;
    const int error = HighWordError(lParam);
    if (error != 0) {
        OnConnect(error);
        return;
    }
    if (m_Addresses.count <= 0) {
        OnConnect(kOwnFailure);
        return;
    }
    ConnectToAddresses(m_Addresses);
}

bool BaseSocket::ConnectToAddresses(const platform::HostAddressList& list) {
    if (&list != &m_Addresses) {
        m_Addresses = list;
    }
    m_NextAddress = 0;
    if (m_Addresses.count <= 0) {
        OnConnect(kOwnFailure);
        return false;
    }
    return ConnectToNextAddress();
}

bool BaseSocket::HasMoreAddresses() const {
    return m_NextAddress < m_Addresses.count;
}

// The addresses are tried in the resolver's order; only the last failure is reported.
bool BaseSocket::ConnectToNextAddress() {
    const SOCKADDR_STORAGE& next = m_Addresses.addresses[m_NextAddress++];
    if (next.ss_family == AF_INET6) {
        sockaddr_in6 address = {};
        std::memcpy(&address, &next, sizeof address);
        SetRemoteAddress6(address.sin6_addr);
    } else {
        sockaddr_in address = {};
        std::memcpy(&address, &next, sizeof address);
        SetRemoteAddress(address.sin_addr.s_addr);
    }
    return ConnectNow();
}

bool BaseSocket::ConnectNow() {
    if (m_hSocket != INVALID_SOCKET) {
        closesocket(m_hSocket);
        m_hSocket = INVALID_SOCKET;
    }
    StopHandshakeClock();
    m_TunnelBytesStart = m_TunnelBytesEnd = 0;
    m_bCloseHeld = false;
    m_Tls.End();
    m_TlsOutbox.clear();
    const SOCKET created = socket(m_RemoteAddress.ss_family, m_SocketType, 0);
    if (created == INVALID_SOCKET) {
        return FailConnectNow(WSAGetLastError(), false);
    }
    m_hSocket = created;
    // No SO_RCVBUF here: a fixed small buffer would switch off the kernel's receive-window
    // tuning and cap the throughput of the connection that carries the articles.
    ApplyStreamOptions(created, false);
    if (WSAAsyncSelect(created, GetWindowHandle(), kMsgSocketEvent, m_EventMask) != 0) {
        return FailConnectNow(WSAGetLastError(), true);
    }
    if (connect(created, reinterpret_cast<const sockaddr*>(&m_RemoteAddress), m_RemoteLength) !=
        0) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            return FailConnectNow(error, true);
        }
    }
    return true;
}

bool BaseSocket::FailConnectNow(int error, bool closeFirst) {
    if (closeFirst) {
        Close();
    }
    if (HasMoreAddresses()) {
        SocketTrace("%T: Connect failed with error %d; trying the next address\n", error);
        return ConnectToNextAddress();
    }
    OnConnect(error);
    // The caller of Connect tells an immediate failure from a pending connect by the last
    // error, which the handlers above may have overwritten.
    WSASetLastError(error);
    return false;
}

void BaseSocket::OnSocketEvent(SOCKET socket, int event, int error) {
    if (socket != m_hSocket) {
        // A socket this object closed earlier. Its number is not closed again: Windows may
        // already have given it to another connection's socket.
        return;
    }
    switch (event) {
        case FD_WRITE:
            if (!m_TlsOutbox.empty() && !FlushTlsOutput() && !m_Tls.IsEstablished()) {
                FailTls("sending the TLS handshake failed");
                break;
            }
            OnSend(error);
            break;
        case FD_ACCEPT:
            OnAccept(error);
            break;
        case FD_CLOSE:
            if (HeldByteCount() > 0) {
                // The peer said its last words before closing; they must be read first.
                HoldClose(error);
            } else if (m_Tls.IsActive() && !m_Tls.IsEstablished()) {
                FailTls("the server closed the connection during the TLS handshake");
            } else if (IsProxyNegotiating()) {
                // The proxy hung up before opening the tunnel. The derived class waits for the
                // outcome of its connect, not for a close: end the attempt there.
                AbandonProxyAttempt(kOwnFailure,
                                    "the proxy closed the connection during the handshake");
            } else {
                OnClose(error);
            }
            break;
        case FD_CONNECT:
            OnConnectEvent(error);
            break;
        case FD_READ:
            OnReadEvent(error);
            break;
        default:
            break;
    }
}

void BaseSocket::OnConnectEvent(int error) {
    if (!m_bUseProxy && error == 0 && m_TlsOptions.enabled) {
        StartTls();
        return;
    }
    if (error != 0 && HasMoreAddresses()) {
        SocketTrace("%T: %d Connect failed with error %d; trying the next address\n",
                    static_cast<int>(m_hSocket), error);
        Close();
        ConnectToNextAddress();
        return;
    }
    if (!m_bUseProxy || error != 0) {
        OnConnect(error);
        return;
    }
    StartHandshakeClock();
    if (!m_Proxy.OnConnect()) {
        AbandonProxyAttempt(kOwnFailure);
        return;
    }
    SendProxyOutput(false);
}

void BaseSocket::OnReadEvent(int error) {
    u_long available = 0;
    if (!IOCtl(FIONREAD, &available)) {
        error = WSAGetLastError();
    }
    if (available == 0 && error == 0) {
        return;
    }
    if (error == 0 && m_Tls.IsActive() && !m_Tls.IsEstablished()) {
        ReadTlsHandshake();
        return;
    }
    const bool negotiating = IsProxyNegotiating();
    if (error == 0 && negotiating) {
        NegotiateWithProxy();
        return;
    }
    if (m_bUseProxy) {
        SocketTrace("%T: %d Sending %d bytes to DUZid socket\n", static_cast<int>(m_hSocket),
                    static_cast<int>(available));
    }
    const SOCKET current = m_hSocket;
    OnReceive(error);
    // An error during the handshake ends it; without an outcome the connect would wait forever.
    if (negotiating && current == m_hSocket && IsProxyNegotiating()) {
        AbandonProxyAttempt(error,
                            std::string("reading from the proxy failed: ") + GetErrorText(error));
    }
}

void BaseSocket::NegotiateWithProxy() {
    char block[kProxyReadSize];
    const int count = recv(m_hSocket, block, kProxyReadSize, 0);
    if (count == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        const SOCKET current = m_hSocket;
        OnReceive(error);
        if (current == m_hSocket && IsProxyNegotiating()) {
            AbandonProxyAttempt(
                error, std::string("reading from the proxy failed: ") + GetErrorText(error));
        }
        return;
    }
    RearmQuickAck();
    SocketTrace("%T: %d Sending %d bytes to SOCKS5 class\n", static_cast<int>(m_hSocket), count);
    if (!m_Proxy.OnRecieve(block, count)) {
        SocketTrace("BaseSocket::OnReceive: Proxy failed\n");
        AbandonProxyAttempt(kOwnFailure);
        return;
    }
    if (m_Proxy.PendingLength() > 0) {
        SocketTrace("BaseSocket::OnReceive: Sending proxy response.\n");
        if (!SendProxyOutput(true)) {
            return;
        }
    }
    if (!m_Proxy.IsConnected()) {
        SocketTrace("BaseSocket: Proxy is not connected yet\n");
        return;
    }
    SocketTrace("BaseSocket: Proxy is connected. Triggering OnConnect(0)\n");
    KeepTunnelBytes(block);
    if (m_TlsOptions.enabled) {
        StartTls();  // inside the tunnel; the server's first bytes are TLS
        return;
    }
    StopHandshakeClock();
    const SOCKET tunnel = m_hSocket;
    OnConnect(0);
    // The server may have spoken already (its greeting came with the proxy's reply); announce
    // those bytes the ordinary way, so the derived class reads them through Receive. Posted,
    // not called: the window may be gone, or the socket replaced, by the time it arrives.
    if (tunnel == m_hSocket) {
        AnnounceTunnelBytes();
    }
}

void BaseSocket::AnnounceTunnelBytes() {
    if (m_TunnelBytesEnd > m_TunnelBytesStart) {
        AnnounceHeldBytes();
    }
}

void BaseSocket::AnnounceHeldBytes() {
    if (GetWindowHandle() != nullptr && m_hSocket != INVALID_SOCKET) {
        PostMessageA(GetWindowHandle(), kMsgSocketEvent, static_cast<WPARAM>(m_hSocket),
                     MAKELONG(static_cast<WORD>(FD_READ), 0));
    }
}

bool BaseSocket::IsProxyNegotiating() const {
    return m_bUseProxy && m_hSocket != INVALID_SOCKET && m_Proxy.IsNegotiating();
}

// Every failure of the handshake is reported once: afterwards the proxy no longer counts as
// negotiating, so a close that follows is an ordinary close.
void BaseSocket::AbandonProxyAttempt(int error, const std::string& reason) {
    m_ConnectFailureReason = m_Proxy.FailureReason().empty() ? reason : m_Proxy.FailureReason();
    m_Proxy.Abandon();
    StopHandshakeClock();
    OnConnect(error);
}

int BaseSocket::HeldByteCount() const {
    return m_TunnelBytesEnd - m_TunnelBytesStart + (m_Tls.IsEstablished() ? m_Tls.HeldCount() : 0);
}

void BaseSocket::HoldClose(int error) {
    m_bCloseHeld = true;
    m_HeldCloseError = error;
}

// Called once the held bytes are all taken: the close follows them, as it follows the last
// data read from a plain socket. Posted, so the derived class finishes its read first.
void BaseSocket::ReleaseHeldClose() {
    if (!m_bCloseHeld || HeldByteCount() > 0) {
        return;
    }
    PostHeldClose();
}

// Nothing more will come out of what is held (or the rest cannot be used): the held close
// follows now.
void BaseSocket::PostHeldClose() {
    if (!m_bCloseHeld) {
        return;
    }
    m_bCloseHeld = false;
    if (GetWindowHandle() != nullptr && m_hSocket != INVALID_SOCKET) {
        PostMessageA(GetWindowHandle(), kMsgSocketEvent, static_cast<WPARAM>(m_hSocket),
                     MAKELONG(static_cast<WORD>(FD_CLOSE), static_cast<WORD>(m_HeldCloseError)));
    }
}

void BaseSocket::StartHandshakeClock() {
    // Once per attempt, between the TCP connect and the handshake's outcome.
    ZODIVA_ASSERT(!m_bHandshakeClock && m_hSocket != INVALID_SOCKET);
    m_bHandshakeClock = true;
    m_HandshakeStart = platform::CurrentFileTimeStamp();
    if (GetWindowHandle() != nullptr) {
        SetTimer(GetWindowHandle(), kHandshakeTimerId, m_HandshakeCheckMilliseconds,
                 &BaseSocket::HandshakeTimerProc);
    }
}

void BaseSocket::StopHandshakeClock() {
    if (!m_bHandshakeClock) {
        return;
    }
    m_bHandshakeClock = false;
    if (GetWindowHandle() != nullptr) {
        KillTimer(GetWindowHandle(), kHandshakeTimerId);
    }
}

void CALLBACK BaseSocket::HandshakeTimerProc(HWND hwnd, UINT, UINT_PTR id, DWORD) {
    auto* owner = reinterpret_cast<HiddenWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    auto* socket = dynamic_cast<BaseSocket*>(owner);
    if (socket != nullptr && id == kHandshakeTimerId) {
        socket->OnHandshakeCheck();
    }
}

// A peer that accepted the connection and then stopped answering half-way through the
// handshake would otherwise hold the attempt for ever: nothing else waits on this state.
void BaseSocket::OnHandshakeCheck() {
    if (!m_bHandshakeClock) {
        return;
    }
    const std::int64_t seconds = platform::WholeSecondsSince(m_HandshakeStart);
    if (seconds <= m_HandshakeTimeoutSeconds) {
        return;
    }
    SocketTrace("%T: %d Handshake timed out after %d seconds\n", static_cast<int>(m_hSocket),
                static_cast<int>(seconds));
    ErrorLogPrintf("%T: Connection handshake with \"%s\" timed out.\n", m_Host.c_str());
    if (IsProxyNegotiating()) {
        AbandonProxyAttempt(kOwnFailure, "the proxy did not finish its handshake within " +
                                             std::to_string(m_HandshakeTimeoutSeconds) +
                                             " seconds");
    } else if (m_Tls.IsActive() && !m_Tls.IsEstablished()) {
        FailTls("the TLS handshake timed out");
    } else {
        StopHandshakeClock();
        m_ConnectFailureReason = "the handshake did not finish within " +
                                 std::to_string(m_HandshakeTimeoutSeconds) + " seconds";
        OnConnect(kOwnFailure);
    }
}

void BaseSocket::KeepTunnelBytes(const char* block) {
    const int count = m_Proxy.TrailingCount();
    m_TunnelBytesStart = 0;
    m_TunnelBytesEnd = 0;
    if (count > 0) {
        std::memcpy(m_TunnelBytes, block + m_Proxy.TrailingOffset(), static_cast<size_t>(count));
        m_TunnelBytesEnd = count;
    }
}

bool BaseSocket::SendProxyOutput(bool traceFailure) {
    int length = 0;
    const char* request = m_Proxy.TakeOutput(&length);
    if (length == 0) {
        return true;
    }
    if (send(m_hSocket, request, length, 0) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (traceFailure) {
            SocketTrace("BaseSocket::OnReceive: Proxy send failed with error %d.\n", error);
        }
        AbandonProxyAttempt(error,
                            std::string("sending to the proxy failed: ") + GetErrorText(error));
        return false;
    }
    return true;
}

int BaseSocket::Receive(void* buffer, int length, int flags) {
    if (m_Tls.IsEstablished()) {
        return ReceiveTls(static_cast<char*>(buffer), length);
    }
    if (m_TunnelBytesEnd > m_TunnelBytesStart && length > 0) {
        const int count = std::min(length, m_TunnelBytesEnd - m_TunnelBytesStart);
        std::memcpy(buffer, m_TunnelBytes + m_TunnelBytesStart, static_cast<size_t>(count));
        m_TunnelBytesStart += count;
        if (m_TunnelBytesStart == m_TunnelBytesEnd) {
            m_TunnelBytesStart = m_TunnelBytesEnd = 0;
            ReleaseHeldClose();
        } else {
            AnnounceTunnelBytes();  // no socket read happened, so no new FD_READ would come
        }
        return count;
    }
    const int result = recv(m_hSocket, static_cast<char*>(buffer), length, flags);
    // A short read drained the socket: the server may now be holding back its next piece
    // until this one is acknowledged. A full read means more is queued and ACKs flow anyway.
    if (result > 0 && result < length) {
        RearmQuickAck();
    }
    return result;
}

int BaseSocket::Send(const void* data, int length, int flags) {
    if (m_Tls.IsEstablished()) {
        return SendTls(static_cast<const char*>(data), length);
    }
    return send(m_hSocket, static_cast<const char*>(data), length, flags);
}

bool BaseSocket::IOCtl(long command, u_long* argument) {
    if (ioctlsocket(m_hSocket, command, argument) == SOCKET_ERROR) {
        return false;
    }
    if (command == static_cast<long>(FIONREAD) && argument != nullptr) {
        *argument += static_cast<u_long>(HeldByteCount());
    }
    return true;
}

// Both options only tune the connection, which works without them: their results are not
// looked at.
void BaseSocket::ApplyStreamOptions(SOCKET socket, bool askReceiveBuffer) {
    if (askReceiveBuffer) {
        const int size = kReceiveBufferOption;
        setsockopt(socket, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&size),
                   sizeof size);
    }
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// Only a hint (Linux alone knows the option, and it may be refused on a closing socket): its
// result is not looked at.
void BaseSocket::RearmQuickAck() {
    const int on = 1;
    setsockopt(m_hSocket, IPPROTO_TCP, TCP_QUICKACK, reinterpret_cast<const char*>(&on), sizeof on);
}

void BaseSocket::SetRemoteAddress(unsigned long networkAddress) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(m_ConnectPort));
    address.sin_addr.s_addr = static_cast<std::uint32_t>(networkAddress);
    m_RemoteAddress = {};
    std::memcpy(&m_RemoteAddress, &address, sizeof address);
    m_RemoteLength = sizeof address;
}

void BaseSocket::SetRemoteAddress6(const in6_addr& networkAddress) {
    sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<u_short>(m_ConnectPort));
    address.sin6_addr = networkAddress;
    m_RemoteAddress = {};
    std::memcpy(&m_RemoteAddress, &address, sizeof address);
    m_RemoteLength = sizeof address;
}

// --- TLS ---------------------------------------------------------------------------------

void BaseSocket::ReadTlsSettings() {
    if (m_pTransportSettings == nullptr) {
        return;
    }
    m_TlsOptions.enabled = m_pTransportSettings->GetInt("news_ssl", 0) != 0;
    m_TlsOptions.verify = m_pTransportSettings->GetInt("news_sslverify", 1) != 0;
    m_TlsOptions.caFile = m_pTransportSettings->GetString("news_sslca", "");
}

void BaseSocket::StartTls() {
    if (!m_bHandshakeClock) {
        StartHandshakeClock();
    }
    SocketTrace("%T: %d Starting TLS handshake with \"%s\"\n", static_cast<int>(m_hSocket),
                m_Host.c_str());
    if (!m_Tls.Begin(m_Host, m_TlsOptions)) {
        FailTls(m_Tls.Reason());
        return;
    }
    // Bytes that came with the proxy's final reply are the server's first TLS bytes.
    m_Tls.Feed(m_TunnelBytes + m_TunnelBytesStart, m_TunnelBytesEnd - m_TunnelBytesStart);
    m_TunnelBytesStart = m_TunnelBytesEnd = 0;
    ContinueTls();
}

void BaseSocket::ContinueTls() {
    const TlsSession::Progress progress = m_Tls.Handshake();
    if (!FlushTlsOutput()) {
        FailTls("sending the TLS handshake failed with error " +
                std::to_string(WSAGetLastError()));
        return;
    }
    switch (progress) {
        case TlsSession::Progress::Done:
            FinishTls();
            return;
        case TlsSession::Progress::Failed:
            FailTls(m_Tls.Reason());
            return;
        case TlsSession::Progress::NeedsPeer:
            SocketTrace("%T: %d TLS handshake waits for the server\n", static_cast<int>(m_hSocket));
            return;
    }
}

void BaseSocket::ReadTlsHandshake() {
    char block[kTlsReadSize];
    const int count = recv(m_hSocket, block, sizeof block, 0);
    if (count == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            FailTls("reading the TLS handshake failed with error " + std::to_string(error));
        }
        return;
    }
    if (count == 0) {
        FailTls("the server closed the connection during the TLS handshake");
        return;
    }
    RearmQuickAck();
    SocketTrace("%T: %d Read %d bytes of TLS handshake\n", static_cast<int>(m_hSocket), count);
    m_Tls.Feed(block, count);
    ContinueTls();
}

void BaseSocket::FinishTls() {
    StopHandshakeClock();
    // Always written: protocol and cipher decide the speed of everything that follows.
    DebugLogPrintf("%T: BaseSocket(%d): TLS with \"%s\" port %d: %s%s\n",
                   static_cast<int>(m_hSocket), m_Host.c_str(), m_Port,
                   m_Tls.Description().c_str(),
                   m_TlsOptions.verify ? "" : " (certificate not checked)");
    if (!m_TlsOptions.verify) {
        OnTransportStatus("TLS to \"" + m_Host + "\" without certificate checks (news_sslverify 0).");
    }
    const SOCKET current = m_hSocket;
    OnConnect(0);
    // The server's greeting may have come with its last handshake bytes.
    if (current == m_hSocket && m_Tls.IsEstablished() && m_Tls.HoldsInput()) {
        AnnounceHeldBytes();
    }
}

void BaseSocket::FailTls(const std::string& reason) {
    SocketTrace("%T: %d TLS handshake failed: %s\n", static_cast<int>(m_hSocket), reason.c_str());
    ErrorLogPrintf("%T: TLS handshake with \"%s\" port %d failed: %s\n", m_Host.c_str(), m_Port,
                   reason.c_str());
    m_Tls.End();
    m_TlsOutbox.clear();
    m_bTlsFailed = true;
    m_ConnectFailureReason = "TLS handshake failed: " + reason;
    StopHandshakeClock();
    OnTransportStatus("TLS handshake with \"" + m_Host + "\" failed: " + reason);
    OnConnect(kOwnFailure);
}

// Sends what the session produced. True when everything went out or the rest waits for
// FD_WRITE; false on a socket error.
bool BaseSocket::FlushTlsOutput() {
    m_Tls.TakeOutput(&m_TlsOutbox);
    while (!m_TlsOutbox.empty()) {
        const int sent = send(m_hSocket, m_TlsOutbox.data(), static_cast<int>(m_TlsOutbox.size()), 0);
        if (sent == SOCKET_ERROR) {
            return WSAGetLastError() == WSAEWOULDBLOCK;
        }
        if (!m_Tls.IsEstablished()) {
            SocketTrace("%T: %d Sent %d bytes of TLS handshake\n", static_cast<int>(m_hSocket), sent);
        }
        m_TlsOutbox.erase(0, static_cast<size_t>(sent));
    }
    return true;
}

// One call gives at most one record's worth. What the session still holds afterwards is
// announced with a read notification of its own: the socket may have nothing more to say.
int BaseSocket::ReceiveTls(char* buffer, int length) {
    for (;;) {
        const int count = m_Tls.Read(buffer, length);
        if (count > 0) {
            if (m_Tls.HoldsInput()) {
                AnnounceHeldBytes();
            } else if (m_bCloseHeld) {
                ReleaseHeldClose();
            }
            return count;
        }
        if (count == 0) {
            PostHeldClose();
            return 0;  // the server ended the session
        }
        if (count == TlsSession::kBroken) {
            PostHeldClose();
            ErrorLogPrintf("%T: TLS session with \"%s\" broken: %s\n", m_Host.c_str(),
                           m_Tls.Reason().c_str());
            WSASetLastError(WSAECONNABORTED);
            return SOCKET_ERROR;
        }
        char block[kTlsReadSize];
        const int read = recv(m_hSocket, block, sizeof block, 0);
        if (read <= 0) {
            PostHeldClose();
            return read;  // 0: closed without ending the session; else the socket's error
        }
        if (read < static_cast<int>(sizeof block)) {
            RearmQuickAck();
        }
        m_Tls.Feed(block, read);
    }
}

int BaseSocket::SendTls(const char* data, int length) {
    if (!m_Tls.Write(data, length)) {
        ErrorLogPrintf("%T: TLS session with \"%s\" broken: %s\n", m_Host.c_str(),
                       m_Tls.Reason().c_str());
        WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    if (!FlushTlsOutput()) {
        return SOCKET_ERROR;
    }
    return length;
}
