#pragma once
// Client side of a SOCKS version 5 handshake (method selection, username/password
// sub-negotiation, CONNECT). It does no input or output: its owner (BaseSocket) reports the
// TCP connection to the proxy, hands over every block read from the proxy, and sends whatever
// has been queued in the output buffer.
#include <cstdint>
#include <string>

class SOCKS {
public:
    enum State : int {
        Idle = 0,         // nothing under way, or the handshake failed
        InfoSet = 1,      // destination stored, TCP connection to the proxy not yet up
        MethodSent = 2,   // method selection queued, waiting for the method reply
        AuthSent = 3,     // username/password queued, waiting for its status
        ConnectSent = 4,  // CONNECT queued, waiting for its reply
        Connected = 5,    // the tunnel is open
    };

    // Large enough for the longest request: 0x01, ULEN, 255 name bytes, PLEN, 255 password
    // bytes (513 bytes). A smaller buffer would silently drop that request and hang the
    // handshake.
    static constexpr int kOutputBufferSize = 3 + 255 + 255;

    // Longest reply kept while it arrives in pieces: a CONNECT reply with a 255-byte domain.
    static constexpr int kReplyBufferSize = 4 + 1 + 255 + 2;

    SOCKS() = default;
    virtual ~SOCKS() = default;

    SOCKS(const SOCKS&) = delete;
    SOCKS& operator=(const SOCKS&) = delete;

    // Stores where the tunnel is to lead and with which credentials; state InfoSet.
    bool SetInfo(const std::string& destinationHost, int destinationPort, const std::string& user,
                 const std::string& password);

    // The TCP connection to the proxy is up: queue the method-selection request.
    bool OnConnect();

    // One block read from the proxy. A reply may arrive split over several blocks; it is judged
    // once complete. False means the handshake failed (state Idle).
    bool OnRecieve(const char* bytes, int count);

    bool DoProxyUserPassAuth();
    bool DoProxyConnect();

    // The connection to the proxy failed or was given up: back to Idle.
    void Abandon() { m_state = Idle; }

    int GetState() const { return m_state; }
    // Why the handshake failed, in words for the user ("Proxy authentication failed (status
    // 1)", "SOCKS5 reply 5: Connection refused"); empty while nothing has failed. Cleared by
    // SetInfo and OnConnect.
    const std::string& FailureReason() const { return m_failureReason; }
    // The words RFC 1928 gives a CONNECT reply code ("Connection refused" for 5).
    static const char* ReplyCodeText(int code);
    // States InfoSet to ConnectSent: the owner routes what it reads to this object.
    bool IsNegotiating() const { return m_state >= InfoSet && m_state <= ConnectSent; }
    bool IsConnected() const { return m_state == Connected; }

    // Bytes of the last block given to OnRecieve that came after the proxy's final CONNECT
    // reply: the first bytes of the tunnelled conversation. Valid until the next OnRecieve.
    int TrailingOffset() const { return m_trailingOffset; }
    int TrailingCount() const { return m_trailingCount; }

    // The queued request. TakeOutput hands it over and empties the queue; the bytes stay
    // valid until the next request is queued.
    int PendingLength() const { return m_pendingLength; }
    const char* TakeOutput(int* length);

private:
    void ResetOutput();
    bool Queue(const char* bytes, int length);
    // Appends up to `count` bytes to the reply being assembled; returns how many were taken.
    int CollectReply(const char* bytes, int count, int wanted);
    int ConnectReplyLength() const;
    bool OnConnectBlock(const char* bytes, int count);
    bool OnMethodReply();
    bool OnAuthReply();
    bool OnConnectReply();
    bool Fail();
    bool Fail(std::string reason);

    std::string m_destinationHost;
    int m_destinationPort = 0;
    std::string m_user;
    std::string m_password;
    int m_state = Idle;
    std::string m_failureReason;

    char m_outputBuffer[kOutputBufferSize] = {};
    int m_pendingLength = 0;
    char* m_writePos = m_outputBuffer;

    unsigned char m_reply[kReplyBufferSize] = {};
    int m_replyLength = 0;
    int m_trailingOffset = 0;
    int m_trailingCount = 0;
};
