// The asynchronous socket over real loopback connections: direct and proxied connects, name
// lookups, stale notifications, and what the derived class gets to see. The proxy is played
// by the test itself, byte by byte, so every reply shape can be tried.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "LogDirectory.h"
#include "NetTestKit.h"
#include "net/BaseSocket.h"
#include "platform/LeakCounts.h"
#include "common/TestClock.h"

namespace {

using net_test::kIPv4Success;
using net_test::LoopbackPeer;
using net_test::RecordingSocket;

TEST(DottedQuadTest, OnlyDigitsWithThreeDotsCount) {
    EXPECT_TRUE(BaseSocket::IsDottedQuad("10.0.0.1"));
    EXPECT_TRUE(BaseSocket::IsDottedQuad("999.1.2.3"));  // ranges are not checked
    EXPECT_TRUE(BaseSocket::IsDottedQuad("..."));
    EXPECT_FALSE(BaseSocket::IsDottedQuad("news"));
    EXPECT_FALSE(BaseSocket::IsDottedQuad("1.2.3"));
    EXPECT_FALSE(BaseSocket::IsDottedQuad("1.2.3.4.5"));
    EXPECT_FALSE(BaseSocket::IsDottedQuad("1.2.3.4a"));
    EXPECT_FALSE(BaseSocket::IsDottedQuad("a1.2.3.4"));
    EXPECT_FALSE(BaseSocket::IsDottedQuad(""));
    EXPECT_FALSE(BaseSocket::IsDottedQuad(nullptr));
}

class BaseSocketTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_Library.Started()); }

    // Connects m_Client straight to the peer and accepts the connection.
    void ConnectDirectly(const std::string& host) {
        ASSERT_TRUE(m_Peer.Listening());
        ASSERT_TRUE(m_Client->Create());
        ASSERT_TRUE(m_Client->Connect(host, m_Peer.Port(), "", 0, "", ""));
        ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept() && !m_Client->Connects.empty(); }));
        ASSERT_EQ(m_Client->Connects, (std::vector<int>{0}));
    }

    // Connects m_Client to the peer as its proxy and answers the method request with "none".
    void StartProxiedConnect(const std::string& user = "", const std::string& password = "") {
        ASSERT_TRUE(m_Client->Create());
        ASSERT_TRUE(
            m_Client->Connect("news.example", 119, "127.0.0.1", m_Peer.Port(), user, password));
        ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept() && m_Peer.Read().size() >= 3; }));
    }

    void AnswerMethodNone() {
        ASSERT_EQ(m_Peer.Read(), std::string("\x05\x01\x00", 3));
        m_Peer.ClearInbox();
        ASSERT_TRUE(m_Peer.Write(std::string("\x05\x00", 2)));
        ASSERT_TRUE(PumpUntil([&] { return m_Peer.Read().size() >= 7 + 12; }));
        EXPECT_EQ(m_Peer.Read(), std::string("\x05\x01\x00\x03\x0cnews.example\x00\x77", 19));
        m_Peer.ClearInbox();
    }

    LeakCheck m_Leaks;  // first: destroyed last, after everything below
    LogDirectory m_Logs;
    SocketLibrary m_Library;
    LoopbackPeer m_Peer;
    std::unique_ptr<RecordingSocket> m_Client = std::make_unique<RecordingSocket>();
};

TEST_F(BaseSocketTest, FreshObjectHasAWindowAndNothingToClose) {
    EXPECT_NE(m_Client->GetWindowHandle(), nullptr);
    EXPECT_EQ(m_Client->GetSocketHandle(), INVALID_SOCKET);
    EXPECT_EQ(m_Client->Close(), 0);
    EXPECT_EQ(m_Client->GetSocketHandle(), INVALID_SOCKET);
    EXPECT_FALSE(m_Client->IsLookupPending());
}

