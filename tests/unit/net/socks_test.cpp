// The SOCKS5 client's requests byte for byte, its reply handling (also for replies split over
// several reads), and its log lines.
#include "net/Socks.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LogDirectory.h"
#include "tests/common/LeakCheck.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Take(SOCKS& socks) {
    int length = 0;
    const char* data = socks.TakeOutput(&length);
    return Bytes(data, data + length);
}

bool Feed(SOCKS& socks, const Bytes& block) {
    return socks.OnRecieve(reinterpret_cast<const char*>(block.data()),
                           static_cast<int>(block.size()));
}

Bytes Concat(Bytes head, const std::string& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const Bytes kIPv4Reply = {5, 0, 0, 1, 127, 0, 0, 1, 0x1F, 0x90};

// Drives a client with the given credentials to the point where it waits for the CONNECT reply.
void ReachConnectSent(SOCKS& socks, const std::string& host, int port) {
    socks.SetInfo(host, port, "", "");
    socks.OnConnect();
    Take(socks);
    ASSERT_TRUE(Feed(socks, {5, 0}));
    ASSERT_EQ(socks.GetState(), SOCKS::ConnectSent);
}

class SocksTest : public ::testing::Test {
protected:
    LeakCheck m_Leaks;  // first: destroyed last, after everything below
    LogDirectory m_Logs;
    SOCKS m_Socks;
};

TEST_F(SocksTest, MethodRequestOffersUserPassOnlyWithCredentials) {
    m_Socks.SetInfo("news", 119, "", "");
    EXPECT_EQ(m_Socks.GetState(), SOCKS::InfoSet);
    ASSERT_TRUE(m_Socks.OnConnect());
    EXPECT_EQ(m_Socks.GetState(), SOCKS::MethodSent);
    EXPECT_EQ(Take(m_Socks), (Bytes{5, 1, 0}));
    EXPECT_EQ(m_Socks.PendingLength(), 0);

    m_Socks.SetInfo("news", 119, "user", "");
    m_Socks.OnConnect();
    EXPECT_EQ(Take(m_Socks), (Bytes{5, 2, 0, 2}));

    m_Socks.SetInfo("news", 119, "", "secret");
    m_Socks.OnConnect();
    EXPECT_EQ(Take(m_Socks), (Bytes{5, 2, 0, 2}));
}

TEST_F(SocksTest, ProxyAskingForCredentialsWithoutAnyGetsEmptyFields) {
    m_Socks.SetInfo("news", 119, "", "");
    m_Socks.OnConnect();
    Take(m_Socks);
    ASSERT_TRUE(Feed(m_Socks, {5, 2}));
    EXPECT_EQ(Take(m_Socks), (Bytes{1, 0, 0}));
}

TEST_F(SocksTest, CredentialLengthLimits) {
    // 255 bytes is the most a length byte can say; it is accepted.
    m_Socks.SetInfo("news", 119, std::string(255, 'u'), "");
    m_Socks.OnConnect();
    Take(m_Socks);
    ASSERT_TRUE(Feed(m_Socks, {5, 2}));
    EXPECT_EQ(Take(m_Socks).size(), 3u + 255u);

    // 256 fails before anything is sent.
    m_Socks.SetInfo("news", 119, std::string(256, 'u'), "");
    m_Socks.OnConnect();
    Take(m_Socks);
    EXPECT_FALSE(Feed(m_Socks, {5, 2}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::Idle);
    EXPECT_EQ(m_Socks.PendingLength(), 0);
    EXPECT_NE(m_Logs.ErrorLog().find(
                  "SOCKS::DoProxyUserPassAuth(): Username or password larger than 255 bytes.\n"),
              std::string::npos);

    m_Socks.SetInfo("news", 119, "u", std::string(256, 'p'));
    m_Socks.OnConnect();
    Take(m_Socks);
    EXPECT_FALSE(Feed(m_Socks, {5, 2}));
}

TEST_F(SocksTest, LongestCredentialsFitTheOutputBuffer) {
    const std::string user(255, 'u');
    const std::string password(255, 'p');
    m_Socks.SetInfo("news", 119, user, password);
    m_Socks.OnConnect();
    Take(m_Socks);
    ASSERT_TRUE(Feed(m_Socks, {5, 2}));
    const Bytes request = Take(m_Socks);
    ASSERT_EQ(request.size(), 513u);
    EXPECT_EQ(request[0], 1);
    EXPECT_EQ(request[1], 255);
    EXPECT_EQ(request[257], 255);
    EXPECT_EQ(std::string(request.begin() + 258, request.end()), password);
}

TEST_F(SocksTest, DomainConnectRequest) {
    ReachConnectSent(m_Socks, "news.example", 119);
    Bytes expected = {5, 1, 0, 3, 12};
    expected = Concat(expected, "news.example");
    expected.push_back(0x00);
    expected.push_back(0x77);
    EXPECT_EQ(Take(m_Socks), expected);
}

TEST_F(SocksTest, IPv4ConnectRequest) {
    ReachConnectSent(m_Socks, "10.1.2.3", 563);
    EXPECT_EQ(Take(m_Socks), (Bytes{5, 1, 0, 1, 10, 1, 2, 3, 0x02, 0x33}));
}

TEST_F(SocksTest, IPv6AddressIsSentInItsOwnFormWithOrWithoutBrackets) {
    const Bytes expected = {5, 1, 0, 4, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0,
                            0, 0, 0, 0, 0, 0, 0, 0x07, 0x02, 0x33};
    for (const char* host : {"2001:db8::7", "[2001:db8::7]"}) {
        SOCKS socks;
        ReachConnectSent(socks, host, 563);
        EXPECT_EQ(Take(socks), expected) << host;
    }
    // A name with a colon-free form stays a name for the proxy to resolve.
    ReachConnectSent(m_Socks, "ip6-localhost", 119);
    EXPECT_EQ(Take(m_Socks)[3], 3);
}

TEST_F(SocksTest, BroadcastAddressIsSentAsName) {
    ReachConnectSent(m_Socks, "255.255.255.255", 119);
    const Bytes request = Take(m_Socks);
    ASSERT_EQ(request.size(), 7u + 15u);
    EXPECT_EQ(request[3], 3);
    EXPECT_EQ(request[4], 15);
}

TEST_F(SocksTest, OverlongDestinationFailsWithoutRequest) {
    m_Socks.SetInfo(std::string(256, 'h'), 119, "", "");
    m_Socks.OnConnect();
    Take(m_Socks);
    EXPECT_FALSE(Feed(m_Socks, {5, 0}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::ConnectSent);
    EXPECT_EQ(m_Socks.PendingLength(), 0);
}

TEST_F(SocksTest, RefusedMethodIsLoggedAsSignedByte) {
    m_Socks.SetInfo("news", 119, "", "");
    m_Socks.OnConnect();
    Take(m_Socks);
    EXPECT_FALSE(Feed(m_Socks, {5, 0xFF}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::Idle);
    EXPECT_NE(m_Logs.ErrorLog().find("SOCKS::OnRecieve: Unsupported authentication method: -1\n"),
              std::string::npos);
    EXPECT_EQ(m_Socks.FailureReason(),
              "Unsupported authentication method: the proxy accepts none of the methods offered "
              "(no proxy user name is set)");
    // The next attempt starts without the old reason.
    m_Socks.SetInfo("news", 119, "bob", "secret");
    EXPECT_EQ(m_Socks.FailureReason(), "");
    m_Socks.OnConnect();
    Take(m_Socks);
    EXPECT_FALSE(Feed(m_Socks, {5, 0xFF}));
    EXPECT_EQ(m_Socks.FailureReason(),
              "Unsupported authentication method: the proxy accepts none of the methods offered");
    m_Socks.OnConnect();
    Take(m_Socks);
    EXPECT_FALSE(Feed(m_Socks, {5, 1}));  // GSSAPI, which it never offered
    EXPECT_EQ(m_Socks.FailureReason(), "Unsupported authentication method 1");
}

TEST_F(SocksTest, RefusedCredentialsFail) {
    m_Socks.SetInfo("news", 119, "bob", "wrong");
    m_Socks.OnConnect();
    Take(m_Socks);
    ASSERT_TRUE(Feed(m_Socks, {5, 2}));
    Take(m_Socks);
    EXPECT_FALSE(Feed(m_Socks, {1, 1}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::Idle);
    EXPECT_NE(m_Logs.ErrorLog().find("SOCKS::OnRecieve: Proxy authentication failed.\n"),
              std::string::npos);
    EXPECT_EQ(m_Socks.FailureReason(), "Proxy authentication failed (status 1)");
}

TEST_F(SocksTest, ConnectReplyOutcomes) {
    ReachConnectSent(m_Socks, "news", 119);
    EXPECT_FALSE(Feed(m_Socks, {5, 5, 0, 1, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::Idle);
    EXPECT_EQ(m_Socks.TrailingCount(), 0);
    EXPECT_EQ(m_Socks.FailureReason(), "SOCKS5 reply 5: Connection refused");

    SOCKS other;
    ReachConnectSent(other, "news", 119);
    EXPECT_TRUE(Feed(other, kIPv4Reply));
    EXPECT_EQ(other.GetState(), SOCKS::Connected);
    EXPECT_TRUE(other.IsConnected());
    EXPECT_FALSE(other.IsNegotiating());
    EXPECT_EQ(other.TrailingCount(), 0);
    // Trace lines are off by default.
    EXPECT_FALSE(LogDirectory::Exists("log.txt"));
}

// Every reply code of the CONNECT reply in the words of the protocol's own description.
TEST_F(SocksTest, EveryConnectReplyCodeIsGivenInWords) {
    const std::vector<std::string> words = {
        "general SOCKS server failure", "connection not allowed by ruleset",
        "Network unreachable",          "Host unreachable",
        "Connection refused",           "TTL expired",
        "Command not supported",        "Address type not supported"};
    for (int code = 1; code <= 9; ++code) {
        SOCKS socks;
        ReachConnectSent(socks, "news", 119);
        EXPECT_FALSE(Feed(socks, {5, static_cast<unsigned char>(code), 0, 1, 0, 0, 0, 0, 0, 0}));
        const std::string text =
            code <= 8 ? words[static_cast<std::size_t>(code - 1)] : "unassigned reply code";
        EXPECT_EQ(socks.FailureReason(), "SOCKS5 reply " + std::to_string(code) + ": " + text);
    }
    EXPECT_STREQ(SOCKS::ReplyCodeText(255), "unassigned reply code");
}

TEST_F(SocksTest, BytesAfterConnectReplyAreReportedAsTunnelData) {
    ReachConnectSent(m_Socks, "news", 119);
    ASSERT_TRUE(Feed(m_Socks, Concat(kIPv4Reply, "200 ready\r\n")));
    EXPECT_EQ(m_Socks.TrailingOffset(), 10);
    EXPECT_EQ(m_Socks.TrailingCount(), 11);

    // A reply carrying a domain name as bound address ends after the name and port.
    SOCKS named;
    ReachConnectSent(named, "news", 119);
    Bytes reply = Concat({5, 0, 0, 3, 4}, "host");
    reply.push_back(0);
    reply.push_back(119);
    ASSERT_TRUE(Feed(named, Concat(reply, "200")));
    EXPECT_EQ(named.TrailingOffset(), 11);
    EXPECT_EQ(named.TrailingCount(), 3);

    SOCKS six;
    ReachConnectSent(six, "news", 119);
    Bytes reply6 = {5, 0, 0, 4};
    reply6.resize(4 + 16 + 2, 0);
    ASSERT_TRUE(Feed(six, Concat(reply6, "2")));
    EXPECT_EQ(six.TrailingOffset(), 22);
    EXPECT_EQ(six.TrailingCount(), 1);
}

TEST_F(SocksTest, RepliesSplitAcrossReadsAreAssembled) {
    m_Socks.SetInfo("news", 119, "bob", "pw");
    m_Socks.OnConnect();
    Take(m_Socks);
    EXPECT_TRUE(Feed(m_Socks, {5}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::MethodSent);
    EXPECT_EQ(m_Socks.PendingLength(), 0);
    EXPECT_TRUE(Feed(m_Socks, {2}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::AuthSent);
    Take(m_Socks);
    EXPECT_TRUE(Feed(m_Socks, {1}));
    EXPECT_TRUE(Feed(m_Socks, {0}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::ConnectSent);
    Take(m_Socks);

    EXPECT_TRUE(Feed(m_Socks, {5, 0, 0}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::ConnectSent);
    EXPECT_TRUE(Feed(m_Socks, {1, 127, 0, 0}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::ConnectSent);
    ASSERT_TRUE(Feed(m_Socks, Concat({1, 0, 119}, "20")));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::Connected);
    EXPECT_EQ(m_Socks.TrailingOffset(), 3);
    EXPECT_EQ(m_Socks.TrailingCount(), 2);
}

TEST_F(SocksTest, BlocksOutsideNegotiationAreIgnored) {
    EXPECT_TRUE(Feed(m_Socks, {5, 0xFF}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::Idle);
    m_Socks.SetInfo("news", 119, "", "");
    EXPECT_TRUE(Feed(m_Socks, {5, 0xFF}));
    EXPECT_EQ(m_Socks.GetState(), SOCKS::InfoSet);
    EXPECT_FALSE(LogDirectory::Exists("errorlog.txt"));
}

TEST(SocksTraceTest, TraceLinesAreWrittenVerbatimWhenSwitchedOn) {
    LogDirectory logs(true);
    SOCKS socks;
    socks.SetInfo("news", 119, "bob", "pw");
    socks.OnConnect();
    Take(socks);
    Feed(socks, {5, 2});
    Take(socks);
    Feed(socks, {1, 0});
    Take(socks);
    Feed(socks, {5, 0, 0, 1, 0, 0, 0, 0, 0, 0});
    const std::string trace = logs.TraceLog();
    for (const char* line : {
             "SOCKS::SetInfo: Connecting through proxy to \"news\", port 119, user \"bob\"\n",
             "SOCKS::OnConnect(): Sending user/pass method.\n",
             "SOCKS::OnRecieve: Server responded with METHOD(2)\n",
             "SOCKS::OnRecieve: Starting user/pass authentication\n",
             "SOCKS::DoProxyUserPassAuth(): Sent proxy user and password.\n",
             "SOCKS::OnRecieve: Successfully authenticated.\n",
             "SOCKS::Sent Domain CONNECT command.  Waiting for response.\n",
             "SOCKS::OnRecieve: Server responded with VER(5) REP(0) ATYP(1)\n",
             "REP == 0. SOCKS returning success",
         }) {
        EXPECT_NE(trace.find(line), std::string::npos) << line;
    }
}

}  // namespace
