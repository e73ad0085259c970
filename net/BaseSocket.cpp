#include "net/BaseSocket.h"

#include "net/SocketTrace.h"

namespace {

const char* const kSocketClassLabel = "DUZidSocketWindow";
const char* const kSocketWindowName = "DUZid";

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
    return ResetTransport();
}

// The one way back to "no socket", for Close and for every new dial: the lookup is cancelled,
// the clock stopped, every stage forgets its progress, the socket is closed and whatever is
// still queued for it dropped. What the attempt was configured with stays (the proxy, TLS, the
// address list): the next address of the same attempt is dialled after a reset, and the
// derived class asks after Close why the attempt failed.
int BaseSocket::ResetTransport() {
    ++m_generation;
    m_connector.Reset(GetWindowHandle());
    m_chainPosition = 0;
    m_proxy.Reset();
    m_tls.Reset();
    m_stream.Reset();
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
    if (m_hSocket != INVALID_SOCKET || m_connector.IsLookupPending()) {
        BaseSocket::Close();
    }
    m_host = host;
    m_port = localPort;
    m_socketType = socketType;
    m_eventMask = eventMask;
    const SOCKET created = socket(AF_INET, socketType, 0);
    if (created == INVALID_SOCKET) {
        return false;
    }
    ++m_generation;
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

// Configures the chain for the attempt: the proxy stage when a proxy is given, the TLS stage
// when TLS is on; then dials, at once for an address, after the lookup for a name.
bool BaseSocket::Connect(const std::string& host, int port, const std::string& proxyAddress,
                         int proxyPort, const std::string& proxyUser,
                         const std::string& proxyPassword) {
    // Only the newest attempt may report: an older lookup must not dial when it completes.
    m_connector.CancelLookup();
    m_host = WithoutBrackets(host);
    m_port = port;
    m_connectFailureReason.clear();
    m_chainLength = 0;
    m_chainPosition = 0;
    std::string machine;
    if (!proxyAddress.empty()) {
        m_bUseProxy = true;
        machine = proxyAddress;
        m_connector.Prepare(proxyPort);
        m_proxy.Configure(m_host, port, proxyUser, proxyPassword);
        m_chain[m_chainLength++] = &m_proxy;
    } else {
        m_bUseProxy = false;
        machine = m_host;
        m_connector.Prepare(port);
    }
    if (m_tls.Configure()) {
        m_chain[m_chainLength++] = &m_tls;
    }
    machine = WithoutBrackets(machine);
    if (m_connector.UseLiteral(machine)) {
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

bool BaseSocket::StartLookup(const std::string& name) {
    return m_connector.StartLookup(GetWindowHandle(), kMsgLookupDone, name);
}

void BaseSocket::OnLookupDone(WPARAM taskHandle, LPARAM lParam) {
    if (!m_connector.TakeLookup(reinterpret_cast<HANDLE>(taskHandle))) {
        return;  // cancelled, or replaced by a newer attempt
    }
    const int error = HighWordError(lParam);
    if (error != 0) {
        ReportConnect(error);
        return;
    }
    ConnectToAddresses(m_connector.Found());
}

bool BaseSocket::ConnectToAddresses(const platform::HostAddressList& list) {
    m_connector.UseAddresses(list);
    if (!m_connector.HasAddresses()) {
        ReportConnect(kOwnFailure);
        return false;
    }
    return ConnectToNextAddress();
}

bool BaseSocket::ConnectToNextAddress() {
    m_connector.TakeNextAddress();
    return ConnectNow();
}

bool BaseSocket::ConnectNow() {
    ResetTransport();
    m_connector.MarkDialling();
    const SOCKET created = socket(m_connector.Family(), m_socketType, 0);
    if (created == INVALID_SOCKET) {
        return FailConnectNow(WSAGetLastError(), false);
    }
    m_hSocket = created;
    // No SO_RCVBUF here: a fixed small buffer would switch off the kernel's receive-window
    // tuning and cap the throughput of the connection that carries the articles.
    ApplyStreamOptions(created, false);
    if (WSAAsyncSelect(created, GetWindowHandle(), kMsgSocketEvent, m_eventMask) != 0) {
        return FailConnectNow(WSAGetLastError(), true);
    }
    if (connect(created, m_connector.Remote(), m_connector.RemoteLength()) != 0) {
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
    m_connector.DialEnded();
    if (m_connector.HasMoreAddresses()) {
        SocketTrace("%T: Connect failed with error %d; trying the next address\n", error);
        return ConnectToNextAddress();
    }
    ReportConnect(error);
    // The caller of Connect tells an immediate failure from a pending connect by the last
    // error, which the handlers above may have overwritten.
    WSASetLastError(error);
    return false;
}

// --- events ------------------------------------------------------------------------------

void BaseSocket::OnSocketEvent(SOCKET socket, int event, int error) {
    if (socket != m_hSocket) {
        // A socket this object closed earlier. Its number is not closed again: Windows may
        // already have given it to another connection's socket.
        return;
    }
    switch (event) {
        case FD_WRITE:
            OnWriteEvent(error);
            break;
        case FD_ACCEPT:
            OnAccept(error);
            break;
        case FD_CLOSE:
            OnCloseEvent(error);
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

HandshakeStage* BaseSocket::RunningHandshake() const {
    if (m_chainPosition >= m_chainLength || !m_chain[m_chainPosition]->IsRunning()) {
        return nullptr;
    }
    return m_chain[m_chainPosition];
}

void BaseSocket::OnWriteEvent(int error) {
    // Ciphertext the socket would not take earlier goes first.
    if (!m_tls.OnWritable()) {
        return;
    }
    OnSend(error);
}

void BaseSocket::OnCloseEvent(int error) {
    if (m_stream.HeldCount() > 0) {
        // The peer said its last words before closing; they must be read first.
        m_stream.HoldClose(error);
    } else if (HandshakeStage* running = RunningHandshake()) {
        // The derived class waits for the outcome of its connect, not for a close: the
        // handshake ends the attempt.
        running->OnPeerClosed();
    } else {
        OnClose(error);
    }
}

void BaseSocket::OnConnectEvent(int error) {
    m_connector.DialEnded();
    if (error != 0) {
        if (m_connector.HasMoreAddresses()) {
            SocketTrace("%T: %d Connect failed with error %d; trying the next address\n",
                        static_cast<int>(m_hSocket), error);
            Close();
            ConnectToNextAddress();
            return;
        }
        ReportConnect(error);
        return;
    }
    if (m_chainLength == 0) {
        ReportConnect(0);
        return;
    }
    m_connector.StartClock(GetWindowHandle(), &BaseSocket::HandshakeTimerProc);
    m_chain[0]->Begin(nullptr, 0);
}

void BaseSocket::OnReadEvent(int error) {
    u_long available = 0;
    if (!IOCtl(FIONREAD, &available)) {
        error = WSAGetLastError();
    }
    if (available == 0 && error == 0) {
        return;
    }
    HandshakeStage* running = RunningHandshake();
    if (error == 0 && running != nullptr) {
        running->OnReadable();
        return;
    }
    if (m_bUseProxy) {
        SocketTrace("%T: %d Sending %d bytes to DUZid socket\n", static_cast<int>(m_hSocket),
                    static_cast<int>(available));
    }
    if (ReportReceive(error) && running != nullptr) {
        running->OnReadError(error);
    }
}

// The stage that ran is done: the next one begins with what was read past it, or, after the
// last, the derived class hears that the connection stands.
void BaseSocket::OnStageOpened(const char* early, int count) {
    ++m_chainPosition;
    if (m_chainPosition < m_chainLength) {
        m_chain[m_chainPosition]->Begin(early, count);
        return;
    }
    m_connector.StopClock(GetWindowHandle());
    m_stream.Keep(early, count);
    // The server may have spoken already (its greeting came with the last handshake bytes):
    // announce those bytes the ordinary way, so the derived class reads them through Receive.
    if (ReportConnect(0)) {
        m_stream.AnnounceHeld();
    }
}

void BaseSocket::OnStageFailed(int error, const std::string& reason) {
    m_connectFailureReason = reason;
    m_connector.StopClock(GetWindowHandle());
    ReportConnect(error);
}

// The derived class may close the connection, or start another, from inside any of its
// handlers; whatever was under way for the old one must then stop. This is the one place that
// tells: every call into the derived class that is followed by more work goes through it.
template <typename Call>
bool BaseSocket::StillCurrentAfter(Call call) {
    const unsigned generation = m_generation;
    call();
    return generation == m_generation;
}

bool BaseSocket::ReportConnect(int error) {
    return StillCurrentAfter([&] { OnConnect(error); });
}

bool BaseSocket::ReportReceive(int error) {
    return StillCurrentAfter([&] { OnReceive(error); });
}

void CALLBACK BaseSocket::HandshakeTimerProc(HWND hwnd, UINT, UINT_PTR id, DWORD) {
    auto* owner = reinterpret_cast<HiddenWindow*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    auto* socket = dynamic_cast<BaseSocket*>(owner);
    if (socket != nullptr && id == Connector::kClockTimerId) {
        socket->OnHandshakeCheck();
    }
}

// A peer that accepted the connection and then stopped answering half-way through the
// handshake would otherwise hold the attempt for ever: nothing else waits on this state.
void BaseSocket::OnHandshakeCheck() {
    std::int64_t seconds = 0;
    if (!m_connector.IsOverdue(&seconds)) {
        return;
    }
    SocketTrace("%T: %d Handshake timed out after %d seconds\n", static_cast<int>(m_hSocket),
                static_cast<int>(seconds));
    ErrorLogPrintf("%T: Connection handshake with \"%s\" timed out.\n", m_host.c_str());
    if (HandshakeStage* running = RunningHandshake()) {
        running->OnTimedOut(m_connector.Timeout());
        return;
    }
    OnStageFailed(kOwnFailure, "the handshake did not finish within " +
                                   std::to_string(m_connector.Timeout()) + " seconds");
}

// --- the derived class's reads and writes -------------------------------------------------

int BaseSocket::Receive(void* buffer, int length, int flags) {
    return m_stream.Receive(buffer, length, flags);
}

int BaseSocket::Send(const void* data, int length, int flags) {
    return m_stream.Send(data, length, flags);
}

bool BaseSocket::IOCtl(long command, u_long* argument) {
    return m_stream.IOCtl(command, argument);
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

// --- what the stages may use --------------------------------------------------------------

void BaseSocket::Link::PostSocketEvent(int event, int error) {
    const HWND window = m_owner.GetWindowHandle();
    if (window != nullptr && m_owner.m_hSocket != INVALID_SOCKET) {
        PostMessageA(window, kMsgSocketEvent, static_cast<WPARAM>(m_owner.m_hSocket),
                     MAKELONG(static_cast<WORD>(event), static_cast<WORD>(error)));
    }
}

void BaseSocket::Link::StageOpened(const char* early, int count) {
    m_owner.OnStageOpened(early, count);
}

void BaseSocket::Link::StageFailed(int error, const std::string& reason) {
    m_owner.OnStageFailed(error, reason);
}

void BaseSocket::Link::TransportStatus(const std::string& text) {
    m_owner.OnTransportStatus(text);
}

bool BaseSocket::Link::PassReadError(int error) {
    return m_owner.ReportReceive(error);
}
