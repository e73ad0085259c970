#include "net/ProxyStage.h"

#include "net/SocketTrace.h"
#include "support/ErrorText.h"

void ProxyStage::Configure(const std::string& host, int port, const std::string& user,
                           const std::string& password) {
    m_socks.SetInfo(host, port, user, password);
    m_state = State::kWaitingForConnect;
}

// The proxy's own reply never carries bytes for a stage before it, so early is empty here.
void ProxyStage::Begin(const char*, int) {
    m_state = State::kNegotiating;
    if (!m_socks.OnConnect()) {
        Fail(StageLink::kOwnFailure);
        return;
    }
    SendRequest(false);
}

// Waiting for the TCP connect counts: a proxy that hangs up before it is an attempt that
// failed, which the derived class waits to hear through OnConnect, not a close.
bool ProxyStage::IsRunning() const {
    return m_state == State::kWaitingForConnect || m_state == State::kNegotiating;
}

void ProxyStage::OnReadable() {
    const SOCKET socket = Link().Socket();
    char block[kReadSize];
    const int count = recv(socket, block, kReadSize, 0);
    if (count == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (Link().PassReadError(error)) {
            OnReadError(error);
        }
        return;
    }
    RearmQuickAck(socket);
    SocketTrace("%T: %d Sending %d bytes to SOCKS5 class\n", static_cast<int>(socket), count);
    if (!m_socks.OnRecieve(block, count)) {
        SocketTrace("BaseSocket::OnReceive: Proxy failed\n");
        Fail(StageLink::kOwnFailure);
        return;
    }
    if (m_socks.PendingLength() > 0) {
        SocketTrace("BaseSocket::OnReceive: Sending proxy response.\n");
        if (!SendRequest(true)) {
            return;
        }
    }
    if (!m_socks.IsConnected()) {
        SocketTrace("BaseSocket: Proxy is not connected yet\n");
        return;
    }
    SocketTrace("BaseSocket: Proxy is connected. Triggering OnConnect(0)\n");
    m_state = State::kOpen;
    // A fast server's first bytes may have come in the same read as the proxy's reply.
    Link().StageOpened(block + m_socks.TrailingOffset(), m_socks.TrailingCount());
}

// An error during the handshake ends it; without an outcome the connect would wait for ever.
void ProxyStage::OnReadError(int error) {
    if (IsRunning()) {
        Fail(error, std::string("reading from the proxy failed: ") + GetErrorText(error));
    }
}

void ProxyStage::OnPeerClosed() {
    Fail(StageLink::kOwnFailure, "the proxy closed the connection during the handshake");
}

void ProxyStage::OnTimedOut(int limitSeconds) {
    Fail(StageLink::kOwnFailure, "the proxy did not finish its handshake within " +
                                     std::to_string(limitSeconds) + " seconds");
}

void ProxyStage::Reset() {
    m_state = State::kWaitingForConnect;
}

bool ProxyStage::SendRequest(bool traceFailure) {
    int length = 0;
    const char* request = m_socks.TakeOutput(&length);
    if (length == 0) {
        return true;
    }
    if (send(Link().Socket(), request, length, 0) == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (traceFailure) {
            SocketTrace("BaseSocket::OnReceive: Proxy send failed with error %d.\n", error);
        }
        Fail(error, std::string("sending to the proxy failed: ") + GetErrorText(error));
        return false;
    }
    return true;
}

// Every failure of the handshake is reported once: afterwards the stage no longer runs, so a
// close that follows is an ordinary close.
void ProxyStage::Fail(int error, const std::string& reason) {
    const std::string why = m_socks.FailureReason().empty() ? reason : m_socks.FailureReason();
    m_socks.Abandon();
    m_state = State::kFailed;
    Link().StageFailed(error, why);
}
