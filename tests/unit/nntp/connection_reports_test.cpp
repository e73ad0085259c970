// What a connection publishes while it works: status rows labelled with its number for the
// failures a user must see, failures counted by kind, its activity, the last status line, and
// the latency of each command kind, all against newsd and a closed port.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "JobFixture.h"
#include "common/NNTPSocketTestAccess.h"
#include "common/RawPeer.h"
#include "support/ErrorText.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

using newsd::ConnectionScript;
using ::testing::Contains;
using ::testing::HasSubstr;

// Keeps the rows of a status list with the connection each came from.
class RowRecorder : public StatusListControl {
public:
    void BeginRow(int source) override { m_source = source; }
    void DeleteRow(int) override {}
    void InsertRow(int, const char* text) override {
        rows.push_back(std::to_string(m_source) + ": " + text);
    }
    int GetRowCount() override { return static_cast<int>(rows.size()); }
    void EnsureVisible(int) override {}

    std::vector<std::string> rows;

private:
    int m_source = 0;
};

class ConnectionReportsTest : public JobFixture {
protected:
    void SetUp() override {
        JobFixture::SetUp();
        List.Window = &Recorder;
        List.RowLimit = 100;
        Connection->AttachStatusList(&List);
        Connection->AttachMonitor(&Slot, &Run);
        Connection->SetConnectionNumber(7);
    }

    bool HasRow(const std::string& piece) const {
        for (const auto& row : Recorder.rows) {
            if (row.find(piece) != std::string::npos) {
                return true;
            }
        }
        return false;
    }

    RowRecorder Recorder;
    StatusList List;
    ConnectionMonitor Slot;
    RunMonitor Run;
};

TEST_F(ConnectionReportsTest, ARefusedConnectIsCountedAndShownWithTheConnectionsNumber) {
    Root.SetInt("news_port", 9);  // nothing listens on the discard port here
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kRefused), 1u);
    EXPECT_TRUE(
        HasRow("7: Failed to connect to server \"127.0.0.1\" port 9: No connection "
               "could be made because the target machine actively refused it.  Will "
               "retry."))
        << Recorder.rows.size();
    EXPECT_EQ(Run.FailureReason(FailureKind::kRefused), GetErrorText(WSAECONNREFUSED));
    EXPECT_EQ(Slot.Read(Clock.Now()).activity, ConnectionActivity::kDelaying);
    EXPECT_EQ(Slot.Read(Clock.Now()).delaySecondsLeft, 31);  // "ErrorDelay" 30
}

TEST_F(ConnectionReportsTest, AGroupRefusalIsCountedShownAndKeptAsTheLastStatusLine) {
    ConnectionScript script;
    script.faults.push_back(ConnectionScript::ReplaceReply("GROUP", 0, "411 No such group\r\n"));
    Server->SetScript(script);
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kGroupRefused), 1u);
    EXPECT_TRUE(HasRow("7: Group \"alt.binaries.test\" refused by server \"127.0.0.1\": 411 No such group"));
    EXPECT_EQ(Run.FailureReason(FailureKind::kGroupRefused), "411 No such group");
    EXPECT_STREQ(Slot.Read(Clock.Now()).lastStatusLine, "411 No such group");
    EXPECT_FALSE(Slot.Read(Clock.Now()).reachedGroup);
    EXPECT_EQ(Run.Latency(CommandKind::kGreeting).Count(), 1u);
    EXPECT_EQ(Run.Latency(CommandKind::kGroup).Count(), 1u);
}