// Takes the hidden windows' class name with a procedure that refuses every window, so that
// the objects made meanwhile have none; gives the name back when it goes.
class WindowsRefused {
public:
    WindowsRefused() {
        m_Previous = platform::SetMessageBoxHandler([](HWND, LPCSTR, LPCSTR, UINT) { return IDOK; });
        HiddenWindow::RegisterWindowClass();
        UnregisterClassA(HiddenWindow::kWindowClassName, GetModuleHandleA(nullptr));
        HiddenWindow::ForgetClassRegistration();
        WNDCLASSEXA refusing = {};
        refusing.cbSize = sizeof refusing;
        refusing.lpfnWndProc = &Refuse;
        refusing.lpszClassName = HiddenWindow::kWindowClassName;
        RegisterClassExA(&refusing);
    }
    ~WindowsRefused() {
        UnregisterClassA(HiddenWindow::kWindowClassName, GetModuleHandleA(nullptr));
        platform::SetMessageBoxHandler(std::move(m_Previous));
    }

private:
    static LRESULT CALLBACK Refuse(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
        return message == WM_NCCREATE ? FALSE : DefWindowProcA(hwnd, message, wParam, lParam);
    }
    platform::MessageBoxHandler m_Previous;
};

// An object whose window could not be made fails its connects (no notifications can reach
// it); closing its socket must leave the notifications queued for other objects alone.
TEST_F(BaseSocketTest, ASocketWithoutAWindowNeverDropsAnotherObjectsNotifications) {
    const HWND other = m_Client->GetWindowHandle();
    ASSERT_TRUE(PostMessageA(other, BaseSocket::kMsgSocketEvent, 1234, MAKELONG(FD_READ, 0)));
    std::unique_ptr<RecordingSocket> windowless;
    {
        WindowsRefused refused;
        windowless = std::make_unique<RecordingSocket>();
    }
    ASSERT_EQ(windowless->GetWindowHandle(), nullptr);
    // A socket whose events could reach nobody is not kept.
    EXPECT_FALSE(windowless->Create());
    EXPECT_EQ(windowless->GetSocketHandle(), INVALID_SOCKET);
    EXPECT_FALSE(windowless->Connect("127.0.0.1", m_Peer.Port(), "", 0, "", ""));
    ASSERT_EQ(windowless->Connects.size(), 1u);
    EXPECT_NE(windowless->Connects[0], 0);
    EXPECT_EQ(windowless->GetSocketHandle(), INVALID_SOCKET);
    windowless.reset();

    MSG queued;
    EXPECT_TRUE(PeekMessageA(&queued, other, BaseSocket::kMsgSocketEvent,
                             BaseSocket::kMsgSocketEvent, PM_REMOVE));
}

TEST_F(BaseSocketTest, CreateOnAPortInUseFailsAndKeepsNoSocket) {
    EXPECT_FALSE(m_Client->Create(m_Peer.Port()));
    EXPECT_EQ(WSAGetLastError(), WSAEADDRINUSE);
    EXPECT_EQ(m_Client->GetSocketHandle(), INVALID_SOCKET);
    EXPECT_TRUE(m_Client->Create());
}

TEST_F(BaseSocketTest, DirectConnectionByAddressCarriesDataBothWays) {
    ConnectDirectly("127.0.0.1");
    EXPECT_FALSE(m_Client->IsUsingProxy());
    const std::string command = "GROUP alt.binaries.test\r\n";
    EXPECT_EQ(m_Client->Send(command.data(), static_cast<int>(command.size()), 0),
              static_cast<int>(command.size()));
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.Read() == command; }));

    ASSERT_TRUE(m_Peer.Write("211 3 1 3 alt.binaries.test\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received.size() >= 29; }));
    EXPECT_EQ(m_Client->Received, "211 3 1 3 alt.binaries.test\r\n");
    EXPECT_TRUE(m_Client->Closes.empty());

    m_Peer.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Closes.empty(); }));
    EXPECT_EQ(m_Client->Closes, (std::vector<int>{0}));
}

TEST_F(BaseSocketTest, ConnectionByNameIsLookedUpFirst) {
    ASSERT_TRUE(m_Client->Create());
    ASSERT_TRUE(m_Client->Connect("localhost", m_Peer.Port(), "", 0, "", ""));
    EXPECT_TRUE(m_Client->IsLookupPending());
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept() && !m_Client->Connects.empty(); }));
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{0}));
    EXPECT_FALSE(m_Client->IsLookupPending());
}

