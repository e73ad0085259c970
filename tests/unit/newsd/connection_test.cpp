// The connection on one end of a packet socket pair: every write of the server arrives as one
// packet, so the tests see exactly where a reply was cut, and pauses run on a clock the test
// moves by hand.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "newsd/Connection.h"

namespace newsd {
namespace {

class RecordingObserver : public ConnectionObserver {
public:
    void OnCommand(int, const std::string& line) override { commands.push_back(line); }
    void OnBytesSent(size_t bytes) override { sent += bytes; }
    std::vector<std::string> commands;
    size_t sent = 0;
};

class ConnectionTest : public ::testing::Test {
protected:
    ConnectionTest() {
        options_.articles.last = 20;
        options_.articles.bodyBytes = 3000;
        options_.articles.lineLength = 50;
        options_.articles.missing = {13};
        articles_ = std::make_unique<ArticleFactory>(options_.articles);
    }
    ~ConnectionTest() override {
        if (peer_ >= 0)
            close(peer_);
    }

    // Creates the connection and delivers its greeting.
    void Open() {
        int pair[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK, 0, pair), 0);
        peer_ = pair[1];
        connection_ = std::make_unique<Connection>(UniqueSocket(pair[0]), 0, options_, *articles_,
                                                   script_, observer_);
        alive_ = connection_->Start(now_);
    }

