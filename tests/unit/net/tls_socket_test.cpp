// TLS in the asynchronous socket over real loopback connections: the test plays the server
// (and the proxy) itself, so handshakes can be completed, refused, cut or stalled at will.
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <string>

#include "LogDirectory.h"
#include "NetTestKit.h"
#include "TlsTestKit.h"
#include "common/TestClock.h"
#include "net/BaseSocket.h"

namespace {

using net_test::kIPv4Success;
using net_test::LoopbackPeer;
using net_test::RecordingSocket;
using net_test::TestCertificate;
using net_test::TlsServer;

class StatusRecordingSocket : public RecordingSocket {
public:
    std::vector<std::string> Statuses;
    void OnTransportStatus(const std::string& text) override { Statuses.push_back(text); }
};

class TlsSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Library.Started());
        ASSERT_TRUE(m_Peer.Listening());
        ASSERT_TRUE(m_Ca.WritePem("ca.pem"));
        ASSERT_TRUE(m_Stranger.WritePem("stranger.pem"));
        UseOptions(true, "ca.pem");
    }

    void UseOptions(bool verify, const std::string& caFile) {
        TlsOptions options;
        options.enabled = true;
        options.verify = verify;
        options.caFile = caFile;
        m_Client->SetTlsOptions(options);
    }

    void StartDirect(const std::string& host) {
        ASSERT_TRUE(m_Client->Create());
        ASSERT_TRUE(m_Client->Connect(host, m_Peer.Port(), "", 0, "", ""));
        ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept(); }));
    }

    // Runs both ends until the client has an outcome.
    void Handshake(TlsServer& server) {
        ASSERT_TRUE(PumpUntil([&] {
            server.Pump();
            return !m_Client->Connects.empty();
        }));
        DispatchPending();
        server.Pump();
    }

    bool ErrorLogHas(const std::string& text) const {
        return m_Logs.ErrorLog().find(text) != std::string::npos;
    }

    LeakCheck m_Leaks;  // first: destroyed last, after everything below
    LogDirectory m_Logs;
    SocketLibrary m_Library;
    LoopbackPeer m_Peer;
    TestCertificate m_Ca{"Test CA", "", nullptr};
    TestCertificate m_ServerCert{"localhost", "DNS:localhost,IP:127.0.0.1", &m_Ca};
    TestCertificate m_Stranger{"Other CA", "", nullptr};
    std::unique_ptr<StatusRecordingSocket> m_Client = std::make_unique<StatusRecordingSocket>();
};

TEST_F(TlsSocketTest, ConnectIsReportedOnlyWhenTheHandshakeIsCompleteAndDataFlowsBothWays) {
    StartDirect("127.0.0.1");
    TlsServer server(m_Peer, m_ServerCert);
    EXPECT_TRUE(m_Client->Connects.empty());
    Handshake(server);
    ASSERT_EQ(m_Client->Connects, (std::vector<int>{0}));
    EXPECT_TRUE(m_Client->IsTlsEstablished());
    EXPECT_TRUE(server.Established());
    EXPECT_FALSE(m_Client->IsHandshakeClockRunning());

    server.Write("200 secure news\r\n");
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received == "200 secure news\r\n"; }));
    const std::string command = "GROUP alt.binaries.test\r\n";
    ASSERT_EQ(m_Client->Send(command.data(), static_cast<int>(command.size()), 0),
              static_cast<int>(command.size()));
    ASSERT_TRUE(PumpUntil([&] {
        server.Pump();
        return server.Plaintext() == command;
    }));
    // One line per connection with protocol and cipher, whatever the trace switch says.
    EXPECT_NE(m_Logs.TraceLog().find("TLS with \"127.0.0.1\" port " +
                                     std::to_string(m_Peer.Port()) + ": TLSv1."),
              std::string::npos);
    EXPECT_TRUE(m_Client->Statuses.empty());
}

TEST_F(TlsSocketTest, HostNameIsSentAsServerNameAndChecked) {
    StartDirect("localhost");
    TlsServer server(m_Peer, m_ServerCert);
    Handshake(server);
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{0}));
    EXPECT_EQ(server.ServerName(), "localhost");
}