TEST_F(BaseSocketTest, RefusedConnectIsReportedOnce) {
    int closedPort = 0;
    {
        LoopbackPeer gone;
        closedPort = gone.Port();
    }
    ASSERT_TRUE(m_Client->Create());
    ASSERT_TRUE(m_Client->Connect("127.0.0.1", closedPort, "", 0, "", ""));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{WSAECONNREFUSED}));
}

TEST_F(BaseSocketTest, NameThatDoesNotResolveEndsInOnConnectWithTheError) {
    ASSERT_TRUE(m_Client->Create());
    ASSERT_TRUE(m_Client->Connect("no-such-host.invalid", 119, "", 0, "", ""));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    ASSERT_EQ(m_Client->Connects.size(), 1u);
    EXPECT_GE(m_Client->Connects[0], WSAHOST_NOT_FOUND);
    EXPECT_LE(m_Client->Connects[0], WSANO_DATA);
}

TEST_F(BaseSocketTest, LookupResultAfterCloseOrForAnOlderLookupIsIgnored) {
    ASSERT_TRUE(m_Client->Create());
    ASSERT_TRUE(m_Client->Connect("localhost", m_Peer.Port(), "", 0, "", ""));
    ASSERT_TRUE(m_Client->IsLookupPending());
    // A result carrying another task handle is not the pending lookup's. Delivered straight
    // to the window, so that the real lookup, which may finish at any moment, is not pumped.
    SendMessageA(m_Client->GetWindowHandle(), BaseSocket::kMsgLookupDone, 0x7fff0001, 0);
    EXPECT_TRUE(m_Client->Connects.empty());
    EXPECT_TRUE(m_Client->IsLookupPending());

    EXPECT_EQ(m_Client->Close(), 0);
    EXPECT_FALSE(m_Client->IsLookupPending());
    EXPECT_EQ(platform::PendingLookupCount(), 0u);

    // A second object's lookup of the same name completes; the cancelled one never reports.
    RecordingSocket witness;
    ASSERT_TRUE(witness.Connect("localhost", m_Peer.Port(), "", 0, "", ""));
    ASSERT_TRUE(PumpUntil([&] { return !witness.Connects.empty(); }));
    DispatchPending();
    EXPECT_TRUE(m_Client->Connects.empty());
    EXPECT_EQ(m_Client->GetSocketHandle(), INVALID_SOCKET);
}

TEST_F(BaseSocketTest, NewerConnectByAddressOutranksAPendingLookup) {
    ASSERT_TRUE(m_Client->Connect("localhost", m_Peer.Port(), "", 0, "", ""));
    ASSERT_TRUE(m_Client->IsLookupPending());
    ASSERT_TRUE(m_Client->Connect("127.0.0.1", m_Peer.Port(), "", 0, "", ""));
    EXPECT_FALSE(m_Client->IsLookupPending());
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept() && !m_Client->Connects.empty(); }));
    // Had the lookup completed, it would have dialled again and reported a second time.
    RecordingSocket witness;
    ASSERT_TRUE(witness.Connect("localhost", m_Peer.Port(), "", 0, "", ""));
    ASSERT_TRUE(PumpUntil([&] { return !witness.Connects.empty(); }));
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{0}));
}