// Nothing to fetch is no failure: the connection stays in the group, sends no HEAD, and asks
// again after "errordelay" on the same connection; the user is told once.
TEST_F(ConnectionReportsTest, AnEmptyGroupIsAskedForAgainWithoutAHeadAndShownOnce) {
    ConnectionScript script;
    script.faults.push_back(
        ConnectionScript::ReplaceReply("GROUP", 0, "211 0 1 0 alt.binaries.test\r\n"));
    Server->SetScript(script);
    Root.SetInt("errordelay", 10);
    StartArticleJob();
    PlayFor(40);

    const std::vector<std::string> groups(4, "GROUP alt.binaries.test");
    EXPECT_EQ(Server->Commands(), groups);  // at 0, 12, 24 and 36 seconds
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    EXPECT_EQ(Run.EmptyGroupConnections(), 1u);
    EXPECT_EQ(Run.TotalFailures(), 0u);
    EXPECT_EQ(Run.ConnectionsReachedGroup(), 1u);
    int emptyRows = 0;
    for (const auto& row : Recorder.rows) {
        emptyRows += row.find("7: Group \"alt.binaries.test\" on server \"127.0.0.1\" is empty.  "
                              "Will ask again every 10 seconds.") == 0;
    }
    EXPECT_EQ(emptyRows, 1);
}

// The socket is closed under the connection, so the next command cannot be sent: the
// connection must not wait for a reply (180 s) but drop and retry as after a failed reply.
TEST_F(ConnectionReportsTest, AFailedSendIsNoticedAtOnce) {
    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());
    ASSERT_EQ(Probe().Results, std::vector<int>{1});
    closesocket(Connection->GetSocketHandle());

    Connection->Settings.SetInt("article", 3);
    Access::CallSequence(*Connection, Steps::Head1, JobProbe::Done());
    EXPECT_FALSE(Access::IsWaitingForData(*Connection));
    EXPECT_TRUE(Access::IsDelaying(*Connection));  // "errordelay", then HEAD on a new connection
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
    EXPECT_EQ(Run.Failures(FailureKind::kClosedByServer), 1u);
    EXPECT_TRUE(HasRow("7: Sending to server \"127.0.0.1\" failed: "));
    EXPECT_THAT(ErrorLog(), HasSubstr("Dropping the connection."));

    ASSERT_NE(PlayUntil([&] { return Server->Commands().size() >= 3; }, 30), -1);
    EXPECT_EQ(Server->Commands()[1], "GROUP alt.binaries.test");
    EXPECT_EQ(Server->Commands()[2].rfind("HEAD ", 0), 0u);
    EXPECT_EQ(Server->ConnectionsAccepted(), 2u);
}

TEST_F(ConnectionReportsTest, AFailedGroupSendReconnects) {
    Access::CallSequence(*Connection, Steps::GetToIdle, JobProbe::Done());
    ASSERT_TRUE(WaitForResult());
    closesocket(Connection->GetSocketHandle());
    Start(Steps::SelectGroup1);
    EXPECT_FALSE(Access::IsWaitingForData(*Connection));
    EXPECT_EQ(Run.Failures(FailureKind::kClosedByServer), 1u);
    ASSERT_NE(PlayUntil([&] { return Probe().Results.size() == 2; }, 10), -1);
    EXPECT_EQ(Probe().Results[1], 1);
    EXPECT_EQ(Server->Commands(), std::vector<std::string>{"GROUP alt.binaries.test"});
}

TEST_F(ConnectionReportsTest, AnErrorReplyToBodyIsCountedAndItsLineShownSafely) {
    ConnectionScript script;
    script.faults.push_back(
        ConnectionScript::ReplaceReply("BODY", 1, "502 \x1b[2Jgone\r\n"));
    Server->SetScript(script);
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kErrorReply), 1u);
    EXPECT_TRUE(HasRow("7: 502 \\x1B[2Jgone"));
    EXPECT_EQ(Run.FailureReason(FailureKind::kErrorReply), "502 \\x1B[2Jgone");
    // The logs get the same escape: no raw escape byte reaches errorlog.txt.
    EXPECT_THAT(ErrorLog(), HasSubstr("Body3(): 502 \\x1B[2Jgone"));
    EXPECT_EQ(ErrorLog().find('\x1b'), std::string::npos);
    EXPECT_TRUE(Slot.Read(Clock.Now()).reachedGroup);
    EXPECT_EQ(Run.ConnectionsReachedGroup(), 1u);
    EXPECT_EQ(Run.Latency(CommandKind::kHead).Count(), 1u);
    EXPECT_EQ(Run.Latency(CommandKind::kBodyStatus).Count(), 1u);
    EXPECT_TRUE(Run.ArticleTextReceived());  // the header arrived
}

