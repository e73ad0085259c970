#pragma once
// Helpers for driving transport objects on the test thread (with the common message pump): a
// BaseSocket that records its notifications, and the far end of a loopback TCP
// connection that the test writes and reads by hand (non-blocking, so one thread runs both
// ends). Shared by the unit tests and the proxy integration tests.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/BaseSocket.h"
#include "platform/windows.h"
#include "tests/common/LeakCheck.h"
#include "tests/common/MessagePump.h"

namespace net_test {

// A BaseSocket whose notifications are written down; what arrives is read at once.
class RecordingSocket : public BaseSocket {
public:
    std::vector<int> Connects;
    std::vector<int> Receives;
    std::vector<int> Closes;
    std::string Received;
    bool ReadOnReceive = true;
    int ReceiveChunk = 16384;
    // Set when OnConnect(0) came before any data was received.
    bool ConnectedBeforeData = false;
    // What had been received when the first OnClose arrived.
    std::string ReceivedAtClose;

    void OnConnect(int error) override {
        Connects.push_back(error);
        if (error == 0 && Received.empty()) {
            ConnectedBeforeData = true;
        }
    }
    void OnReceive(int error) override {
        Receives.push_back(error);
        if (error != 0 || !ReadOnReceive) {
            return;
        }
        std::vector<char> buffer(static_cast<size_t>(ReceiveChunk));
        const int count = Receive(buffer.data(), ReceiveChunk, 0);
        if (count > 0) {
            Received.append(buffer.data(), static_cast<size_t>(count));
        }
    }
    void OnClose(int error) override {
        if (Closes.empty()) {
            ReceivedAtClose = Received;
        }
        Closes.push_back(error);
        BaseSocket::OnClose(error);
    }
};

// Reads a non-blocking platform socket until it would block.
inline std::string ReadWhatIsThere(SOCKET s) {
    std::string text;
    char buffer[4096];
    for (;;) {
        const int count = recv(s, buffer, sizeof buffer, 0);
        if (count <= 0) {
            return text;
        }
        text.append(buffer, static_cast<size_t>(count));
    }
}

inline bool WriteAll(SOCKET s, const std::string& bytes) {
    size_t sent = 0;
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    while (sent < bytes.size()) {
        const int count = send(s, bytes.data() + sent, static_cast<int>(bytes.size() - sent), 0);
        if (count > 0) {
            sent += static_cast<size_t>(count);
        } else if (WSAGetLastError() != WSAEWOULDBLOCK ||
                   std::chrono::steady_clock::now() > deadline) {
            return false;
        }
    }
    return true;
}

// A loopback listener on 127.0.0.1 (or ::1; any free port) and the one connection it accepts.
class LoopbackPeer {
public:
    explicit LoopbackPeer(bool ipv6 = false) {
        m_Listener = socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
        SOCKADDR_STORAGE address = {};
        int length = 0;
        if (ipv6) {
            auto* address6 = reinterpret_cast<sockaddr_in6*>(&address);
            address6->sin6_family = AF_INET6;
            inet_pton(AF_INET6, "::1", &address6->sin6_addr);
            length = sizeof(sockaddr_in6);
        } else {
            auto* address4 = reinterpret_cast<sockaddr_in*>(&address);
            address4->sin_family = AF_INET;
            address4->sin_addr.s_addr = inet_addr("127.0.0.1");
            length = sizeof(sockaddr_in);
        }
        u_long nonBlocking = 1;
        if (m_Listener == INVALID_SOCKET ||
            bind(m_Listener, reinterpret_cast<const sockaddr*>(&address), length) != 0 ||
            listen(m_Listener, 8) != 0 ||
            getsockname(m_Listener, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
            ioctlsocket(m_Listener, FIONBIO, &nonBlocking) != 0) {
            CloseListener();
            return;
        }
        // The port sits at the same place in both address forms.
        m_Port = ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
    }
    ~LoopbackPeer() {
        CloseConnection();
        CloseListener();
    }
    LoopbackPeer(const LoopbackPeer&) = delete;
    LoopbackPeer& operator=(const LoopbackPeer&) = delete;

    bool Listening() const { return m_Listener != INVALID_SOCKET; }
    int Port() const { return m_Port; }
    bool Connected() const { return m_Connection != INVALID_SOCKET; }
    // Address family of the accepted connection's far end.
    int PeerFamily() const { return m_PeerFamily; }

    // One non-blocking attempt; true once a connection has been accepted.
    bool TryAccept() {
        if (m_Connection == INVALID_SOCKET && m_Listener != INVALID_SOCKET) {
            SOCKADDR_STORAGE peer = {};
            int length = sizeof peer;
            const SOCKET accepted = accept(m_Listener, reinterpret_cast<sockaddr*>(&peer), &length);
            if (accepted != INVALID_SOCKET) {
                m_PeerFamily = peer.ss_family;
                u_long nonBlocking = 1;
                ioctlsocket(accepted, FIONBIO, &nonBlocking);
                m_Connection = accepted;
            }
        }
        return Connected();
    }
    bool Write(const std::string& bytes) { return Connected() && WriteAll(m_Connection, bytes); }
    // Collects what the client sent into Inbox and returns all of it so far.
    const std::string& Read() {
        if (Connected()) {
            m_Inbox += ReadWhatIsThere(m_Connection);
        }
        return m_Inbox;
    }
    void ClearInbox() { m_Inbox.clear(); }
    void CloseConnection() {
        if (m_Connection != INVALID_SOCKET) {
            closesocket(m_Connection);
            m_Connection = INVALID_SOCKET;
        }
    }

private:
    void CloseListener() {
        if (m_Listener != INVALID_SOCKET) {
            closesocket(m_Listener);
            m_Listener = INVALID_SOCKET;
        }
    }

    SOCKET m_Listener = INVALID_SOCKET;
    SOCKET m_Connection = INVALID_SOCKET;
    int m_Port = 0;
    int m_PeerFamily = 0;
    std::string m_Inbox;
};

}  // namespace net_test