// A notification naming another socket is about one this object closed earlier, whose
// number Windows may since have given to another connection's socket (played here by a socket
// of the test's own): nothing happens to either.
TEST_F(BaseSocketTest, NotificationsForAnotherSocketLeaveBothSocketsAlone) {
    ConnectDirectly("127.0.0.1");
    const SOCKET current = m_Client->GetSocketHandle();
    const SOCKET stale = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(stale, INVALID_SOCKET);
    const HWND window = m_Client->GetWindowHandle();
    PostMessageA(window, BaseSocket::kMsgSocketEvent, stale, WSAMAKESELECTREPLY(FD_READ, 0));
    PostMessageA(window, BaseSocket::kMsgSocketEvent, stale, WSAMAKESELECTREPLY(FD_CONNECT, 0));
    PostMessageA(window, BaseSocket::kMsgSocketEvent, stale, WSAMAKESELECTREPLY(FD_CLOSE, 0));
    DispatchPending();
    EXPECT_EQ(m_Client->GetSocketHandle(), current);
    EXPECT_TRUE(m_Client->Closes.empty());
    EXPECT_TRUE(m_Client->Receives.empty());
    EXPECT_EQ(m_Client->Connects.size(), 1u);
    EXPECT_EQ(closesocket(stale), 0) << "the other socket was closed";

    ASSERT_TRUE(m_Peer.Write("still here\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received == "still here\r\n"; }));
}

TEST_F(BaseSocketTest, ReadNotificationWithNothingToReadIsIgnored) {
    ConnectDirectly("127.0.0.1");
    PostMessageA(m_Client->GetWindowHandle(), BaseSocket::kMsgSocketEvent,
                 m_Client->GetSocketHandle(), WSAMAKESELECTREPLY(FD_READ, 0));
    DispatchPending();
    EXPECT_TRUE(m_Client->Receives.empty());
    // An error, though, is passed on even with nothing to read.
    PostMessageA(m_Client->GetWindowHandle(), BaseSocket::kMsgSocketEvent,
                 m_Client->GetSocketHandle(), WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET));
    DispatchPending();
    EXPECT_EQ(m_Client->Receives, (std::vector<int>{WSAECONNRESET}));
}

TEST_F(BaseSocketTest, CloseForgetsTheSocketAndNoNotificationFollows) {
    ConnectDirectly("127.0.0.1");
#ifndef _WIN32  // the socket count is our layer's; Windows keeps none
    const size_t openBefore = platform::OpenSocketCount();
#endif
    ASSERT_TRUE(m_Peer.Write("data the client will never see\r\n"));
    EXPECT_EQ(m_Client->Close(), 0);
    EXPECT_EQ(m_Client->GetSocketHandle(), INVALID_SOCKET);
#ifndef _WIN32
    EXPECT_EQ(platform::OpenSocketCount(), openBefore - 1);
#endif
    m_Peer.CloseConnection();
    // Give the (dropped) notifications every chance to arrive.
    RecordingSocket witness;
    ASSERT_TRUE(witness.Connect("localhost", 1, "", 0, "", ""));
    ASSERT_TRUE(PumpUntil([&] { return !witness.Connects.empty(); }));
    EXPECT_TRUE(m_Client->Receives.empty());
    EXPECT_TRUE(m_Client->Closes.empty());
}

// Notifications already queued when the socket closes are dropped with it: on Windows the
// next socket made may carry the same number and would take them as its own.
TEST_F(BaseSocketTest, CloseDropsTheNotificationsQueuedForTheClosedSocket) {
    ConnectDirectly("127.0.0.1");
    const HWND window = m_Client->GetWindowHandle();
    const auto closed = static_cast<WPARAM>(m_Client->GetSocketHandle());
    PostMessageA(window, BaseSocket::kMsgSocketEvent, closed, WSAMAKESELECTREPLY(FD_READ, 0));
    PostMessageA(window, BaseSocket::kMsgSocketEvent, closed, WSAMAKESELECTREPLY(FD_CLOSE, 0));
    PostMessageA(window, WM_USER, 0, 0);  // anything else stays queued
    EXPECT_EQ(m_Client->Close(), 0);
    MSG left;
    EXPECT_FALSE(PeekMessageA(&left, window, BaseSocket::kMsgSocketEvent,
                              BaseSocket::kMsgSocketEvent, PM_NOREMOVE));
    EXPECT_TRUE(PeekMessageA(&left, window, WM_USER, WM_USER, PM_REMOVE));
}

// A new dial closes the socket it replaces the same way Close does: what was queued for the
// old socket must not reach the new one, which on Windows may carry the same number.
TEST_F(BaseSocketTest, ANewDialDropsTheNotificationsQueuedForTheSocketItReplaces) {
    ConnectDirectly("127.0.0.1");
    const HWND window = m_Client->GetWindowHandle();
    const auto replaced = static_cast<WPARAM>(m_Client->GetSocketHandle());
    PostMessageA(window, BaseSocket::kMsgSocketEvent, replaced, WSAMAKESELECTREPLY(FD_READ, 0));
    PostMessageA(window, BaseSocket::kMsgSocketEvent, replaced, WSAMAKESELECTREPLY(FD_CLOSE, 0));
    ASSERT_TRUE(m_Client->Connect("127.0.0.1", m_Peer.Port(), "", 0, "", ""));
    // Windows may give the new socket the replaced one's number (the reason they are dropped);
    // the new socket's own notifications can then only be about its connect, since the peer
    // has sent nothing on it.
    MSG left;
    while (PeekMessageA(&left, window, BaseSocket::kMsgSocketEvent, BaseSocket::kMsgSocketEvent,
                        PM_REMOVE)) {
        if (left.wParam == replaced) {
            const int event = WSAGETSELECTEVENT(left.lParam);
            EXPECT_TRUE(event == FD_CONNECT || event == FD_WRITE) << "event " << event;
        }
    }
}

// A handler that starts a new attempt from inside a notification of the old one: what the
// old attempt still had to do (end its handshake with the read error) must not land on the
// new attempt, whose proxy handshake has not even begun.
TEST_F(BaseSocketTest, WorkOfAReplacedAttemptDoesNotReachTheAttemptThatReplacedIt) {
    class Redialler : public RecordingSocket {
    public:
        int ProxyPort = 0;
        void OnReceive(int error) override {
            RecordingSocket::OnReceive(error);
            if (error != 0 && Receives.size() == 1) {
                Close();
                Connect("news.example", 119, "127.0.0.1", ProxyPort, "", "");
            }
        }
    };
    auto client = std::make_unique<Redialler>();
    client->ProxyPort = m_Peer.Port();
    ASSERT_TRUE(client->Connect("news.example", 119, "127.0.0.1", m_Peer.Port(), "", ""));
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept() && m_Peer.Read().size() >= 3; }));
    PostMessageA(client->GetWindowHandle(), BaseSocket::kMsgSocketEvent, client->GetSocketHandle(),
                 WSAMAKESELECTREPLY(FD_READ, WSAECONNRESET));
    DispatchPending();
    EXPECT_EQ(client->Receives, (std::vector<int>{WSAECONNRESET}));
    EXPECT_TRUE(client->Connects.empty());
    EXPECT_TRUE(client->IsUsingProxy());
}