TEST_F(TlsSocketTest, DecryptedBytesBeyondOneReadAreAnnouncedAgain) {
    // One 16384-byte record read in 1000-byte pieces, one read per notification: every
    // piece after the first is still inside the session, not in the socket.
    m_Client->ReceiveChunk = 1000;
    StartDirect("127.0.0.1");
    TlsServer server(m_Peer, m_ServerCert);
    Handshake(server);
    std::string record(16384, 'x');
    for (size_t i = 0; i < record.size(); i += 97) {
        record[i] = static_cast<char>('a' + i % 26);
    }
    server.Write(record);
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received.size() >= record.size(); }));
    EXPECT_EQ(m_Client->Received, record);
    EXPECT_GE(m_Client->Receives.size(), 17u);
}

TEST_F(TlsSocketTest, SeveralRecordsInOneSocketReadAreAllDelivered) {
    StartDirect("127.0.0.1");
    TlsServer server(m_Peer, m_ServerCert);
    Handshake(server);
    const std::string body(3 * 16384 + 123, 'b');
    server.Write(body);
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received.size() >= body.size(); }));
    EXPECT_EQ(m_Client->Received, body);
}

TEST_F(TlsSocketTest, GreetingBeforeTheServerClosesIsReadBeforeTheClose) {
    m_Client->ReceiveChunk = 5;
    StartDirect("127.0.0.1");
    TlsServer server(m_Peer, m_ServerCert);
    Handshake(server);
    server.Write("502 go away\r\n");
    server.EndSession();
    m_Peer.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Closes.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->ReceivedAtClose, "502 go away\r\n");
    EXPECT_EQ(m_Client->Closes.size(), 1u);
}

TEST_F(TlsSocketTest, UntrustedCertificateFailsWithTheLibrarysReason) {
    UseOptions(true, "stranger.pem");
    StartDirect("127.0.0.1");
    TlsServer server(m_Peer, m_ServerCert);
    Handshake(server);
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    EXPECT_FALSE(m_Client->IsTlsEstablished());
    EXPECT_TRUE(ErrorLogHas("certificate verify failed: unable to get local issuer certificate"))
        << m_Logs.ErrorLog();
    ASSERT_EQ(m_Client->Statuses.size(), 1u);
    EXPECT_NE(m_Client->Statuses[0].find("certificate verify failed"), std::string::npos);
}

TEST_F(TlsSocketTest, SelfSignedCertificateIsNotTrustedByDefault) {
    UseOptions(true, "");  // the system's trust store
    StartDirect("127.0.0.1");
    TestCertificate selfSigned("localhost", "DNS:localhost,IP:127.0.0.1", nullptr);
    TlsServer server(m_Peer, selfSigned);
    Handshake(server);
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    EXPECT_TRUE(ErrorLogHas("certificate verify failed: self-signed certificate"))
        << m_Logs.ErrorLog();
}

TEST_F(TlsSocketTest, CertificateForAnotherNameFails) {
    StartDirect("127.0.0.1");
    TestCertificate other("news.other.example", "DNS:news.other.example", &m_Ca);
    TlsServer server(m_Peer, other);
    Handshake(server);
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    EXPECT_TRUE(ErrorLogHas("certificate verify failed: IP address mismatch")) << m_Logs.ErrorLog();
}

TEST_F(TlsSocketTest, WithoutChecksAnyCertificateIsTakenAndEveryConnectSaysSo) {
    UseOptions(false, "");
    for (int attempt = 0; attempt < 2; ++attempt) {
        LoopbackPeer peer;
        ASSERT_TRUE(m_Client->Create());
        ASSERT_TRUE(m_Client->Connect("127.0.0.1", peer.Port(), "", 0, "", ""));
        ASSERT_TRUE(PumpUntil([&] { return peer.TryAccept(); }));
        TlsServer server(peer, m_Stranger);
        ASSERT_TRUE(PumpUntil([&] {
            server.Pump();
            return m_Client->Connects.size() == static_cast<size_t>(attempt + 1);
        }));
        EXPECT_EQ(m_Client->Connects.back(), 0);
        m_Client->Close();
    }
    ASSERT_EQ(m_Client->Statuses.size(), 2u);
    EXPECT_NE(m_Client->Statuses[1].find("without certificate checks"), std::string::npos);
    EXPECT_NE(m_Logs.TraceLog().find("(certificate not checked)"), std::string::npos);
}