TEST_F(ConnectionReportsTest, CompletedArticlesAndBytesAreCountedPerConnection) {
    StartArticleJob();
    ASSERT_TRUE(PumpUntil([&] { return Slot.Read(0).articles >= 3; }));
    const ConnectionSnapshot snapshot = Slot.Read(0);
    EXPECT_GT(snapshot.bytes, 3u * 4096);
    EXPECT_GE(Run.Latency(CommandKind::kBodyText).Count(), 3u);
    EXPECT_TRUE(Recorder.rows.empty() || Recorder.rows[0].rfind("7: 200", 0) == 0);
}

TEST_F(ConnectionReportsTest, AReceiveTimeOutIsCountedAndShown) {
    ConnectionScript script;
    script.faults.push_back(ConnectionScript::NoReplyTo("GROUP"));
    Server->SetScript(script);
    StartArticleJob();
    ASSERT_TRUE(WaitUntilWaitingForData());
    ASSERT_TRUE(PumpUntil([&] { return Slot.Activity() == ConnectionActivity::kSelectingGroup; }));
    EXPECT_NE(TickUntil([&] { return Run.Failures(FailureKind::kTimeout) == 1; }, 200), -1);
    EXPECT_TRUE(HasRow("7: No reply from server \"127.0.0.1\" within 180 seconds.  Will retry."));
    EXPECT_EQ(Run.FailureReason(FailureKind::kTimeout), "no reply within 180 seconds");
    // The server greeted: a silent TLS port is not what this is.
    EXPECT_FALSE(HasRow("does the port expect TLS?"));
}

TEST_F(ConnectionReportsTest, AServerThatClosesIsCountedAndShown) {
    ConnectionScript script;
    script.faults.push_back(ConnectionScript::CloseAfter("GROUP", 1, 0));
    Server->SetScript(script);
    StartArticleJob();
    ASSERT_TRUE(PumpUntil([&] { return Run.Failures(FailureKind::kClosedByServer) == 1; }));
    EXPECT_TRUE(HasRow("7: Connection closed by server \"127.0.0.1\"."));
    EXPECT_EQ(Run.FailureReason(FailureKind::kClosedByServer), "the server closed the connection");
    EXPECT_EQ(Slot.Activity(), ConnectionActivity::kNotConnected);
}

TEST_F(ConnectionReportsTest, ALookupFailureNamesTheErrorText) {
    Root.SetString("news_server", "no-such-host.invalid");
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kLookup), 1u);
    EXPECT_TRUE(HasRow("7: Could not find server \"no-such-host.invalid\": "));
    EXPECT_FALSE(Run.FailureReason(FailureKind::kLookup).empty());
}

TEST_F(ConnectionReportsTest, AProxyFailureNamesTheProxyNotTheNewsServer) {
    Root.SetInt("ProxyOption", 1);
    Root.SetString("ProxyAddress", "127.0.0.1");
    Root.SetInt("ProxyPort", 9);  // no proxy listens there
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kProxy), 1u);
    EXPECT_EQ(Run.Failures(FailureKind::kRefused), 0u);
    EXPECT_TRUE(HasRow("7: Failed to connect through proxy \"127.0.0.1\" port 9 to server"));
    EXPECT_EQ(Run.FailureReason(FailureKind::kProxy), GetErrorText(WSAECONNREFUSED));
}

TEST_F(ConnectionReportsTest, AFailedTlsHandshakeIsNamedAsSuchNotAsALookup) {
    // The transport reports its own failures with the lookup's code; the rows must not.
    Root.SetInt("news_ssl", 1);  // newsd speaks plain NNTP from its first byte
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kTls), 1u);
    EXPECT_EQ(Run.Failures(FailureKind::kLookup), 0u);
    EXPECT_TRUE(HasRow("7: TLS handshake with \"127.0.0.1\" failed: "));
    EXPECT_TRUE(HasRow("7: No TLS session with server \"127.0.0.1\" port "));
    EXPECT_FALSE(HasRow("Could not find server"));
    EXPECT_EQ(Run.FailureReason(FailureKind::kTls).rfind("TLS handshake failed: ", 0), 0u)
        << Run.FailureReason(FailureKind::kTls);
}

