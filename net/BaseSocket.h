#pragma once
// One non-blocking TCP socket (IPv4 or IPv6, as the address it connects to) whose events arrive as messages on the object's hidden
// window and become virtual calls: OnConnect, OnReceive, OnClose (plus OnAccept and OnSend).
// Host names are resolved asynchronously; a connection may run through a SOCKS5 proxy, whose
// whole handshake stays hidden from the derived class: it sees OnConnect(0) only once the
// tunnel is open, and no byte of the handshake.
//
// Socket options offered to the derived class (the NNTP connection):
//  - TCP_NODELAY is set on every socket this class makes, so that a short command is sent at
//    once instead of waiting for the ACK of the previous one.
//  - TCP_QUICKACK is re-armed after every read that drains the socket (a Receive that gets
//    less than it asked for, and every read of the proxy handshake), because Linux drops back
//    to delayed ACKs; a stop-and-wait conversation (status line, then the text block written
//    separately by the server) would otherwise stall about 40 ms per reply. Nothing for the
//    derived class to do: read through Receive.
//  - Bytes that follow the proxy's final CONNECT reply in the same read (a fast server's
//    greeting) are kept and served first by Receive; a read notification is posted for them
//    after OnConnect(0), so the derived class reads them on its normal receive path. A close
//    of the peer is held back until those bytes are taken, as for data still in the socket.
//  - With TLS on (SetTlsOptions, or the settings "news_ssl", "news_sslverify", "news_sslca" of
//    the store given to SetTransportSettings, read at every Connect), a TLS handshake follows
//    the TCP connect, or runs inside the proxy's tunnel; OnConnect(0) comes once it is
//    complete, and Receive and Send carry plaintext. While the session holds decrypted bytes
//    that Receive has not taken, another read notification follows, as for a plain socket.
//  - The handshake between the TCP connect and OnConnect(0) (the proxy's) is bounded by the
//    connection's receive time-out: a peer that stops answering half-way ends the attempt
//    with OnConnect(kOwnFailure) at the first check after the limit.
//
// Inside, an attempt runs through a chain of stages (net/TransportStage.h): the connector, the
// SOCKS5 stage and the TLS stage when configured, and the established stream. This class
// routes the socket's events to the stage that owns them and alone calls the derived class.
#include <cstdint>
#include <string>

#include "net/Connector.h"
#include "net/HiddenWindow.h"
#include "net/ProxyStage.h"
#include "net/StreamStage.h"
#include "net/TlsStage.h"
#include "platform/windows.h"

// Process-wide switch for the trace lines of BaseSocket and SOCKS; 0 = off. Nothing in the
// program sets it; it exists for debugging the transport.
extern int SocketTraceLog;

class SettingsStore;

class BaseSocket : public HiddenWindow {
public:
    // Messages on the object's own window.
    static constexpr UINT kMsgLookupDone = 0x8000;   // WM_APP: host lookup finished
    static constexpr UINT kMsgSocketEvent = 0x8001;  // socket event (FD_* in the low word)
    static constexpr long kAllEvents = 63;  // FD_READ|FD_WRITE|FD_OOB|FD_ACCEPT|FD_CONNECT|FD_CLOSE
    // Error this class reports for failures of its own making (proxy refused, not IPv4).
    static constexpr int kOwnFailure = StageLink::kOwnFailure;  // WSANO_RECOVERY
    static constexpr int kProxyReadSize = ProxyStage::kReadSize;
    static constexpr int kReceiveBufferOption = 16384;  // SO_RCVBUF asked for by Create
    static constexpr int kTlsReadSize = TlsStage::kReadSize;
    // The connection's receive time-out ("ReceiveTimeout"), applied to the handshake, and how
    // often it is checked (the engine's tick).
    static constexpr int kHandshakeTimeoutSeconds = Connector::kDefaultTimeoutSeconds;
    static constexpr UINT kHandshakeCheckMilliseconds = Connector::kDefaultCheckMilliseconds;

    BaseSocket();
    ~BaseSocket() override;

    LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;

    // Cancels a pending lookup and closes the socket; returns closesocket's result, or 0.
    virtual int Close();
    // Outcome of a connection attempt: 0 = connected (through the proxy when one is used).
    virtual void OnConnect(int error);
    virtual void OnAccept(int error);
    // Data can be read (read it with Receive), or a read-side error occurred.
    virtual void OnReceive(int error);
    virtual void OnSend(int error);
    // The peer closed the connection. The default closes the socket handle.
    virtual void OnClose(int error);
    // A line about the connection the user should see (TLS without checks, why a TLS
    // handshake failed); the default writes nothing more than the logs already have.
    virtual void OnTransportStatus(const std::string& text);

    void SetTlsOptions(const TlsOptions& options) { m_tls.SetOptions(options); }
    const TlsOptions& GetTlsOptions() const { return m_tls.Options(); }
    // The store whose TLS settings every Connect reads (null: keep SetTlsOptions' values).
    void SetTransportSettings(SettingsStore* settings) { m_tls.SetSettings(settings); }
    bool IsTlsEstablished() const { return m_tls.IsEstablished(); }