TEST_F(BaseSocketTest, DeletingTheObjectReleasesSocketAndLookup) {
#ifndef _WIN32
    const size_t socketsBefore = platform::OpenSocketCount();
#endif
    ASSERT_TRUE(m_Client->Create());
    ASSERT_TRUE(m_Client->Connect("localhost", m_Peer.Port(), "", 0, "", ""));
    m_Client.reset();
#ifndef _WIN32
    EXPECT_EQ(platform::OpenSocketCount(), socketsBefore);
#endif
    EXPECT_EQ(platform::PendingLookupCount(), 0u);
    DispatchPending();  // nothing may reach the deleted object
}

TEST_F(BaseSocketTest, NoTraceLinesWithoutProxyEvenWhenTracing) {
    SocketTraceLog = 1;
    ConnectDirectly("127.0.0.1");
    ASSERT_TRUE(m_Peer.Write("200 hello\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Received.empty(); }));
    EXPECT_FALSE(LogDirectory::Exists("log.txt"));
}

TEST_F(BaseSocketTest, ProxiedConnectIsHiddenUntilTheTunnelIsOpen) {
    StartProxiedConnect();
    EXPECT_TRUE(m_Client->IsUsingProxy());
    EXPECT_TRUE(m_Client->Connects.empty());
    AnswerMethodNone();
    EXPECT_TRUE(m_Client->Connects.empty());
    ASSERT_TRUE(m_Peer.Write(kIPv4Success));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{0}));
    EXPECT_TRUE(m_Client->Receives.empty());

    ASSERT_TRUE(m_Peer.Write("200 news\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received == "200 news\r\n"; }));
    const std::string command = "HEAD 3\r\n";
    m_Client->Send(command.data(), static_cast<int>(command.size()), 0);
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.Read() == command; }));
}

TEST_F(BaseSocketTest, GreetingInTheSameReadAsTheProxyReplyIsHandedOn) {
    StartProxiedConnect();
    AnswerMethodNone();
    ASSERT_TRUE(m_Peer.Write(kIPv4Success + "200 fast server ready\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Received.empty(); }));
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{0}));
    EXPECT_TRUE(m_Client->ConnectedBeforeData);
    EXPECT_EQ(m_Client->Received, "200 fast server ready\r\n");
}

