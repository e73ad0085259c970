#pragma once
// The pieces of BaseSocket's connection chain and what they may touch.
//
// One connection attempt runs through the chain in order:
//   Connector    where to dial: the literal address or the lookup's list, one address after
//                another, and the clock that bounds the handshakes below
//   ProxyStage   the SOCKS5 handshake (only when Connect was given a proxy)
//   TlsStage     the TLS handshake (only when TLS is on), and afterwards the encrypted path
//   StreamStage  the established stream: bytes and a close held for the derived class
// A stage that is not configured for the attempt is not in the chain. Each stage keeps its own
// state; none calls the derived class. What a stage may use of its socket is StageLink, which
// BaseSocket gives it: BaseSocket alone talks to the derived class and asks, after every call
// into it, whether the connection is still the one the call was made for.
#include <string>

#include "platform/windows.h"

class StageLink {
public:
    // The error the chain reports for failures of its own making (proxy refused, TLS failed).
    static constexpr int kOwnFailure = 11003;  // WSANO_RECOVERY

    virtual SOCKET Socket() const = 0;
    // Posts a notification for the current socket, as the socket library would (nothing when
    // there is no window or no socket).
    virtual void PostSocketEvent(int event, int error) = 0;
    // The destination given to Connect.
    virtual const std::string& Host() const = 0;
    virtual int Port() const = 0;
    // The running stage's handshake is complete; early holds the bytes read past its last
    // reply, which belong to the next stage (or to the derived class).
    virtual void StageOpened(const char* early, int count) = 0;
    // The running stage's handshake failed: the attempt ends with OnConnect(error). reason
    // says why in words for the user (LastConnectFailureReason).
    virtual void StageFailed(int error, const std::string& reason) = 0;
    // A line about the connection for the user (OnTransportStatus).
    virtual void TransportStatus(const std::string& text) = 0;
    // A read error while a handshake runs is the derived class's to see (OnReceive). False
    // when the derived class closed or replaced the connection during that call.
    virtual bool PassReadError(int error) = 0;

protected:
    ~StageLink() = default;
};

// A handshake between the TCP connect and OnConnect(0). While one runs, the socket's events go
// to it instead of the derived class.
class HandshakeStage {
public:
    explicit HandshakeStage(StageLink& link) : m_link(link) {}
    virtual ~HandshakeStage() = default;
    HandshakeStage(const HandshakeStage&) = delete;
    HandshakeStage& operator=(const HandshakeStage&) = delete;

    // The connection below is open; early holds bytes already read for this stage.
    virtual void Begin(const char* early, int count) = 0;
    // True while the stage owns the socket's events.
    virtual bool IsRunning() const = 0;
    // FD_READ with bytes to read and no error.
    virtual void OnReadable() = 0;
    // FD_READ with an error, after the derived class has seen it.
    virtual void OnReadError(int error) = 0;
    // FD_CLOSE while running.
    virtual void OnPeerClosed() = 0;
    // The connector's clock ran out (after limitSeconds) while running.
    virtual void OnTimedOut(int limitSeconds) = 0;
    // Back to the start for a new socket; what the stage was configured with stays.
    virtual void Reset() = 0;

protected:
    StageLink& Link() const { return m_link; }

private:
    StageLink& m_link;
};

// Linux drops back to delayed ACKs after a read; a stop-and-wait conversation would then stall
// about 40 ms per reply. Called after every read that drains the socket. Only a hint (Linux
// alone knows the option, and it may be refused on a closing socket): its result is not
// looked at.
inline void RearmQuickAck(SOCKET socket) {
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, reinterpret_cast<const char*>(&on), sizeof on);
}
