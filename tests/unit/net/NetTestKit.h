#pragma once
// Helpers for driving transport objects on the test thread (with the common message pump): a
// BaseSocket that records its notifications, and the far end of a loopback TCP
// connection that the test writes and reads by hand (non-blocking, so one thread runs both
// ends). Shared by the unit tests and the proxy integration tests.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "net/BaseSocket.h"
#include "platform/windows.h"
#include "tests/common/LeakCheck.h"
#include "tests/common/MessagePump.h"
#include "tests/common/RawPeer.h"

namespace net_test {

// A SOCKS5 proxy's "succeeded" reply, bound to 127.0.0.1:8080, as a scripted proxy writes it.
inline const std::string kIPv4Success("\x05\x00\x00\x01\x7f\x00\x00\x01\x1f\x90", 10);

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

// The far end of a loopback connection, with what the client sent kept in an inbox.
class LoopbackPeer : public RawPeer {
public:
    using RawPeer::RawPeer;

    // Collects what the client sent into the inbox and returns all of it so far.
    const std::string& Read() {
        m_Inbox += ReadAvailable();
        return m_Inbox;
    }
    void ClearInbox() { m_Inbox.clear(); }
    void CloseConnection() { Close(); }

private:
    std::string m_Inbox;
};

}  // namespace net_test
