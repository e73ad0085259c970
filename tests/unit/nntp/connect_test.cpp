// The connect sequence against newsd (and a raw peer where single bytes matter): greetings
// accepted and refused, silence, refused and failed connects, and the fixed delays between
// attempts, all timed by the test clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConnectionFixture.h"
#include "common/NNTPSocketTestAccess.h"
#include "common/RawPeer.h"
#include "platform/LeakCounts.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

using nntp_test::CountOccurrences;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class ProbeSocket : public CNNTPSocket {
public:
    void StepDone() { Results.push_back(Access::StepSucceeded(*this)); }
    static StepFn Done() { return static_cast<StepFn>(&ProbeSocket::StepDone); }
    std::vector<int> Results;
};

newsd::ConnectionScript GreetWith(newsd::Greeting greeting, std::string text = {}) {
    newsd::ConnectionScript script;
    script.greeting = greeting;
    script.greetingText = std::move(text);
    return script;
}

// A loopback port nobody listens on.
std::uint16_t ClosedPort() {
    RawPeer listener;
    return listener.Port();
}

class ConnectTest : public ConnectionFixture {
protected:
    std::unique_ptr<CNNTPSocket> MakeConnection() override {
        return std::make_unique<ProbeSocket>();
    }
    ProbeSocket& Probe() { return static_cast<ProbeSocket&>(*Connection); }

    void StartGetToIdle() {
        Access::CallSequence(*Connection, Steps::GetToIdle, ProbeSocket::Done());
    }
    bool WaitForResult(std::size_t count = 1) {
        return PumpUntil([&] { return Probe().Results.size() >= count; });
    }
    bool WaitUntilDelaying() {
        return PumpUntil([&] { return Access::IsDelaying(*Connection); });
    }
    // Seconds of ticks until the running delay ends; a new delay armed by the attempt that
    // follows at once counts as the end of this one.
    int TicksUntilDelayEnds() {
        const std::uint64_t armedAt = Access::DelayStart(*Connection);
        return TickUntil(
            [&] {
                return !Access::IsDelaying(*Connection) ||
                       Access::DelayStart(*Connection) != armedAt;
            },
            400);
    }
};

// --- greetings -----------------------------------------------------------------------------

TEST_F(ConnectTest, GreetingWith200MakesTheConnectionIdleWithoutSendingAnything) {
    StartGetToIdle();
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
    EXPECT_THAT(Access::ReturnStack(*Connection), IsEmpty());
    EXPECT_THAT(Server->Commands(), IsEmpty());

    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("Connecting without proxy."));
    EXPECT_THAT(log, HasSubstr("Connect3: Attempting to connect to server 127.0.0.1 port " +
                               std::to_string(Server->Port()) + "."));
    EXPECT_THAT(log, HasSubstr("Connect4(" + std::to_string(Access::SocketId(*Connection)) +
                               "): Connected to server.  Waiting for greeting."));
    EXPECT_THAT(log, HasSubstr("Response: 200"));
    EXPECT_THAT(log, HasSubstr("Connect5: Successfully received server greeting.  Now Idle."));
    EXPECT_THAT(log, HasSubstr("GetToIdle2(): Successfully entered idle state."));
}

TEST_F(ConnectTest, GreetingWith201IsAcceptedLike200) {
    Server->SetScript(GreetWith(newsd::Greeting::kNoPosting));
    StartGetToIdle();
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
    EXPECT_THAT(TraceLog(), HasSubstr("Response: 201"));
}

TEST_F(ConnectTest, RefusingGreetingsAreRetriedOnlyAfterTheRejectDelay) {
    Server->SetScript(0, GreetWith(newsd::Greeting::kUnavailable));
    Server->SetScript(1, GreetWith(newsd::Greeting::kNonStatus));
    Server->SetScript(2, GreetWith(newsd::Greeting::kRejected));
    StartGetToIdle();

    for (int refused = 1; refused <= 3; ++refused) {
        ASSERT_TRUE(WaitUntilDelaying()) << "greeting " << refused;
        EXPECT_EQ(Access::DelaySeconds(*Connection), 180);
        EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
        EXPECT_EQ(Connection->GetSocketHandle(), INVALID_SOCKET);
        EXPECT_EQ(Server->ConnectionsAccepted(), static_cast<std::uint64_t>(refused));
        // First tick more than 180 whole seconds later, with ticks every 2 s.
        EXPECT_EQ(TicksUntilDelayEnds(), 182) << "greeting " << refused;
    }
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));  // the caller never saw a failure
    EXPECT_EQ(Server->ConnectionsAccepted(), 4u);
    EXPECT_EQ(CountOccurrences(TraceLog(), "Invalid greeting or error. Will retry after delay."),
              3u);
}

