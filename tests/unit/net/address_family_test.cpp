// Connecting over IPv6 and across address families: literals with and without brackets, and a
// name whose first address does not answer, all within one connect attempt.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "LogDirectory.h"
#include "NetTestKit.h"
#include "net/BaseSocket.h"

namespace {

using net_test::RecordingSocket;

// Listens on ::1.
class LoopbackPeer6 : public net_test::LoopbackPeer {
public:
    LoopbackPeer6() : LoopbackPeer(true) {}
};

class AddressFamilyTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_Library.Started());
        if (m_Peer6.Port() == 0) {
            GTEST_SKIP() << "no IPv6 loopback on this machine";
        }
    }
    LeakCheck m_Leaks;  // first: destroyed last, after everything below
    LogDirectory m_Logs;
    SocketLibrary m_Library;
    LoopbackPeer6 m_Peer6;
    std::unique_ptr<RecordingSocket> m_Client = std::make_unique<RecordingSocket>();
};

TEST_F(AddressFamilyTest, IPv6LiteralIsDialledOverIPv6WithoutLookup) {
    for (const std::string host : {"::1", "[::1]"}) {
        LoopbackPeer6 peer;
        RecordingSocket client;
        ASSERT_TRUE(client.Create());
        ASSERT_TRUE(client.Connect(host, peer.Port(), "", 0, "", ""));
        EXPECT_FALSE(client.IsLookupPending()) << host;
        ASSERT_TRUE(PumpUntil([&] { return peer.TryAccept() && !client.Connects.empty(); }));
        EXPECT_EQ(client.Connects, (std::vector<int>{0})) << host;
        EXPECT_TRUE(peer.PeerIsIPv6());
        EXPECT_EQ(client.GetHost(), "::1");
        ASSERT_TRUE(peer.Write("200 over six\r\n"));
        ASSERT_TRUE(PumpUntil([&] { return client.Received == "200 over six\r\n"; }));
    }
}

// Dials a list of addresses as a finished lookup would hand it over.
class ListDialler : public RecordingSocket {
public:
    bool Dial(const std::vector<std::string>& addresses, int port) {
        platform::HostAddressList list = {};
        for (const std::string& text : addresses) {
            SOCKADDR_STORAGE& slot = list.addresses[list.count++];
            if (text.find(':') != std::string::npos) {
                sockaddr_in6 address = {};
                address.sin6_family = AF_INET6;
                inet_pton(AF_INET6, text.c_str(), &address.sin6_addr);
                std::memcpy(&slot, &address, sizeof address);
            } else {
                sockaddr_in address = {};
                address.sin_family = AF_INET;
                address.sin_addr.s_addr = inet_addr(text.c_str());
                std::memcpy(&slot, &address, sizeof address);
            }
        }
        SetConnectPort(port);
        return ConnectToAddresses(list);
    }
};

TEST_F(AddressFamilyTest, AddressesAreTriedInOrderWithinOneAttempt) {
    ListDialler client;
    // Nothing listens on 127.0.0.1 at the IPv6 listener's port (most likely): refused, then ::1.
    ASSERT_TRUE(client.Dial({"127.0.0.1", "::1"}, m_Peer6.Port()));
    ASSERT_TRUE(PumpUntil([&] { return m_Peer6.TryAccept() && !client.Connects.empty(); }));
    DispatchPending();
    EXPECT_EQ(client.Connects, (std::vector<int>{0}));
    EXPECT_TRUE(m_Peer6.PeerIsIPv6());
}

TEST_F(AddressFamilyTest, EveryAddressRefusedIsOneFailure) {
    int closedPort = 0;
    {
        LoopbackPeer6 gone;
        closedPort = gone.Port();
    }
    ASSERT_TRUE(m_Client->Create());
    ASSERT_TRUE(m_Client->Connect("localhost", closedPort, "", 0, "", ""));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{WSAECONNREFUSED}));
}

TEST(AddressLookupTest, NumericNamesOfBothFamiliesResolve) {
    SocketLibrary library;
    ASSERT_TRUE(library.Started());
    RecordingSocket window;  // any window of this thread takes the result
    for (const auto& [name, family] : {std::pair<const char*, int>{"::1", AF_INET6},
                                       std::pair<const char*, int>{"127.0.0.1", AF_INET}}) {
        platform::HostAddressList list = {};
        HANDLE task = platform::AsyncGetHostAddresses(window.GetWindowHandle(), WM_APP + 77,
                                                      name, &list);
        ASSERT_NE(task, nullptr);
        MSG msg = {};
        bool arrived = false;
        for (int i = 0; i < 10000 && !arrived; ++i) {
            while (!arrived && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                arrived = msg.message == WM_APP + 77;
                if (!arrived) {
                    DispatchMessageA(&msg);
                }
            }
            if (!arrived) {
                Sleep(1);
            }
        }
        ASSERT_TRUE(arrived) << name;
        EXPECT_EQ(WSAGETASYNCERROR(msg.lParam), 0);
        ASSERT_EQ(list.count, 1) << name;
        EXPECT_EQ(list.addresses[0].ss_family, family) << name;
    }
}

}  // namespace
