#pragma once
// The SOCKS5 stage of BaseSocket's chain (in it only when Connect was given a proxy): from the
// TCP connect to the proxy until the proxy reports the tunnel open. The protocol itself is
// SOCKS's; this stage reads the proxy's replies from the socket, sends the requests SOCKS
// queues, and hands the bytes that came after the final reply to the next stage.
#include <string>

#include "net/Socks.h"
#include "net/TransportStage.h"

class ProxyStage final : public HandshakeStage {
public:
    static constexpr int kReadSize = 1024;  // one read per FD_READ while negotiating

    using HandshakeStage::HandshakeStage;

    // The destination and credentials of a new attempt.
    void Configure(const std::string& host, int port, const std::string& user,
                   const std::string& password);
    const SOCKS& Socks() const { return m_socks; }

    void Begin(const char* early, int count) override;
    bool IsRunning() const override;
    void OnReadable() override;
    void OnReadError(int error) override;
    void OnPeerClosed() override;
    void OnTimedOut(int limitSeconds) override;
    void Reset() override;

private:
    enum class State {
        kWaitingForConnect,  // the TCP connection to the proxy is not up yet
        kNegotiating,        // requests sent, replies awaited
        kOpen,               // the tunnel is open
        kFailed,             // the proxy refused, hung up or went silent; reported once
    };
    // Sends what SOCKS queued; false (the attempt ended) when that fails.
    bool SendRequest(bool traceFailure);
    // Ends the attempt; reason: why, when the proxy itself cannot say.
    void Fail(int error, const std::string& reason = std::string());

    SOCKS m_socks;
    State m_state = State::kWaitingForConnect;
};