TEST_F(ConnectTest, SilentServerIsGivenUpAtTheTimeOutAndRetriedAfterTheErrorDelay) {
    Server->SetScript(0, GreetWith(newsd::Greeting::kSilent));
    StartGetToIdle();
    ASSERT_TRUE(PumpUntil([&] { return Access::IsWaitingForData(*Connection); }));
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateAwaitingGreeting);

    EXPECT_EQ(TickUntil([&] { return Access::IsDelaying(*Connection); }, 400), 182);
    EXPECT_EQ(Access::DelaySeconds(*Connection), 30);
    EXPECT_EQ(Connection->GetSocketHandle(), INVALID_SOCKET);
    EXPECT_THAT(TraceLog(), HasSubstr("Connect5: WaitData failed.  Retrying connect."));

    EXPECT_EQ(TicksUntilDelayEnds(), 32);
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Server->ConnectionsAccepted(), 2u);
}

TEST_F(ConnectTest, LinesAfterTheGreetingStayBufferedForTheNextStep) {
    Server->SetScript(GreetWith(newsd::Greeting::kCustom, "200 hello\r\n211 3 1 3 extra\r\n"));
    StartGetToIdle();
    ASSERT_TRUE(WaitForResult());
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
    const char* next = Access::ReadLine(*Connection);
    ASSERT_NE(next, nullptr);
    EXPECT_STREQ(next, "211 3 1 3 extra\r\n");
}

TEST_F(ConnectTest, GreetingSplitOverReceivesIsJudgedOnceWhole) {
    RawPeer peer;
    Root.SetInt("news_port", peer.Port());
    StartGetToIdle();
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(PumpUntil([&] { return Access::IsWaitingForData(*Connection); }));
    ASSERT_TRUE(peer.Write("50"));
    ASSERT_TRUE(PumpUntil([&] { return Access::BytesSinceTick(*Connection) == 2; }));
    EXPECT_TRUE(Access::IsWaitingForData(*Connection));  // waits again for the rest of the line
    ASSERT_TRUE(peer.Write("2 go away\r\n"));
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Access::DelaySeconds(*Connection), 180);
    EXPECT_EQ(CountOccurrences(TraceLog(), "Response: "), 1u);
    EXPECT_THAT(TraceLog(), HasSubstr("Response: 502 go away"));
}

TEST_F(ConnectTest, PeerClosingBeforeTheGreetingLeavesTheWaitToItsTimeOut) {
    RawPeer peer;
    Root.SetInt("news_port", peer.Port());
    StartGetToIdle();
    ASSERT_TRUE(peer.Accept());
    ASSERT_TRUE(PumpUntil([&] { return Access::IsWaitingForData(*Connection); }));
    peer.Close();
    ASSERT_TRUE(
        PumpUntil([&] { return Access::ConnectionState(*Connection) == kStateNoConnection; }));
    EXPECT_TRUE(Access::IsWaitingForData(*Connection));
    EXPECT_THAT(TraceLog(), HasSubstr("OnClose["));

    EXPECT_EQ(TickUntil([&] { return Access::IsDelaying(*Connection); }, 400), 182);
    EXPECT_EQ(Access::DelaySeconds(*Connection), 30);
}

// --- failed connects -------------------------------------------------------------------------

TEST_F(ConnectTest, RefusedConnectIsRetriedAfterTheErrorDelay) {
    Root.SetInt("news_port", ClosedPort());
    StartGetToIdle();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Access::DelaySeconds(*Connection), 30);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("OnConnect(): Error 10061"));
    EXPECT_EQ(CountOccurrences(log, "Connection attempt failed."), 1u);

    Root.SetInt("news_port", Server->Port());
    EXPECT_EQ(TicksUntilDelayEnds(), 32);
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
}

TEST_F(ConnectTest, ImmediateConnectFailureIsHandledOnceAndTheRetryWaitsForItsDelay) {
    // Unreachable at once, without a packet leaving the machine.
    Root.SetString("news_server", "127.255.255.255");
    StartGetToIdle();
    if (Access::ConnectionState(*Connection) == kStateConnecting) {
        GTEST_SKIP() << "connect to 127.255.255.255 does not fail at once on this machine";
    }

    EXPECT_TRUE(Access::IsDelaying(*Connection));
    EXPECT_EQ(Access::DelaySeconds(*Connection), 30);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
    // Caller's continuation, GetToIdle2, and Connect1 waiting for the delay: no second
    // attempt nested inside the first.
    EXPECT_THAT(Access::ReturnStack(*Connection),
                ElementsAre(ProbeSocket::Done(), Steps::GetToIdle2, Steps::Connect1));
    EXPECT_EQ(CountOccurrences(TraceLog(), "Connect4(-1): Connection attempt failed."), 1u);

    for (int tick = 0; tick < 15; ++tick) {
        Tick();
    }
    EXPECT_EQ(CountOccurrences(TraceLog(), "Connection attempt failed."), 1u);
    Tick();  // 32 s: the second attempt, failing at once again
    EXPECT_EQ(CountOccurrences(TraceLog(), "Connect4(-1): Connection attempt failed."), 2u);
    EXPECT_TRUE(Access::IsDelaying(*Connection));
    EXPECT_EQ(Access::ReturnStack(*Connection).size(), 3u);

    Root.SetString("news_server", "127.0.0.1");
    EXPECT_EQ(TicksUntilDelayEnds(), 32);
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
}