    // Makes a socket (bound to localPort when not 0) and registers it for eventMask. False,
    // with no socket left open, when any of the three fails.
    bool Create(int localPort = 0, int socketType = SOCK_STREAM, long eventMask = kAllEvents,
                const std::string& host = std::string());
    // Starts a connection to host:port, directly or, when proxyAddress is not empty, through
    // the SOCKS5 proxy at proxyAddress:proxyPort. True: the outcome will arrive through
    // OnConnect. False: failed at once (OnConnect already called when the failure was in the
    // connect itself; nothing called when the lookup could not be started).
    bool Connect(const std::string& host, int port, const std::string& proxyAddress, int proxyPort,
                 const std::string& proxyUser, const std::string& proxyPassword);

    // recv on the socket (after any bytes left over from the proxy handshake); result as recv.
    int Receive(void* buffer, int length, int flags = 0);
    // send on the socket; result as send.
    int Send(const void* data, int length, int flags = 0);
    // ioctlsocket on the socket; FIONREAD also counts bytes left over from the handshake.
    bool IOCtl(long command, u_long* argument);

    // True for digits and dots only, with exactly three dots (ranges are not checked).
    static bool IsDottedQuad(const char* text) { return Connector::IsDottedQuad(text); }
    // An IPv6 address in brackets ("[::1]") without them; anything else unchanged.
    static std::string WithoutBrackets(const std::string& text);

    SOCKET GetSocketHandle() const { return m_hSocket; }
    const std::string& GetHost() const { return m_host; }
    int GetPort() const { return m_port; }
    bool IsUsingProxy() const { return m_bUseProxy; }
    bool IsLookupPending() const { return m_connector.IsLookupPending(); }
    // True when the last connect attempt ended in its TLS handshake (its OnConnect error is
    // kOwnFailure, like a failed lookup, so the code alone cannot tell them apart).
    bool LastConnectFailedInTls() const { return m_tls.Failed(); }
    // Why the last connect attempt failed in the proxy's or the TLS handshake, in words for the
    // user ("Proxy authentication failed (status 1)"); empty when it did not fail there (the
    // error code given to OnConnect then says it all). Cleared by Connect.
    const std::string& LastConnectFailureReason() const { return m_connectFailureReason; }
    const SOCKS& GetProxy() const { return m_proxy.Socks(); }
    // True between the TCP connect and the outcome of the handshake that follows it.
    bool IsHandshakeClockRunning() const { return m_connector.IsClockRunning(); }
    // The handshake ends in failure once strictly more whole seconds than this have passed.
    void SetHandshakeTimeout(int seconds) { m_connector.SetTimeout(seconds); }
    // How often the handshake's time-out is checked (tests check more often than the tick).
    void SetHandshakeCheckPeriod(UINT milliseconds) { m_connector.SetCheckPeriod(milliseconds); }

protected:
    bool ConnectNow();
    bool StartLookup(const std::string& name);
    void OnLookupDone(WPARAM taskHandle, LPARAM lParam);
    void OnSocketEvent(SOCKET socket, int event, int error);
    // Connects to the first address of the list that answers (a finished lookup's result).
    bool ConnectToAddresses(const platform::HostAddressList& list);
    void SetConnectPort(int port) { m_connector.SetPort(port); }

private:
    // What the stages may use of this object (see StageLink).
    class Link final : public StageLink {
    public:
        explicit Link(BaseSocket& owner) : m_owner(owner) {}
        SOCKET Socket() const override { return m_owner.m_hSocket; }
        void PostSocketEvent(int event, int error) override;
        const std::string& Host() const override { return m_owner.m_host; }
        int Port() const override { return m_owner.m_port; }
        void StageOpened(const char* early, int count) override;
        void StageFailed(int error, const std::string& reason) override;
        void TransportStatus(const std::string& text) override;
        bool PassReadError(int error) override;

    private:
        BaseSocket& m_owner;
    };

    int ResetTransport();
    bool FailConnectNow(int error, bool closeFirst);
    bool CloseAfterFailedCreate();
    void DropQueuedSocketEvents();
    bool ConnectToNextAddress();
    void OnWriteEvent(int error);
    void OnCloseEvent(int error);
    void OnConnectEvent(int error);
    void OnReadEvent(int error);
    // The handshake that owns the socket's events now, or null.
    HandshakeStage* RunningHandshake() const;
    void OnStageOpened(const char* early, int count);
    void OnStageFailed(int error, const std::string& reason);
    // Calls into the derived class; false when it closed or replaced the connection meanwhile.
    bool ReportConnect(int error);
    bool ReportReceive(int error);
    template <typename Call>
    bool StillCurrentAfter(Call call);
    static void CALLBACK HandshakeTimerProc(HWND hwnd, UINT message, UINT_PTR id, DWORD time);
    void OnHandshakeCheck();
    void ApplyStreamOptions(SOCKET socket, bool askReceiveBuffer);

    SOCKET m_hSocket = INVALID_SOCKET;
    std::string m_host;
    int m_port = 0;
    int m_socketType = SOCK_STREAM;
    long m_eventMask = kAllEvents;
    bool m_bUseProxy = false;
    std::string m_connectFailureReason;  // of the last attempt, for the report
    // Counts the sockets this object has had: a call into the derived class that returns to a
    // different count found the connection closed or replaced.
    unsigned m_generation = 0;

    Link m_link{*this};
    Connector m_connector;
    ProxyStage m_proxy{m_link};
    TlsStage m_tls{m_link};
    StreamStage m_stream{m_link, m_tls};
    // The handshakes configured for this attempt, in order; m_chainPosition is the one that
    // runs (or runs next). The stream follows the last.
    HandshakeStage* m_chain[2] = {};
    int m_chainLength = 0;
    int m_chainPosition = 0;
};