// --- the reason of each failure, on screen and in the summary -----------------------------

TEST_F(ConnectionReportsTest, ARefusedGreetingGivesTheServersWordsAsItsReason) {
    ConnectionScript script;
    script.greeting = newsd::Greeting::kCustom;
    script.greetingText = "502 You have no permission to talk\r\n";
    Server->SetScript(script);
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kGreetingRefused), 1u);
    EXPECT_EQ(Run.FailureReason(FailureKind::kGreetingRefused),
              "502 You have no permission to talk");
    EXPECT_TRUE(HasRow("7: 502 You have no permission to talk"));
}

TEST_F(ConnectionReportsTest, ARefusedPasswordShowsTheServersReply) {
    Root.SetString("username", "alice");
    Root.SetString("password", "wrong");
    Server->SetScript(LoginDemanded("381 Password required", "481 Authentication failed"));
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kLoginRefused), 1u);
    EXPECT_EQ(Run.FailureReason(FailureKind::kLoginRefused), "481 Authentication failed");
    // The row the user always got stays; the server's words follow it.
    EXPECT_TRUE(HasRow("7: Password rejected by server \"127.0.0.1\""));
    EXPECT_TRUE(HasRow("7: Login refused by server \"127.0.0.1\": 481 Authentication failed"));
}

TEST_F(ConnectionReportsTest, ARefusedUserNameShowsTheServersReply) {
    Root.SetString("username", "mallory");
    Server->SetScript(LoginDemanded("482 Who are you", ""));
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.FailureReason(FailureKind::kLoginRefused), "482 Who are you");
    EXPECT_TRUE(HasRow("7: Username \"mallory\" rejected by server \"127.0.0.1\""));
    EXPECT_TRUE(HasRow("7: Login refused by server \"127.0.0.1\": 482 Who are you"));
}

// A server that wants a login meets a user who set none: say so, not that "" was rejected.
TEST_F(ConnectionReportsTest, ALoginDemandedWithoutAUserNameSaysWhatIsMissing) {
    Server->SetScript(LoginDemanded("482 Who are you", ""));
    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    ASSERT_GE(Server->Commands().size(), 2u);
    EXPECT_EQ(Server->Commands()[1], "AUTHINFO USER ");  // still sent, as always
    EXPECT_EQ(Run.FailureReason(FailureKind::kLoginRefused),
              "the server asks for a login but no user name is set");
    EXPECT_TRUE(
        HasRow("7: Login refused by server \"127.0.0.1\": the server asks for a login "
               "but no user name is set"));
    EXPECT_FALSE(HasRow("Username \"\" rejected"));
}

TEST_F(ConnectionReportsTest, TheFirstMissingArticleIsShownOnceAndTheRestCounted) {
    ConnectionScript script;
    for (int occurrence = 1; occurrence <= 3; ++occurrence) {
        script.faults.push_back(ConnectionScript::ReplaceReply(
            "BODY", occurrence, "423 No article with that number\r\n"));
    }
    Server->SetScript(script);
    StartArticleJob();
    ASSERT_TRUE(PumpUntil([&] { return Slot.Read(0).articles >= 1; }));
    EXPECT_EQ(Run.MissingArticles(), 3u);
    EXPECT_EQ(Run.TotalFailures(), 0u);
    int missingRows = 0;
    for (const auto& row : Recorder.rows) {
        missingRows += row.find("is missing on server") != std::string::npos;
    }
    EXPECT_EQ(missingRows, 1);
    EXPECT_TRUE(
        HasRow("on server \"127.0.0.1\" (423 No article with that number).  Missing "
               "articles are skipped and counted."));
}