TEST_F(BaseSocketTest, LeftoverTunnelBytesAreServedInTheReadersChunks) {
    m_Client->ReceiveChunk = 5;
    StartProxiedConnect();
    AnswerMethodNone();
    ASSERT_TRUE(m_Peer.Write(kIPv4Success + "200 ready\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received.size() >= 11; }));
    EXPECT_EQ(m_Client->Received, "200 ready\r\n");
    ASSERT_TRUE(m_Peer.Write("more\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return m_Client->Received.size() >= 17; }));
    EXPECT_EQ(m_Client->Received, "200 ready\r\nmore\r\n");
}

TEST_F(BaseSocketTest, CredentialsAreNegotiatedWhenTheProxyAsksForThem) {
    StartProxiedConnect("bob", "pw");
    EXPECT_EQ(m_Peer.Read(), std::string("\x05\x02\x00\x02", 4));
    m_Peer.ClearInbox();
    ASSERT_TRUE(m_Peer.Write(std::string("\x05\x02", 2)));
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.Read().size() >= 8; }));
    EXPECT_EQ(m_Peer.Read(), std::string("\x01\x03"
                                         "bob\x02"
                                         "pw",
                                         8));
    m_Peer.ClearInbox();
    ASSERT_TRUE(m_Peer.Write(std::string("\x01\x01", 2)));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
}

TEST_F(BaseSocketTest, RefusedDestinationEndsInOwnFailure) {
    StartProxiedConnect();
    AnswerMethodNone();
    ASSERT_TRUE(m_Peer.Write(std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10)));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    EXPECT_TRUE(m_Client->Receives.empty());
}

TEST_F(BaseSocketTest, ProxyHangingUpMidHandshakeEndsTheAttempt) {
    StartProxiedConnect();
    AnswerMethodNone();
    m_Peer.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    EXPECT_TRUE(m_Client->Closes.empty());
}

TEST_F(BaseSocketTest, HandshakeFailureIsReportedOnceAndALaterHangUpIsAClose) {
    ASSERT_TRUE(m_Client->Connect(std::string(256, 'h'), 119, "127.0.0.1", m_Peer.Port(), "", ""));
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept() && m_Peer.Read().size() >= 3; }));
    ASSERT_TRUE(m_Peer.Write(std::string("\x05\x00", 2)));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
    m_Peer.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Closes.empty(); }));
    EXPECT_EQ(m_Client->Connects.size(), 1u);
}

TEST_F(BaseSocketTest, ProxyGivenByNameIsResolvedAndDialledAtItsPort) {
    ASSERT_TRUE(m_Client->Create());
    ASSERT_TRUE(m_Client->Connect("10.1.2.3", 563, "localhost", m_Peer.Port(), "", ""));
    EXPECT_TRUE(m_Client->IsLookupPending());
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.TryAccept() && m_Peer.Read().size() >= 3; }));
    m_Peer.ClearInbox();
    ASSERT_TRUE(m_Peer.Write(std::string("\x05\x00", 2)));
    ASSERT_TRUE(PumpUntil([&] { return m_Peer.Read().size() >= 10; }));
    EXPECT_EQ(m_Peer.Read(), std::string("\x05\x01\x00\x01\x0a\x01\x02\x03\x02\x33", 10));
}

