#include "net/TlsStage.h"

#include "net/SocketTrace.h"
#include "support/SettingsStore.h"

bool TlsStage::Configure() {
    if (m_pSettings != nullptr) {
        m_options.enabled = m_pSettings->GetInt(keys::kNewsSsl) != 0;
        m_options.verify = m_pSettings->GetInt(keys::kNewsSslVerify) != 0;
        m_options.caFile = m_pSettings->GetString(keys::kNewsSslCa);
    }
    if (m_state == State::kFailed) {
        m_state = State::kIdle;
    }
    return m_options.enabled;
}

// early: bytes that came with the proxy's final reply, the server's first TLS bytes.
void TlsStage::Begin(const char* early, int count) {
    SocketTrace("%T: %d Starting TLS handshake with \"%s\"\n", static_cast<int>(Link().Socket()),
                Link().Host().c_str());
    if (!m_session.Begin(Link().Host(), m_options)) {
        Fail(m_session.Reason());
        return;
    }
    m_state = State::kHandshaking;
    if (count > 0) {
        m_session.Feed(early, count);
    }
    Continue();
}

void TlsStage::OnReadable() {
    const SOCKET socket = Link().Socket();
    char block[kReadSize];
    const int count = recv(socket, block, sizeof block, 0);
    if (count == SOCKET_ERROR) {
        const int error = WSAGetLastError();
        if (error != WSAEWOULDBLOCK) {
            Fail("reading the TLS handshake failed with error " + std::to_string(error));
        }
        return;
    }
    if (count == 0) {
        Fail("the server closed the connection during the TLS handshake");
        return;
    }
    RearmQuickAck(socket);
    SocketTrace("%T: %d Read %d bytes of TLS handshake\n", static_cast<int>(socket), count);
    m_session.Feed(block, count);
    Continue();
}

void TlsStage::OnPeerClosed() {
    Fail("the server closed the connection during the TLS handshake");
}

void TlsStage::OnTimedOut(int) {
    Fail("the TLS handshake timed out");
}

// A failure stays readable until the next attempt: the derived class asks why after Close.
void TlsStage::Reset() {
    m_session.End();
    m_outbox.clear();
    if (m_state != State::kFailed) {
        m_state = State::kIdle;
    }
}

void TlsStage::Continue() {
    const TlsSession::Progress progress = m_session.Handshake();
    if (!Flush()) {
        Fail("sending the TLS handshake failed with error " + std::to_string(WSAGetLastError()));
        return;
    }
    switch (progress) {
        case TlsSession::Progress::Done:
            Finish();
            return;
        case TlsSession::Progress::Failed:
            Fail(m_session.Reason());
            return;
        case TlsSession::Progress::NeedsPeer:
            SocketTrace("%T: %d TLS handshake waits for the server\n",
                        static_cast<int>(Link().Socket()));
            return;
    }
}

void TlsStage::Finish() {
    m_state = State::kEstablished;
    // Always written: protocol and cipher decide the speed of everything that follows.
    DebugLogPrintf("%T: BaseSocket(%d): TLS with \"%s\" port %d: %s%s\n",
                   static_cast<int>(Link().Socket()), Link().Host().c_str(), Link().Port(),
                   m_session.Description().c_str(),
                   m_options.verify ? "" : " (certificate not checked)");
    if (!m_options.verify) {
        Link().TransportStatus("TLS to \"" + Link().Host() +
                               "\" without certificate checks (news_sslverify 0).");
    }
    // The server's greeting may have come with its last handshake bytes: the session holds
    // them, and the stream announces them.
    Link().StageOpened(nullptr, 0);
}

void TlsStage::Fail(const std::string& reason) {
    SocketTrace("%T: %d TLS handshake failed: %s\n", static_cast<int>(Link().Socket()),
                reason.c_str());
    ErrorLogPrintf("%T: TLS handshake with \"%s\" port %d failed: %s\n", Link().Host().c_str(),
                   Link().Port(), reason.c_str());
    m_session.End();
    m_outbox.clear();
    m_state = State::kFailed;
    Link().TransportStatus("TLS handshake with \"" + Link().Host() + "\" failed: " + reason);
    Link().StageFailed(StageLink::kOwnFailure, "TLS handshake failed: " + reason);
}

bool TlsStage::OnWritable() {
    if (m_outbox.empty() || Flush() || IsEstablished()) {
        return true;
    }
    Fail("sending the TLS handshake failed");
    return false;
}

bool TlsStage::Flush() {
    m_session.TakeOutput(&m_outbox);
    const SOCKET socket = Link().Socket();
    while (!m_outbox.empty()) {
        const int sent = send(socket, m_outbox.data(), static_cast<int>(m_outbox.size()), 0);
        if (sent == SOCKET_ERROR) {
            return WSAGetLastError() == WSAEWOULDBLOCK;
        }
        if (!m_session.IsEstablished()) {  // the handshake's last flight is not traced
            SocketTrace("%T: %d Sent %d bytes of TLS handshake\n", static_cast<int>(socket), sent);
        }
        m_outbox.erase(0, static_cast<size_t>(sent));
    }
    return true;
}

// One call gives at most one record's worth.
int TlsStage::Read(char* buffer, int length) {
    for (;;) {
        const int count = m_session.Read(buffer, length);
        if (count >= 0) {
            return count;  // 0: the server ended the session
        }
        if (count == TlsSession::kBroken) {
            ErrorLogPrintf("%T: TLS session with \"%s\" broken: %s\n", Link().Host().c_str(),
                           m_session.Reason().c_str());
            WSASetLastError(WSAECONNABORTED);
            return SOCKET_ERROR;
        }
        char block[kReadSize];
        const int read = recv(Link().Socket(), block, sizeof block, 0);
        if (read <= 0) {
            return read;  // 0: closed without ending the session; else the socket's error
        }
        if (read < static_cast<int>(sizeof block)) {
            RearmQuickAck(Link().Socket());
        }
        m_session.Feed(block, read);
    }
}

int TlsStage::Write(const char* data, int length) {
    if (!m_session.Write(data, length)) {
        ErrorLogPrintf("%T: TLS session with \"%s\" broken: %s\n", Link().Host().c_str(),
                       m_session.Reason().c_str());
        WSASetLastError(WSAECONNABORTED);
        return SOCKET_ERROR;
    }
    if (!Flush()) {
        return SOCKET_ERROR;
    }
    return length;
}