TEST_F(TlsSocketTest, PlaintextServerOnTheTlsPortFails) {
    StartDirect("127.0.0.1");
    ASSERT_TRUE(m_Peer.Write("200 plain news server ready\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    EXPECT_TRUE(m_Client->Receives.empty());
    EXPECT_TRUE(ErrorLogHas("TLS handshake with \"127.0.0.1\"")) << m_Logs.ErrorLog();
}

TEST_F(TlsSocketTest, ServerClosingMidHandshakeFails) {
    StartDirect("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return !m_Peer.Read().empty(); }));  // the client's hello
    m_Peer.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    EXPECT_TRUE(m_Client->Closes.empty());
    EXPECT_TRUE(ErrorLogHas("closed the connection during the TLS handshake"));
}

TEST_F(TlsSocketTest, UnusableCaFileFailsTheAttempt) {
    std::ofstream("log-not-a-cert") << "not a certificate\n";
    const std::pair<std::string, std::string> cases[] = {
        {"missing.pem", "cannot open the CA file \"missing.pem\""},
        {"log-not-a-cert", "\"log-not-a-cert\" holds no PEM certificate"}};
    for (const auto& [file, reason] : cases) {
        RecordingSocket client;
        TlsOptions options;
        options.enabled = true;
        options.caFile = file;
        client.SetTlsOptions(options);
        LoopbackPeer peer;
        ASSERT_TRUE(client.Create());
        ASSERT_TRUE(client.Connect("127.0.0.1", peer.Port(), "", 0, "", ""));
        ASSERT_TRUE(PumpUntil([&] { return peer.TryAccept() && !client.Connects.empty(); }));
        EXPECT_EQ(client.Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
        EXPECT_TRUE(ErrorLogHas("failed: " + reason)) << m_Logs.ErrorLog();
    }
}

TEST_F(TlsSocketTest, StalledHandshakeEndsAtTheReceiveTimeout) {
    TestClock clock;
    m_Client->SetHandshakeCheckPeriod(5);
    StartDirect("127.0.0.1");
    ASSERT_TRUE(PumpUntil([&] { return !m_Peer.Read().empty(); }));
    EXPECT_TRUE(m_Client->IsHandshakeClockRunning());
    clock.AdvanceSeconds(BaseSocket::kHandshakeTimeoutSeconds);
    EXPECT_FALSE(PumpUntil([&] { return !m_Client->Connects.empty(); },
                           std::chrono::milliseconds(100)));
    clock.AdvanceSeconds(1);
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    EXPECT_FALSE(m_Client->IsTlsEstablished());
    EXPECT_TRUE(ErrorLogHas("failed: the TLS handshake timed out")) << m_Logs.ErrorLog();
    // The session is over: a server that wakes up late reaches no handshake.
    TlsServer late(m_Peer, m_ServerCert);
    late.Pump();
    EXPECT_FALSE(PumpUntil([&] { return m_Client->Connects.size() > 1; },
                           std::chrono::milliseconds(100)));
}

TEST_F(TlsSocketTest, TlsRunsInsideTheProxyTunnelWithTheDestinationsName) {
    ASSERT_TRUE(m_Client->Create());
    ASSERT_TRUE(m_Client->Connect("localhost", 563, "127.0.0.1", m_Peer.Port(), "", ""));
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept() && m_Peer.Read().size() >= 3; }));
    m_Peer.ClearInbox();
    ASSERT_TRUE(m_Peer.Write(std::string("\x05\x00", 2)));
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.Read().size() >= 7 + 9; }));
    EXPECT_EQ(m_Peer.Read(), std::string("\x05\x01\x00\x03\x09localhost\x02\x33", 16));
    m_Peer.ClearInbox();
    ASSERT_TRUE(m_Peer.Write(kIPv4Success));
    TlsServer server(m_Peer, m_ServerCert);
    Handshake(server);
    ASSERT_EQ(m_Client->Connects, (std::vector<int>{0}));
    EXPECT_EQ(server.ServerName(), "localhost");
    server.Write("200 through the tunnel\r\n");
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received == "200 through the tunnel\r\n"; }));
}

TEST_F(TlsSocketTest, HandshakeTraceLinesOnlyWhenTracing) {
    SocketTraceLog = 1;
    StartDirect("127.0.0.1");
    TlsServer server(m_Peer, m_ServerCert);
    Handshake(server);
    SocketTraceLog = 0;
    const std::string trace = m_Logs.TraceLog();
    EXPECT_NE(trace.find("Starting TLS handshake with \"127.0.0.1\""), std::string::npos);
    EXPECT_NE(trace.find("bytes of TLS handshake"), std::string::npos);
}

}  // namespace