    void Send(const std::string& text) {
        ASSERT_EQ(send(peer_, text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
        alive_ = connection_->OnEvent(true, false, now_);
    }

    // Every write the server made so far, one string each.
    std::vector<std::string> Writes() {
        std::vector<std::string> writes;
        std::vector<char> buffer(1 << 20);
        for (;;) {
            const ssize_t got = recv(peer_, buffer.data(), buffer.size(), MSG_DONTWAIT);
            if (got <= 0)
                break;
            writes.emplace_back(buffer.data(), static_cast<size_t>(got));
        }
        return writes;
    }

    std::string All() {
        std::string all;
        for (const auto& write : Writes()) all += write;
        return all;
    }

    void Advance(std::chrono::milliseconds step) {
        now_ += step;
        alive_ = connection_->OnTimer(now_);
    }

    ServerOptions options_;
    ConnectionScript script_;
    std::unique_ptr<ArticleFactory> articles_;
    RecordingObserver observer_;
    std::unique_ptr<Connection> connection_;
    Clock::time_point now_ = Clock::now();
    int peer_ = -1;
    bool alive_ = false;
};

TEST_F(ConnectionTest, AnswersPipelinedCommandsInOrderAndRecordsThem) {
    Open();
    EXPECT_EQ(All().substr(0, 4), "200 ");
    Send("GROUP alt.binaries.test\r\nHEAD 20\r\nbody 20\r\nQUIT\r\n");
    const std::string all = All();
    const ExpectedArticle expected = articles_->Expected(20);
    EXPECT_EQ(all, "211 19 1 20 alt.binaries.test\r\n221 20 <20.part@newsd.test> head\r\n" +
                       expected.HeaderText() + ".\r\n222 20 <20.part@newsd.test> body\r\n" +
                       articles_->BodyLeadWire(20) + *articles_->BodyBulkWire() +
                       ".\r\n205 Bye\r\n");
    EXPECT_EQ(observer_.commands,
              (std::vector<std::string>{"GROUP alt.binaries.test", "HEAD 20", "body 20", "QUIT"}));
    EXPECT_FALSE(alive_);  // QUIT ends the connection once the reply is out
    EXPECT_EQ(observer_.sent,
              all.size() + std::string("200 ").size() +
                  std::string("newsd.test NNTP service ready, posting allowed\r\n").size());
}

TEST_F(ConnectionTest, EndlessPipelineIsServedInTurnsAndNothingIsLost) {
    Open();
    Writes();
    std::string commands;
    const int total = Connection::kCommandsPerTurn + 8;
    for (int i = 0; i < total; ++i)
        commands += "STAT <" + std::to_string(i % 20 + 1) + ".part@newsd.test>\r\n";
    Send(commands);
    EXPECT_TRUE(connection_->Busy());
    EXPECT_EQ(observer_.commands.size(), static_cast<size_t>(Connection::kCommandsPerTurn));
    alive_ = connection_->OnEvent(false, false, now_);
    EXPECT_FALSE(connection_->Busy());
    EXPECT_EQ(observer_.commands.size(), static_cast<size_t>(total));
    const std::string all = All();
    size_t replies = 0;
    for (size_t at = 0; (at = all.find("223 0 <", at)) != std::string::npos; ++at) ++replies;
    EXPECT_EQ(replies, static_cast<size_t>(total - 2));  // <13> is missing: two 430s
}

TEST_F(ConnectionTest, CommandSplitOverReceivesAndBareLineFeedsAreAccepted) {
    Open();
    Writes();
    Send("GRO");
    EXPECT_TRUE(Writes().empty());
    Send("UP alt.binaries.test\r");
    EXPECT_TRUE(Writes().empty());
    Send("\nSTAT 3\n");
    EXPECT_EQ(All(), "211 19 1 20 alt.binaries.test\r\n223 3 <3.part@newsd.test> status\r\n");
}

TEST_F(ConnectionTest, StatusLineAndTextGoInSeparateWritesWhenScripted) {
    script_.separateStatusWrite = true;
    Open();
    Writes();
    Send("GROUP alt.binaries.test\r\n");
    EXPECT_EQ(Writes().size(), 1u);  // single-line replies are one write
    Send("HEAD 4\r\n");
    const std::vector<std::string> writes = Writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0], "221 4 <4.part@newsd.test> head\r\n");
    EXPECT_EQ(writes[1], articles_->Expected(4).HeaderText() + ".\r\n");
}

TEST_F(ConnectionTest, SplitReplyComesInPiecesAtTheOffsetsAfterEachPause) {
    script_.faults.push_back(
        ConnectionScript::SplitReply("HEAD", 2, {3, 10}, std::chrono::milliseconds(50)));
    Open();
    Send("GROUP alt.binaries.test\r\nHEAD 4\r\n");
    Writes();             // the first HEAD is whole
    Send("HEAD 13\r\n");  // a 423, a single line: "423 No article with that number\r\n"
    Send("HEAD 6\r\n");   // held back behind the paused reply
    EXPECT_EQ(Writes(), (std::vector<std::string>{"423"}));
    ASSERT_TRUE(connection_->Deadline().has_value());
    Advance(std::chrono::milliseconds(49));
    EXPECT_TRUE(Writes().empty());
    Advance(std::chrono::milliseconds(1));
    EXPECT_EQ(Writes(), (std::vector<std::string>{" No art"}));
    Advance(std::chrono::milliseconds(50));
    const std::vector<std::string> writes = Writes();
    ASSERT_GE(writes.size(), 2u);
    EXPECT_EQ(writes[0], "icle with that number\r\n");
    EXPECT_EQ(writes[1].substr(0, 4), "221 ");  // the next command's reply follows
    EXPECT_FALSE(connection_->Deadline().has_value());
}

TEST_F(ConnectionTest, GreetingCanBeSplitOrCutLikeAnyReply) {
    script_.faults.push_back(
        ConnectionScript::SplitReply(kGreetingVerb, 1, {3}, std::chrono::milliseconds(10)));
    script_.faults.push_back(ConnectionScript::ReplaceReply("", 1, "first command\r\n"));
    Open();
    EXPECT_EQ(Writes(), std::vector<std::string>{"200"});
    Advance(std::chrono::milliseconds(10));
    EXPECT_EQ(All(), " newsd.test NNTP service ready, posting allowed\r\n");
    Send("DATE\r\n");  // the greeting did not count as the first reply
    EXPECT_EQ(All(), "first command\r\n");

    script_.faults = {ConnectionScript::CloseAfter("greeting", 1, 5)};
    Open();
    EXPECT_EQ(All(), "200 n");
    EXPECT_FALSE(alive_);
}

TEST_F(ConnectionTest, CloseAndResetCutTheReplyAfterTheGivenBytes) {
    script_.faults.push_back(ConnectionScript::CloseAfter("BODY", 1, 200));
    Open();
    Writes();
    Send("GROUP alt.binaries.test\r\nBODY 7\r\n");
    const std::string all = All();
    EXPECT_EQ(all.size(), std::string("211 19 1 20 alt.binaries.test\r\n").size() + 200);
    EXPECT_FALSE(alive_);

    script_.faults = {ConnectionScript::ResetAfter("", 1, 0)};
    Open();
    Writes();
    Send("GROUP alt.binaries.test\r\n");
    EXPECT_TRUE(Writes().empty());
    EXPECT_FALSE(alive_);
}

TEST_F(ConnectionTest, NoReplyMutesTheConnectionFromTheNthCommandOn) {
    script_.faults.push_back(ConnectionScript::NoReplyTo("", 2));
    Open();
    Writes();
    Send("GROUP alt.binaries.test\r\nHEAD 3\r\nHEAD 4\r\n");
    EXPECT_EQ(All(), "211 19 1 20 alt.binaries.test\r\n");
    EXPECT_TRUE(alive_);
    EXPECT_EQ(observer_.commands.size(), 3u);  // still recorded
}

TEST_F(ConnectionTest, ReplaceAndPrefixHitOnlyTheChosenOccurrence) {
    script_.faults.push_back(ConnectionScript::ReplaceReply("head", 2, "garbage line\r\n"));
    script_.faults.push_back(ConnectionScript::PrefixReply("STAT", 0, "x\r\n"));
    Open();
    Writes();
    Send("GROUP alt.binaries.test\r\nHEAD 3\r\n");
    EXPECT_EQ(All().substr(0, 36), "211 19 1 20 alt.binaries.test\r\n221 3");
    Send("HEAD 4\r\n");
    EXPECT_EQ(All(), "garbage line\r\n");
    Send("HEAD 13\r\n");
    EXPECT_EQ(All().substr(0, 3), "423");
    Send("STAT 3\r\nSTAT 4\r\n");
    EXPECT_EQ(All(),
              "x\r\n223 3 <3.part@newsd.test> status\r\nx\r\n223 4 <4.part@newsd.test> status\r\n");
}

TEST_F(ConnectionTest, SilentAndRefusingGreetings) {
    script_.greeting = Greeting::kSilent;
    Open();
    EXPECT_TRUE(Writes().empty());
    Send("GROUP alt.binaries.test\r\n");
    EXPECT_TRUE(Writes().empty());
    EXPECT_TRUE(alive_);
    EXPECT_EQ(observer_.commands.size(), 1u);

    script_.greeting = Greeting::kRejected;
    Open();
    EXPECT_EQ(All().substr(0, 4), "502 ");
    EXPECT_FALSE(alive_);
}

TEST_F(ConnectionTest, OverlongLineIsRefusedAndTheConnectionClosed) {
    Open();
    Writes();
    std::string flood(Connection::kMaxLine + 10, 'A');
    for (size_t sent = 0; sent < flood.size(); sent += 4096) Send(flood.substr(sent, 4096));
    EXPECT_EQ(All(), "500 Line too long\r\n");
    EXPECT_FALSE(alive_);
}

// Random commands, arguments and split points: every command gets exactly one well-framed
// reply (a status line, plus a dot-terminated block for the multi-line codes).
TEST_F(ConnectionTest, RandomCommandStreamsGetOneWellFramedReplyEach) {
    const std::vector<std::string> verbs = {
        "GROUP", "HEAD", "BODY", "ARTICLE", "STAT",     "XOVER",        "OVER", "NEXT", "LAST",
        "LIST",  "MODE", "DATE", "HELP",    "AUTHINFO", "CAPABILITIES", "FROB", ""};
    const std::vector<std::string> arguments = {"",
                                                "alt.binaries.test",
                                                "7",
                                                "13",
                                                "0",
                                                "-4",
                                                "<5.part@newsd.test>",
                                                "<x@y>",
                                                "3-9",
                                                "15-",
                                                "USER a",
                                                "PASS b",
                                                "READER",
                                                "OVERVIEW.FMT",
                                                "99999999999999999999",
                                                "\t",
                                                "a b c"};
    const std::set<std::string> blocks = {"100", "101", "215", "220", "221", "222", "224"};
    std::mt19937 random(12345);
    for (int round = 0; round < 20; ++round) {
        Open();
        Writes();
        observer_.commands.clear();
        std::string stream;
        const int count = 40;
        for (int i = 0; i < count; ++i) {
            stream += verbs[random() % verbs.size()];
            if (random() % 3)
                stream += " " + arguments[random() % arguments.size()];
            stream += random() % 4 ? "\r\n" : "\n";
        }
        std::string replies;
        for (size_t at = 0; at < stream.size();) {
            const size_t piece = std::min<size_t>(1 + random() % 30, stream.size() - at);
            Send(stream.substr(at, piece));
            at += piece;
            while (connection_->Busy()) alive_ = connection_->OnEvent(false, false, now_);
            replies += All();
        }
        ASSERT_TRUE(alive_);
        ASSERT_EQ(observer_.commands.size(), static_cast<size_t>(count));
        size_t seen = 0;
        for (size_t at = 0; at < replies.size(); ++seen) {
            const size_t end = replies.find("\r\n", at);
            ASSERT_NE(end, std::string::npos);
            const std::string status = replies.substr(at, end - at);
            ASSERT_GE(status.size(), 3u) << status;
            ASSERT_TRUE(std::isdigit(status[0]) && std::isdigit(status[1]) &&
                        std::isdigit(status[2]))
                << status;
            at = end + 2;
            if (!blocks.count(status.substr(0, 3)))
                continue;
            const size_t stop = replies.find("\r\n.\r\n", at - 2);
            ASSERT_NE(stop, std::string::npos) << status;
            at = stop + 5;
        }
        EXPECT_EQ(seen, static_cast<size_t>(count)) << "round " << round;
    }
}

TEST_F(ConnectionTest, PeerCloseEndsTheConnection) {
    Open();
    Writes();
    shutdown(peer_, SHUT_WR);
    alive_ = connection_->OnEvent(true, true, now_);
    EXPECT_FALSE(alive_);
}

}  // namespace
}  // namespace newsd