// The attempt makes the one socket it dials, once the name is known: none is open meanwhile.
TEST_F(ConnectTest, NoSocketIsOpenWhileTheServersNameIsLookedUp) {
    Root.SetString("news_server", "localhost");
#ifndef _WIN32  // the socket count is our layer's; Windows keeps none
    const std::size_t socketsBefore = platform::OpenSocketCount();
#endif
    StartGetToIdle();
    ASSERT_TRUE(Connection->IsLookupPending());
    EXPECT_EQ(Connection->GetSocketHandle(), INVALID_SOCKET);
#ifndef _WIN32
    EXPECT_EQ(platform::OpenSocketCount(), socketsBefore);
#endif
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
}

// --- from other states -------------------------------------------------------------------------

TEST_F(ConnectTest, IdleConnectionIsReturnedAtOnceWithoutTraffic) {
    StartGetToIdle();
    ASSERT_TRUE(WaitForResult());
    StartGetToIdle();
    EXPECT_THAT(Probe().Results, ElementsAre(1, 1));  // nested, before any message
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    EXPECT_THAT(TraceLog(), HasSubstr("GetToIdle(): Already in idle state. Returning success."));
}

TEST_F(ConnectTest, ConnectionWithACommandOutstandingIsReplaced) {
    StartGetToIdle();
    ASSERT_TRUE(WaitForResult());
    Access::PutInState(*Connection, kStateHeadSent);

    StartGetToIdle();
    EXPECT_THAT(TraceLog(), HasSubstr("GetToIdle(): Must reset connection to get to idle state."));
    ASSERT_TRUE(WaitForResult(2));
    EXPECT_THAT(Probe().Results, ElementsAre(1, 1));
    // A second connection accepted is the replacement (Windows may hand out the old socket's
    // number again, so the number proves nothing).
    EXPECT_EQ(Server->ConnectionsAccepted(), 2u);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
}

TEST_F(ConnectTest, EveryAttemptDropsAnUnfinishedArticleAndTheSelectedGroup) {
    ASSERT_TRUE(Access::OpenArticleFile(*Connection, "9.tmp"));
    Access::SelectGroup(*Connection, "alt.binaries.test");
    StartGetToIdle();
    EXPECT_FALSE(Access::IsArticleFileOpen(*Connection));
    EXPECT_FALSE(std::filesystem::exists(WorkDir.Path() / "9.tmp"));
    EXPECT_THAT(Access::SelectedGroup(*Connection), IsEmpty());
    ASSERT_TRUE(WaitForResult());
}

// --- proxy ---------------------------------------------------------------------------------------

TEST_F(ConnectTest, ProxyOptionSendsTheConnectionThroughTheProxy) {
    RawPeer proxy;
    Root.SetInt("ProxyOption", 1);
    Root.SetString("ProxyAddress", "127.0.0.1");
    Root.SetInt("ProxyPort", proxy.Port());
    Root.SetString("ProxyUsername", "puser");
    Root.SetString("ProxyPassword", "ppass");
    StartGetToIdle();
    ASSERT_TRUE(proxy.Accept());
    std::string hello;
    ASSERT_TRUE(PumpUntil([&] {
        hello += proxy.ReadAvailable();
        return !hello.empty();
    }));
    EXPECT_EQ(hello[0], '\x05');  // a SOCKS5 greeting, not an NNTP wait
    EXPECT_TRUE(Connection->IsUsingProxy());
    EXPECT_THAT(TraceLog(), HasSubstr("Connecting with proxy."));
    EXPECT_EQ(Server->ConnectionsAccepted(), 0u);
}

TEST_F(ConnectTest, ProxySettingsAreIgnoredWhileTheOptionIsOff) {
    Root.SetInt("ProxyOption", 0);
    Root.SetString("ProxyAddress", "127.0.0.1");
    Root.SetInt("ProxyPort", ClosedPort());
    StartGetToIdle();
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_FALSE(Connection->IsUsingProxy());
    EXPECT_THAT(TraceLog(), Not(HasSubstr("Connecting with proxy.")));
}

}  // namespace
