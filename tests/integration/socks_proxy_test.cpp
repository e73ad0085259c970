// BaseSocket through real SOCKS5 proxies on loopback (dante without and with username/password,
// microsocks with username/password): the tunnel reaches the test's own listener by address and
// by name and carries data both ways; a wrong password, missing credentials or a refused
// destination end in OnConnect(11003), with the proxy's reason in words.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>

#include "Services.h"
#include "net/BaseSocket.h"
#include "unit/net/NetTestKit.h"

namespace {

using net_test::LoopbackPeer;
using net_test::RecordingSocket;

struct Proxy {
    const char* PortVariable;
    const char* UserVariable;  // null: the proxy asks for no credentials
    const char* PasswordVariable;
};

void PrintTo(const Proxy& proxy, std::ostream* out) {
    *out << proxy.PortVariable;
}

class SocksProxyTest : public ::testing::TestWithParam<Proxy> {
protected:
    void SetUp() override { ASSERT_TRUE(m_Library.Started()); }

    int ProxyPort() const { return std::atoi(services::Env(GetParam().PortVariable).c_str()); }
    std::string User() const {
        return GetParam().UserVariable ? services::Env(GetParam().UserVariable) : std::string();
    }
    std::string Password() const {
        return GetParam().PasswordVariable ? services::Env(GetParam().PasswordVariable)
                                           : std::string();
    }

    // Through the proxy to the peer at destination, then a greeting one way and a command the
    // other; the greeting is written before the client asks, as a news server does.
    void ExchangeThrough(const std::string& destination) {
        ASSERT_TRUE(m_Peer.Listening());
        RecordingSocket client;
        ASSERT_TRUE(client.Create());
        ASSERT_TRUE(client.Connect(destination, m_Peer.Port(), "127.0.0.1", ProxyPort(), User(),
                                   Password()));
        ASSERT_TRUE(PumpUntil([&] {
            if (m_Peer.TryAccept() && !m_Greeted) {
                m_Greeted = m_Peer.Write("200 loopback news ready\r\n");
            }
            return !client.Connects.empty() && client.Received.size() >= 25;
        })) << "connects: "
            << client.Connects.size() << ", received: " << client.Received;
        EXPECT_EQ(client.Connects, (std::vector<int>{0}));
        EXPECT_TRUE(client.ConnectedBeforeData);
        EXPECT_EQ(client.Received, "200 loopback news ready\r\n");

        const std::string command = "GROUP alt.binaries.test\r\n";
        ASSERT_EQ(client.Send(command.data(), static_cast<int>(command.size()), 0),
                  static_cast<int>(command.size()));
        ASSERT_TRUE(PumpUntil([&] { return m_Peer.Read() == command; }));

        const std::string block(100000, 'x');
        ASSERT_TRUE(m_Peer.Write(block));
        ASSERT_TRUE(PumpUntil([&] { return client.Received.size() >= 25 + block.size(); }));
        EXPECT_EQ(client.Received.substr(25), block);
        EXPECT_TRUE(client.Closes.empty());
    }

    // The error OnConnect reported; `reason` (when given) gets the socket's reason in words.
    int ConnectAndWaitForOutcome(const std::string& user, const std::string& password,
                                 int destinationPort, std::string* reason = nullptr) {
        RecordingSocket client;
        EXPECT_TRUE(client.Create());
        EXPECT_TRUE(
            client.Connect("127.0.0.1", destinationPort, "127.0.0.1", ProxyPort(), user, password));
        EXPECT_TRUE(PumpUntil([&] { return !client.Connects.empty(); }));
        EXPECT_EQ(client.Connects.size(), 1u);
        EXPECT_TRUE(client.Receives.empty());
        if (reason != nullptr) {
            *reason = client.LastConnectFailureReason();
        }
        return client.Connects.empty() ? 0 : client.Connects.front();
    }

    LeakCheck m_Leaks;  // first: destroyed last, after everything below
    SocketLibrary m_Library;
    LoopbackPeer m_Peer;
    bool m_Greeted = false;
};

TEST_P(SocksProxyTest, ReachesListenerByAddress) {
    REQUIRE_SERVICE(GetParam().PortVariable);
    ExchangeThrough("127.0.0.1");
}

TEST_P(SocksProxyTest, ReachesListenerByName) {
    REQUIRE_SERVICE(GetParam().PortVariable);
    ExchangeThrough("localhost");
}

TEST_P(SocksProxyTest, RefusedDestinationEndsInOwnFailure) {
    REQUIRE_SERVICE(GetParam().PortVariable);
    int closedPort = 0;
    {
        LoopbackPeer gone;
        closedPort = gone.Port();
    }
    std::string reason;
    EXPECT_EQ(ConnectAndWaitForOutcome(User(), Password(), closedPort, &reason),
              BaseSocket::kOwnFailure);
    EXPECT_EQ(reason, "SOCKS5 reply 5: Connection refused");
}

// Proxies that ask for a user name and password.
class SocksLoginProxyTest : public SocksProxyTest {};

TEST_P(SocksLoginProxyTest, WrongPasswordEndsInOwnFailure) {
    REQUIRE_SERVICE(GetParam().PortVariable);
    ASSERT_TRUE(m_Peer.Listening());
    std::string reason;
    EXPECT_EQ(ConnectAndWaitForOutcome(User(), Password() + "-wrong", m_Peer.Port(), &reason),
              BaseSocket::kOwnFailure);
    EXPECT_FALSE(m_Peer.TryAccept());
    // dante answers status 1, microsocks 2.
    EXPECT_EQ(reason.rfind("Proxy authentication failed (status ", 0), 0u) << reason;
}

TEST_P(SocksLoginProxyTest, NoCredentialsForAProxyThatWantsThemIsSaidSo) {
    REQUIRE_SERVICE(GetParam().PortVariable);
    ASSERT_TRUE(m_Peer.Listening());
    std::string reason;
    EXPECT_EQ(ConnectAndWaitForOutcome("", "", m_Peer.Port(), &reason), BaseSocket::kOwnFailure);
    EXPECT_FALSE(m_Peer.TryAccept());
    EXPECT_EQ(reason,
              "Unsupported authentication method: the proxy accepts none of the methods offered "
              "(no proxy user name is set)");
}

std::string ProxyName(const ::testing::TestParamInfo<Proxy>& info) {
    std::string name;
    for (const char* c = info.param.PortVariable + 7; *c != '\0'; ++c) {  // after "ZODIVA_"
        if (*c != '_') {
            name += *c;
        }
    }
    return name;
}

const Proxy kDante{"ZODIVA_DANTE_PORT", nullptr, nullptr};
const Proxy kDanteLogin{"ZODIVA_DANTE_AUTH_PORT", "ZODIVA_DANTE_USER", "ZODIVA_DANTE_PASS"};
const Proxy kMicrosocks{"ZODIVA_MICROSOCKS_PORT", nullptr, nullptr};
const Proxy kMicrosocksLogin{"ZODIVA_MICROSOCKS_AUTH_PORT", "ZODIVA_MICROSOCKS_USER",
                             "ZODIVA_MICROSOCKS_PASS"};

INSTANTIATE_TEST_SUITE_P(Proxies, SocksProxyTest,
                         ::testing::Values(kDante, kDanteLogin, kMicrosocks, kMicrosocksLogin),
                         ProxyName);
INSTANTIATE_TEST_SUITE_P(Proxies, SocksLoginProxyTest,
                         ::testing::Values(kDanteLogin, kMicrosocksLogin), ProxyName);

}  // namespace
