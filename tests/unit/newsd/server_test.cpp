// The server over loopback with real clients: per-connection scripts, the command log and its
// waits, several clients at once, a client that stops reading, and stopping with clients on.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "NewsClient.h"
#include "newsd/Server.h"

namespace newsd {
namespace {

using newsd_test::NewsClient;
using std::chrono::milliseconds;

constexpr milliseconds kGuard{5000};  // only ever reached when something is broken

ServerOptions SmallArticles() {
    ServerOptions options;
    options.articles.last = 50;
    options.articles.bodyBytes = 20000;
    options.articles.lineLength = 70;
    return options;
}

// Reads one whole article with HEAD and BODY and returns it as the client would store it.
std::string Fetch(NewsClient& client, int64_t number) {
    const std::string n = std::to_string(number);
    if (client.Command("HEAD " + n).substr(0, 4) != "221 ")
        return "no head";
    std::string file;
    for (const auto& line : client.Block()) file += line + "\r\n";
    file += "\r\n";
    if (client.Command("BODY " + n).substr(0, 4) != "222 ")
        return "no body";
    for (const auto& line : client.Block()) file += line + "\r\n";
    return file;
}

TEST(ServerTest, StartsOnAFreePortServesArticlesAndRecordsCommands) {
    Server server(SmallArticles());
    ASSERT_TRUE(server.Start()) << server.LastError();
    ASSERT_NE(server.Port(), 0);
    NewsClient client(server.Port());
    ASSERT_TRUE(client.Connected());
    EXPECT_EQ(client.Line().substr(0, 4), "200 ");
    EXPECT_EQ(client.Command("GROUP alt.binaries.test"), "211 50 1 50 alt.binaries.test");
    EXPECT_EQ(Fetch(client, 50), server.Expected(50).FileText());
    EXPECT_EQ(Fetch(client, 49), server.Expected(49).FileText());
    EXPECT_EQ(client.Command("QUIT").substr(0, 4), "205 ");
    EXPECT_TRUE(client.ClosedByPeer());

    ASSERT_TRUE(server.WaitForCommands(6, kGuard));
    EXPECT_EQ(server.Commands(),
              (std::vector<std::string>{"GROUP alt.binaries.test", "HEAD 50", "BODY 50", "HEAD 49",
                                        "BODY 49", "QUIT"}));
    EXPECT_EQ(server.ConnectionsAccepted(), 1u);
    EXPECT_TRUE(server.WaitForOpenConnections(0, kGuard));
    EXPECT_GT(server.BytesSent(), 2 * 20000u);
}

TEST(ServerTest, ScriptPerConnectionIndexLetsTheRetrySucceed) {
    Server server(SmallArticles());
    ConnectionScript refuse;
    refuse.greeting = Greeting::kRejected;
    server.SetScript(0, refuse);
    ConnectionScript cut;
    cut.faults.push_back(ConnectionScript::ResetAfter("BODY", 1, 100));
    server.SetScript(1, cut);
    ASSERT_TRUE(server.Start());

    NewsClient first(server.Port());
    EXPECT_EQ(first.Line().substr(0, 4), "502 ");
    EXPECT_TRUE(first.ClosedByPeer());

    NewsClient second(server.Port());
    EXPECT_EQ(second.Line().substr(0, 4), "200 ");
    second.Send("BODY <3.part@newsd.test>\r\n");
    bool reset = false;
    EXPECT_EQ(second.Drain(&reset).size(), 100u);
    EXPECT_TRUE(reset);

    NewsClient third(server.Port());  // no script of its own: the default, healthy
    EXPECT_EQ(third.Line().substr(0, 4), "200 ");
    EXPECT_EQ(third.Command("BODY <3.part@newsd.test>").substr(0, 4), "222 ");
    bool complete = false;
    third.Block(&complete);
    EXPECT_TRUE(complete);

    ASSERT_TRUE(server.WaitForCommands(2, kGuard));
    EXPECT_TRUE(server.Commands(0).empty());
    EXPECT_EQ(server.Commands(1), std::vector<std::string>{"BODY <3.part@newsd.test>"});
    EXPECT_EQ(server.Commands(2), std::vector<std::string>{"BODY <3.part@newsd.test>"});
}

TEST(ServerTest, DefaultScriptAppliesToEveryConnection) {
    Server server(SmallArticles());
    ConnectionScript script;
    script.greeting = Greeting::kNoPosting;
    script.faults.push_back(ConnectionScript::ReplaceReply("GROUP", 1, "411 gone\r\n"));
    server.SetScript(script);
    ASSERT_TRUE(server.Start());
    for (int i = 0; i < 3; ++i) {
        NewsClient client(server.Port());
        EXPECT_EQ(client.Line().substr(0, 4), "201 ");
        EXPECT_EQ(client.Command("GROUP alt.binaries.test"), "411 gone");
        EXPECT_EQ(client.Command("GROUP alt.binaries.test").substr(0, 4), "211 ");
    }
}

TEST(ServerTest, SilentServerRecordsButNeverAnswers) {
    Server server(SmallArticles());
    ConnectionScript mute;
    mute.faults.push_back(ConnectionScript::NoReplyTo("HEAD"));
    server.SetScript(mute);
    ASSERT_TRUE(server.Start());
    NewsClient client(server.Port());
    EXPECT_EQ(client.Line().substr(0, 4), "200 ");
    EXPECT_EQ(client.Command("GROUP alt.binaries.test").substr(0, 4), "211 ");
    client.Send("HEAD 4\r\nGROUP alt.binaries.test\r\n");
    ASSERT_TRUE(server.WaitForCommands(0, 3, kGuard));
    EXPECT_FALSE(client.DataWithin(100));
    EXPECT_EQ(server.OpenConnections(), 1u);
}

TEST(ServerTest, RequiredAuthenticationOverTheWire) {
    ServerOptions options = SmallArticles();
    options.requireAuth = true;
    options.user = "tester";
    options.password = "pw";
    Server server(options);
    ASSERT_TRUE(server.Start());
    NewsClient client(server.Port());
    client.Line();
    EXPECT_EQ(client.Command("GROUP alt.binaries.test").substr(0, 4), "480 ");
    EXPECT_EQ(client.Command("AUTHINFO USER tester").substr(0, 4), "381 ");
    EXPECT_EQ(client.Command("AUTHINFO PASS pw").substr(0, 4), "281 ");
    EXPECT_EQ(client.Command("GROUP alt.binaries.test").substr(0, 4), "211 ");
}

TEST(ServerTest, ManyClientsAtOnceEachGetTheirOwnArticles) {
    ServerOptions options = SmallArticles();
    options.recordCommands = false;
    Server server(options);
    ASSERT_TRUE(server.Start());
    constexpr int kClients = 40;
    std::vector<std::thread> threads;
    std::vector<int> good(kClients, 0);
    for (int c = 0; c < kClients; ++c) {
        threads.emplace_back([&, c] {
            NewsClient client(server.Port());
            client.Line();
            client.Command("GROUP alt.binaries.test");
            for (int64_t n = 50 - c % 10; n > 40 - c % 10; --n)
                good[c] += Fetch(client, n) == server.Expected(n).FileText();
        });
    }
    for (auto& thread : threads) thread.join();
    for (int c = 0; c < kClients; ++c) EXPECT_EQ(good[c], 10) << "client " << c;
    EXPECT_EQ(server.ConnectionsAccepted(), static_cast<uint64_t>(kClients));
    EXPECT_EQ(server.CommandCount(), static_cast<uint64_t>(kClients * 21));
    EXPECT_TRUE(server.Commands().empty());
}

TEST(ServerTest, ClientThatStopsReadingDoesNotHoldUpOthers) {
    ServerOptions options;
    options.articles.bodyBytes = 8 << 20;  // far more than the socket buffers hold
    Server server(options);
    ASSERT_TRUE(server.Start());
    NewsClient stuck(server.Port());
    stuck.Line();
    stuck.Send("BODY <1.part@newsd.test>\r\n");
    ASSERT_TRUE(server.WaitForCommands(1, kGuard));

    NewsClient other(server.Port());
    EXPECT_EQ(other.Line().substr(0, 4), "200 ");
    EXPECT_EQ(other.Command("STAT <2.part@newsd.test>").substr(0, 4), "223 ");
}

TEST(ServerTest, StopClosesClientsAndCanBeRepeated) {
    Server server(SmallArticles());
    ASSERT_TRUE(server.Start());
    NewsClient client(server.Port());
    client.Line();
    ASSERT_TRUE(server.WaitForOpenConnections(1, kGuard));
    server.Stop();
    EXPECT_FALSE(server.Running());
    EXPECT_EQ(server.OpenConnections(), 0u);
    client.Drain();
    EXPECT_NE(client.LastError(), EAGAIN);  // closed, not timed out
    server.Stop();
    ASSERT_TRUE(server.Start());
    NewsClient again(server.Port());
    EXPECT_EQ(again.Line().substr(0, 4), "200 ");
}

TEST(ServerTest, PortInUseIsReportedNotFatal) {
    Server first;
    ASSERT_TRUE(first.Start());
    Server second;
    EXPECT_FALSE(second.Start(first.Port()));
    EXPECT_NE(second.LastError().find("cannot listen"), std::string::npos);
    EXPECT_FALSE(second.Running());
    Server bad;
    EXPECT_FALSE(bad.Start(0, "not-an-address"));
}

TEST(ServerTest, ConnectionsBeyondTheLimitAreToldAndClosed) {
    ServerOptions options;
    options.maxConnections = 2;
    Server server(options);
    ASSERT_TRUE(server.Start());
    NewsClient one(server.Port());
    NewsClient two(server.Port());
    EXPECT_EQ(one.Line().substr(0, 4), "200 ");
    EXPECT_EQ(two.Line().substr(0, 4), "200 ");
    NewsClient three(server.Port());
    EXPECT_EQ(three.Line().substr(0, 4), "400 ");
    EXPECT_TRUE(three.ClosedByPeer());
    one.Command("QUIT");
    ASSERT_TRUE(server.WaitForOpenConnections(1, kGuard));
    NewsClient four(server.Port());
    EXPECT_EQ(four.Line().substr(0, 4), "200 ");
}

TEST(ServerTest, WaitsGiveUpWhenNothingHappens) {
    Server server;
    ASSERT_TRUE(server.Start());
    EXPECT_FALSE(server.WaitForCommands(1, milliseconds(20)));
    EXPECT_FALSE(server.WaitForConnections(1, milliseconds(20)));
}

}  // namespace
}  // namespace newsd