// A plain-text client on a TLS port: the server waits for a handshake that never comes, and
// the client for a greeting. Every wait here is bounded on the test clock; no second
// connection is ever waited for.
TEST_F(ConnectionReportsTest, ASilentServerGetsTheTlsHintOnceAndItsTimeOutSaysWhy) {
    ConnectionScript script;
    script.greeting = newsd::Greeting::kSilent;
    Server->SetScript(script);
    StartArticleJob();
    ASSERT_TRUE(PumpUntil([&] {
        return Access::ConnectionState(*Connection) == kStateAwaitingGreeting &&
               Access::IsWaitingForData(*Connection);
    }));
    const std::string hint = "7: no greeting: does the port expect TLS? try --tls";
    Tick();  // 2 s
    Tick();  // 4 s
    EXPECT_FALSE(HasRow(hint));
    Tick();  // 6 s: more than 5 s without a byte
    EXPECT_TRUE(HasRow(hint));
    EXPECT_EQ(Slot.Read(Clock.Now()).waitSeconds, 6);  // toward the receive time-out
    for (int i = 0; i < 10; ++i) {
        Tick();
    }
    int hints = 0;
    for (const auto& row : Recorder.rows) {
        hints += row == hint;
    }
    EXPECT_EQ(hints, 1);
    EXPECT_NE(TickUntil([&] { return Run.Failures(FailureKind::kTimeout) == 1; }, 200), -1);
    EXPECT_EQ(Run.FailureReason(FailureKind::kTimeout),
              "no greeting within 180 seconds: does the port expect TLS? try --tls");
}

TEST_F(ConnectionReportsTest, NoTlsHintWhenTlsIsOn) {
    Root.SetInt("news_ssl", 1);
    ConnectionScript script;
    script.greeting = newsd::Greeting::kSilent;
    Server->SetScript(script);
    StartArticleJob();
    ASSERT_TRUE(PumpUntil([&] { return Connection->IsHandshakeClockRunning(); }));
    for (int i = 0; i < 6; ++i) {
        Tick();
        DispatchPending();
    }
    EXPECT_FALSE(HasRow("does the port expect TLS?"));
}

// --- proxy failures in words, played by a proxy that answers by hand -----------------------

class ProxyReasonTest : public ConnectionReportsTest {
protected:
    void SetUp() override {
        ConnectionReportsTest::SetUp();
        Root.SetInt("ProxyOption", 1);
        Root.SetString("ProxyAddress", "127.0.0.1");
        Root.SetInt("ProxyPort", Proxy.Port());
        StartArticleJob();
        ASSERT_TRUE(PumpUntil([&] { return Proxy.TryAccept(); }));
    }

    // Waits for the client's next request (`size` bytes) and answers it.
    void Answer(std::size_t size, const std::string& reply) {
        std::string request;
        ASSERT_TRUE(PumpUntil([&] {
            request += Proxy.ReadAvailable();
            return request.size() >= size;
        }));
        ASSERT_TRUE(Proxy.Write(reply));
    }

    RawPeer Proxy;
};

TEST_F(ProxyReasonTest, AProxyThatAcceptsNoOfferedMethodSaysSo) {
    Answer(3, std::string("\x05\xFF", 2));
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.Failures(FailureKind::kProxy), 1u);
    const std::string reason =
        "Unsupported authentication method: the proxy accepts none of the methods offered (no "
        "proxy user name is set)";
    EXPECT_EQ(Run.FailureReason(FailureKind::kProxy), reason);
    EXPECT_TRUE(HasRow("to server \"127.0.0.1\" port " + std::to_string(Server->Port()) + ": " +
                       reason + ".  Will retry."));
}

TEST_F(ProxyReasonTest, ARefusedConnectReplyIsGivenInWords) {
    Answer(3, std::string("\x05\x00", 2));
    Answer(10, std::string("\x05\x05\x00\x01\x00\x00\x00\x00\x00\x00", 10));
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.FailureReason(FailureKind::kProxy), "SOCKS5 reply 5: Connection refused");
    EXPECT_TRUE(HasRow(": SOCKS5 reply 5: Connection refused.  Will retry."));
}

TEST_F(ProxyReasonTest, AProxyThatHangsUpMidHandshakeSaysSo) {
    Answer(3, std::string("\x05\x00", 2));
    Proxy.Close();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Run.FailureReason(FailureKind::kProxy),
              "the proxy closed the connection during the handshake");
}

}  // namespace