TEST_F(BaseSocketTest, ProxyTraceLinesWhenTracing) {
    SocketTraceLog = 1;
    StartProxiedConnect();
    AnswerMethodNone();
    ASSERT_TRUE(m_Peer.Write(kIPv4Success));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    ASSERT_TRUE(m_Peer.Write("200 x\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Received.empty(); }));
    const std::string trace = m_Logs.TraceLog();
    const std::string socket = std::to_string(m_Client->GetSocketHandle());
    for (const std::string& line : {
             ": " + socket + " Sending 2 bytes to SOCKS5 class\n",
             std::string("BaseSocket::OnReceive: Sending proxy response.\n"),
             std::string("BaseSocket: Proxy is not connected yet\n"),
             ": " + socket + " Sending 10 bytes to SOCKS5 class\n",
             std::string("BaseSocket: Proxy is connected. Triggering OnConnect(0)\n"),
             ": " + socket + " Sending 7 bytes to DUZid socket\n",
         }) {
        EXPECT_NE(trace.find(line), std::string::npos) << line;
    }
}

// The handshake's time-out runs on the test clock; its check comes every few milliseconds
// here instead of at the engine's tick.
class HandshakeTimeoutTest : public BaseSocketTest {
protected:
    void SetUp() override {
        BaseSocketTest::SetUp();
        m_Client->SetHandshakeCheckPeriod(5);
    }

    // Lets several checks pass; true when the attempt has ended meanwhile.
    bool EndsWithinAFewChecks() {
        return PumpUntil([&] { return !m_Client->Connects.empty(); },
                         std::chrono::milliseconds(100));
    }

    // Moves the clock to just past the limit: nothing at the limit, failure one second after.
    void ExpectFailureJustAfterTheLimit() {
        EXPECT_TRUE(m_Client->IsHandshakeClockRunning());
        m_Clock.AdvanceSeconds(BaseSocket::kHandshakeTimeoutSeconds);
        EXPECT_FALSE(EndsWithinAFewChecks());
        m_Clock.AdvanceSeconds(1);
        ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
        DispatchPending();
        EXPECT_EQ(m_Client->Connects, (std::vector<int>{BaseSocket::kOwnFailure}));
        EXPECT_FALSE(m_Client->IsHandshakeClockRunning());
        EXPECT_NE(m_Logs.ErrorLog().find("handshake with \"news.example\" timed out"),
                  std::string::npos);
    }

    TestClock m_Clock;
};

TEST_F(HandshakeTimeoutTest, HalfAMethodReplyEndsAtTheReceiveTimeout) {
    StartProxiedConnect();
    ASSERT_TRUE(m_Peer.Write(std::string("\x05", 1)));
    EXPECT_FALSE(EndsWithinAFewChecks());
    ExpectFailureJustAfterTheLimit();
}

TEST_F(HandshakeTimeoutTest, HalfAConnectReplyEndsAtTheReceiveTimeout) {
    StartProxiedConnect();
    AnswerMethodNone();
    ASSERT_TRUE(m_Peer.Write(kIPv4Success.substr(0, 6)));
    EXPECT_FALSE(EndsWithinAFewChecks());
    ExpectFailureJustAfterTheLimit();
}

TEST_F(HandshakeTimeoutTest, AnOpenTunnelIsNoLongerTimed) {
    StartProxiedConnect();
    AnswerMethodNone();
    ASSERT_TRUE(m_Peer.Write(kIPv4Success));
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Connects.empty(); }));
    EXPECT_FALSE(m_Client->IsHandshakeClockRunning());
    m_Clock.AdvanceSeconds(10 * BaseSocket::kHandshakeTimeoutSeconds);
    EXPECT_FALSE(PumpUntil([&] { return m_Client->Connects.size() > 1; },
                           std::chrono::milliseconds(100)));
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{0}));
}

TEST_F(BaseSocketTest, GreetingOfAServerThatClosesAtOnceIsReadBeforeTheClose) {
    StartProxiedConnect();
    AnswerMethodNone();
    ASSERT_TRUE(m_Peer.Write(kIPv4Success + "502 go away\r\n"));
    m_Peer.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Closes.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->Connects, (std::vector<int>{0}));
    EXPECT_EQ(m_Client->ReceivedAtClose, "502 go away\r\n");
    EXPECT_EQ(m_Client->Closes, (std::vector<int>{0}));
}

TEST_F(BaseSocketTest, CloseWaitsUntilTheKeptBytesAreReadInSmallChunks) {
    m_Client->ReceiveChunk = 4;
    StartProxiedConnect();
    AnswerMethodNone();
    ASSERT_TRUE(m_Peer.Write(kIPv4Success + "502 go away\r\n"));
    m_Peer.CloseConnection();
    ASSERT_TRUE(PumpUntil([&] { return !m_Client->Closes.empty(); }));
    DispatchPending();
    EXPECT_EQ(m_Client->ReceivedAtClose, "502 go away\r\n");
    EXPECT_EQ(m_Client->Closes.size(), 1u);
}

}  // namespace
