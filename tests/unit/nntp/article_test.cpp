// The article jobs: the walk down from the newest article with the exact commands, the
// article file (its content while it exists, unstuffing, "writetodisk"), error replies, a
// missing article, a login demanded by BODY, a time-out mid-body, the XOVER job, and the
// limits on what goes into a command.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>

#include "JobFixture.h"
#include "common/NNTPSocketTestAccess.h"
#include "common/OpenHandles.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

using newsd::ConnectionScript;
using nntp_test::CountOccurrences;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kGroupCommand = "GROUP alt.binaries.test";

std::size_t FileSizeOr(const std::filesystem::path& path, std::size_t otherwise) {
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? otherwise : static_cast<std::size_t>(size);
}

class ArticleTest : public JobFixture {
protected:
    newsd::ServerOptions ServerOptionsForTest() override {
        newsd::ServerOptions options;
        options.articles.last = kLast;
        options.articles.bodyBytes = 4096;
        return options;
    }

    // The bytes newsd sends for BODY of an article, status line and end line included.
    std::size_t BodyReplySize(int number) const {
        const auto& articles = Server->Articles();
        const std::string status =
            "222 " + std::to_string(number) + " " + newsd::MessageId(number) + " body\r\n";
        return status.size() + articles.BodyLeadWire(number).size() +
               articles.BodyBulkWire()->size() + 3;
    }

    // Holds back the end line of the first BODY reply for a while, so that the complete
    // article file can be looked at before it is deleted.
    ConnectionScript HoldBackEndOfFirstBody(std::chrono::milliseconds pause) const {
        ConnectionScript script;
        script.faults.push_back(
            ConnectionScript::SplitReply("BODY", 1, {BodyReplySize(kLast) - 3}, pause));
        return script;
    }

    // High enough that the loop never reaches the bottom of the group while a test runs.
    static constexpr int kLast = 1000000;
};

TEST_F(ArticleTest, LoopWalksDownFromTheNewestArticleHeaderThenBody) {
    constexpr int kArticles = 100;
    StartArticleJob();
    ASSERT_TRUE(WaitForCommands(1 + 2 * kArticles + 1));

    const auto commands = Server->Commands();
    EXPECT_EQ(commands[0], kGroupCommand);
    for (int i = 0; i < kArticles; ++i) {
        const std::string number = std::to_string(kLast - i);
        ASSERT_EQ(commands[1 + 2 * i], "HEAD " + number);
        ASSERT_EQ(commands[2 + 2 * i], "BODY " + number);
    }
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    EXPECT_GE(CountOccurrences(TraceLog(), "Body received successfully."),
              static_cast<std::size_t>(kArticles));
    EXPECT_THAT(ErrorLog(), IsEmpty());
    // Finished articles are deleted; at most the one being fetched is on disk.
    EXPECT_LE(TempFilesOnDisk().size(), 1u);
    for (const std::string& name : TempFilesOnDisk()) {
        EXPECT_EQ(name, Probe().TempFileName());
    }
}

TEST_F(ArticleTest, ArticleFileHoldsHeaderBlankLineAndUnstuffedBodyUntilItIsComplete) {
    const newsd::ExpectedArticle expected = Server->Expected(kLast);
    std::size_t dotLines = 0;
    for (const std::string& line : expected.bodyLines) {
        dotLines += !line.empty() && line[0] == '.';
    }
    ASSERT_GT(dotLines, 0u) << "the body must exercise unstuffing";
    Server->SetScript(HoldBackEndOfFirstBody(std::chrono::milliseconds(500)));

    StartArticleJob();
    const std::string wanted = expected.FileText();
    ASSERT_TRUE(PumpUntil([&] { return FileSizeOr(TempFile(), 0) == wanted.size(); }));
    EXPECT_EQ(ReadWholeFile(TempFile()), wanted);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateBodyText);

    ASSERT_TRUE(WaitForCommands(4));  // the end line came: next article
    EXPECT_EQ(Server->Commands()[3], "HEAD " + std::to_string(kLast - 1));
}

TEST_F(ArticleTest, WriteToDiskOffStillCreatesTheFileButLeavesItEmpty) {
    Root.SetInt("writetodisk", 0);
    Server->SetScript(HoldBackEndOfFirstBody(std::chrono::milliseconds(500)));

    StartArticleJob();
    ASSERT_TRUE(PumpUntil([&] {
        return Access::ConnectionState(*Connection) == kStateBodyText &&
               Access::IsWaitingForData(*Connection) && std::filesystem::exists(TempFile());
    }));
    EXPECT_EQ(FileSizeOr(TempFile(), 1), 0u);  // not even the blank line

    ASSERT_TRUE(WaitForCommands(4));
    ASSERT_TRUE(PumpUntil([&] { return TempFilesOnDisk().size() <= 1; }));
}

TEST_F(ArticleTest, MissingArticleIsSkippedOnTheSameConnection) {
    ConnectionScript script;
    script.faults.push_back(
        ConnectionScript::ReplaceReply("HEAD", 2, "423 No article with that number\r\n"));
    script.faults.push_back(ConnectionScript::ReplaceReply("BODY", 2, "430 No such article\r\n"));
    Server->SetScript(0, script);

    StartArticleJob();
    ASSERT_TRUE(WaitForCommands(8));

    EXPECT_THAT(Server->Commands(0),
                testing::IsSupersetOf({"HEAD 999999", "HEAD 999998", "BODY 999998", "HEAD 999997"}));
    const auto commands = Server->Commands(0);
    EXPECT_THAT(std::vector<std::string>(commands.begin(), commands.begin() + 8),
                ElementsAre(kGroupCommand, "HEAD 1000000", "BODY 1000000", "HEAD 999999",
                            "HEAD 999998", "BODY 999998", "HEAD 999997", "BODY 999997"));
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    EXPECT_FALSE(Access::IsDelaying(*Connection));
    EXPECT_THAT(ErrorLog(), Not(HasSubstr("423")));
    EXPECT_THAT(TraceLog(), HasSubstr("Head3(" + std::to_string(Access::SocketId(*Connection)) +
                                      "): Article 999999 is missing.  Moving on.\n"));
    // The header kept for the body that turned out missing is gone with its file.
    ASSERT_TRUE(PumpUntil([&] { return TempFilesOnDisk().size() <= 1; }));
}

TEST_F(ArticleTest, StatusLineOutOfStepIsLoggedAndTheConnectionReplaced) {
    ConnectionScript script;
    script.faults.push_back(ConnectionScript::ReplaceReply("BODY", 1, "X-Stray: header\r\n"));
    Server->SetScript(0, script);

    StartArticleJob();
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Access::DelaySeconds(*Connection), 10);  // "errordelay", not at once
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
    EXPECT_EQ(PlayUntil([&] { return Server->Commands(1).size() >= 2; }, 100), 12);

    const auto again = Server->Commands(1);
    EXPECT_EQ(again[0], kGroupCommand);
    EXPECT_EQ(again[1], "HEAD 1000000");
    const std::string errors = ErrorLog();
    EXPECT_THAT(errors, HasSubstr("Body3(): Note: Out of Synch!!!\n"));
    EXPECT_THAT(errors, HasSubstr("Body3(): X-Stray: header\n"));
    EXPECT_LT(errors.find("Out of Synch"), errors.find("Body3(): X-Stray"));
    EXPECT_THAT(TraceLog(), HasSubstr("Body3(): Note: Out of Synch!!!\n"));
}

TEST_F(ArticleTest, LoginDemandedByBodyResendsOnlyTheBody) {
    Root.SetString("username", "alice");
    Root.SetString("password", "opensesame");
    ConnectionScript script;
    script.faults.push_back(
        ConnectionScript::ReplaceReply("BODY", 1, "480 Authentication required\r\n"));
    script.userReply = "381 Password required";
    script.passReply = "281 Authentication accepted";
    Server->SetScript(script);

    StartArticleJob();
    ASSERT_TRUE(WaitForCommands(8));

    const auto commands = Server->Commands();
    EXPECT_THAT(
        std::vector<std::string>(commands.begin(), commands.begin() + 8),
        ElementsAre(kGroupCommand, "HEAD 1000000", "BODY 1000000", "AUTHINFO USER alice",
                    "AUTHINFO PASS opensesame", "BODY 1000000", "HEAD 999999", "BODY 999999"));
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
}

TEST_F(ArticleTest, TimeOutInTheMiddleOfABodyDeletesThePartialFileAndStartsOver) {
    ConnectionScript script;
    script.faults.push_back(ConnectionScript::SplitReply("BODY", 1, {2000}, std::chrono::hours(1)));
    Server->SetScript(0, script);

    StartArticleJob();
    ASSERT_TRUE(PumpUntil([&] {
        return Access::ConnectionState(*Connection) == kStateBodyText &&
               Access::IsWaitingForData(*Connection) && FileSizeOr(TempFile(), 0) > 0;
    }));
    EXPECT_LT(FileSizeOr(TempFile(), 0), Server->Expected(kLast).FileText().size());

    EXPECT_EQ(TickUntil([&] { return Access::IsDelaying(*Connection); }, 400), 182);
    EXPECT_THAT(TempFilesOnDisk(), IsEmpty());
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
    EXPECT_EQ(Access::DelaySeconds(*Connection), 10);  // "errordelay"
    EXPECT_THAT(TraceLog(), HasSubstr("Error receiving article body. Retrying.\n"));
    EXPECT_THAT(ErrorLog(),
                HasSubstr("WaitForLine failed while receiving BODY. Retrying after delay.\n"));

    EXPECT_EQ(TickUntil([&] { return !Access::IsDelaying(*Connection); }, 100), 12);
    ASSERT_TRUE(PumpUntil([&] { return Server->Commands(1).size() >= 3; }));
    const auto again = Server->Commands(1);
    EXPECT_EQ(again[0], kGroupCommand);
    EXPECT_EQ(again[1], "HEAD 1000000");  // the header is fetched again
    EXPECT_EQ(again[2], "BODY 1000000");
}

TEST_F(ArticleTest, RefusedLoginDuringBodyDoesNotLeakTheArticleFile) {
    Root.SetString("username", "alice");
    Root.SetString("password", "wrong");
    ConnectionScript script;
    script.faults.push_back(
        ConnectionScript::ReplaceReply("BODY", 0, "480 Authentication required\r\n"));
    script.userReply = "381 Password required";
    script.passReply = "502 Permission denied";
    Server->SetScript(script);

    // Each round: HEAD opens the file, BODY is refused, the login fails, the next HEAD.
    StartArticleJob();
    auto headsSeen = [&] {
        std::size_t heads = 0;
        for (const auto& command : Server->Commands()) {
            heads += command.rfind("HEAD ", 0) == 0;
        }
        return heads;
    };
    ASSERT_NE(PlayUntil([&] { return headsSeen() >= 3; }, 100), -1);
    const std::size_t early = OpenHandleCount();
    ASSERT_NE(PlayUntil([&] { return headsSeen() >= 23; }, 20 * 14), -1);
    EXPECT_LE(OpenHandleCount(), early + 2);
    EXPECT_LE(TempFilesOnDisk().size(), 1u);
}

// --- exact bytes from a raw peer -------------------------------------------------------

class ArticleBytesTest : public JobFixture {
protected:
    void SetUp() override {
        JobFixture::SetUp();
        ASSERT_TRUE(Peer.Listening());
        UsePeer(Peer);
    }

    // Greets, answers GROUP with last article 3, and waits for "HEAD 3".
    void StartAndReachHead() {
        StartArticleJob();
        DispatchPending();
        ASSERT_TRUE(Peer.Accept());
        ASSERT_TRUE(Peer.Write("200 raw peer\r\n"));
        ASSERT_TRUE(PeerReceives(Peer, Received, "GROUP alt.binaries.test\r\n"));
        ASSERT_TRUE(Peer.Write("211 3 1 3 alt.binaries.test\r\n"));
        ASSERT_TRUE(PeerReceives(Peer, Received, "HEAD 3\r\n"));
    }

    RawPeer Peer;
    std::string Received;
};

TEST_F(ArticleBytesTest, DotsAreUnstuffedAndOnlyDotCrEndsTheText) {
    StartAndReachHead();
    // Any 2xx is accepted; ".\n" without CR is an ordinary line.
    ASSERT_TRUE(Peer.Write(std::string("223 3 <3@raw> head\r\n") + "Subject: dots\r\n"
                                                                   "..Stuffed: leading dot\r\n"
                                                                   ".single\r\n"
                                                                   ".\n"
                                                                   "Last: header line\r\n"));
    ASSERT_TRUE(
        PumpUntil([&] { return TraceLog().find("Last: header line") != std::string::npos; }));
    const std::string header =
        "Subject: dots\r\n.Stuffed: leading dot\r\n.single\r\n.\nLast: header line\r\n";
    EXPECT_EQ(ReadWholeFile(TempFile()), header);

    ASSERT_TRUE(Peer.Write(".\r\n"));
    ASSERT_TRUE(PeerReceives(Peer, Received, "BODY 3\r\n"));
    // A NUL inside a line must not cut what is written.
    constexpr char kBodyWire[] = "..body dot\r\nnul\0inside\r\nplain\r\n";
    constexpr char kBodyStored[] = ".body dot\r\nnul\0inside\r\nplain\r\n";
    ASSERT_TRUE(
        Peer.Write("222 3 <3@raw> body\r\n" + std::string(kBodyWire, sizeof kBodyWire - 1)));
    const std::string wanted = header + "\r\n" + std::string(kBodyStored, sizeof kBodyStored - 1);
    ASSERT_TRUE(PumpUntil([&] { return FileSizeOr(TempFile(), 0) == wanted.size(); }));
    EXPECT_EQ(ReadWholeFile(TempFile()), wanted);

    ASSERT_TRUE(Peer.Write(".\r\n"));
    ASSERT_TRUE(PeerReceives(Peer, Received, "HEAD 2\r\n"));
    EXPECT_FALSE(std::filesystem::exists(TempFile()));
    EXPECT_THAT(TraceLog(), HasSubstr("Head4(" + std::to_string(Access::SocketId(*Connection)) +
                                      "): Header received successfully.\n"));
}

// The header's and the article's latencies both count from HEAD: a stall between the status
// line and the header text, or before BODY, shows in them and in no other figure.
TEST_F(ArticleBytesTest, HeaderAndArticleLatenciesCountFromTheHeadCommand) {
    RunMonitor run;
    Connection->AttachMonitor(Access::Monitor(*Connection), &run);
    StartAndReachHead();
    ASSERT_TRUE(Peer.Write("221 3 <3@raw> head\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return run.Latency(CommandKind::kHead).Count() == 1; }));
    Clock.AdvanceMilliseconds(41);
    ASSERT_TRUE(Peer.Write("Subject: slow\r\n.\r\n"));
    ASSERT_TRUE(PeerReceives(Peer, Received, "BODY 3\r\n"));
    Clock.AdvanceMilliseconds(5);
    ASSERT_TRUE(Peer.Write("222 3 <3@raw> body\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return run.Latency(CommandKind::kBodyStatus).Count() == 1; }));
    Clock.AdvanceMilliseconds(7);
    ASSERT_TRUE(Peer.Write("text\r\n.\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return run.Latency(CommandKind::kArticle).Count() == 1; }));

    EXPECT_EQ(run.Latency(CommandKind::kHead).max, 0u);
    EXPECT_EQ(run.Latency(CommandKind::kHeadText).max, 41000u);
    EXPECT_EQ(run.Latency(CommandKind::kBodyStatus).max, 5000u);
    EXPECT_EQ(run.Latency(CommandKind::kBodyText).max, 12000u);
    EXPECT_EQ(run.Latency(CommandKind::kArticle).max, 53000u);
    Connection->AttachMonitor(Access::Monitor(*Connection), nullptr);
}

TEST_F(ArticleBytesTest, WriteToDiskOffKeepsHeaderAndBlankLineOutOfTheFile) {
    Root.SetInt("writetodisk", 0);
    StartAndReachHead();
    ASSERT_TRUE(Peer.Write("221 3 <3@raw> head\r\nSubject: nothing kept\r\n"));
    ASSERT_TRUE(
        PumpUntil([&] { return TraceLog().find("Subject: nothing kept") != std::string::npos; }));
    EXPECT_TRUE(std::filesystem::exists(TempFile()));
    EXPECT_EQ(FileSizeOr(TempFile(), 1), 0u);

    ASSERT_TRUE(Peer.Write(".\r\n"));
    ASSERT_TRUE(PeerReceives(Peer, Received, "BODY 3\r\n"));
    ASSERT_TRUE(Peer.Write("222 3 <3@raw> body\r\n"));
    ASSERT_TRUE(
        PumpUntil([&] { return TraceLog().find("Waiting for body text.") != std::string::npos; }));
    EXPECT_EQ(FileSizeOr(TempFile(), 1), 0u);

    ASSERT_TRUE(Peer.Write("body line\r\n.\r\n"));
    ASSERT_TRUE(PeerReceives(Peer, Received, "HEAD 2\r\n"));
    EXPECT_FALSE(std::filesystem::exists(TempFile()));
}

TEST_F(ArticleBytesTest, ChangeOfWriteToDiskTakesEffectWithinAnArticle) {
    StartAndReachHead();
    ASSERT_TRUE(Peer.Write("221 3 <3@raw> head\r\nKept: yes\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return TraceLog().find("Kept: yes") != std::string::npos; }));
    Root.SetInt("writetodisk", 0);
    ASSERT_TRUE(Peer.Write("Kept: no\r\n"));
    ASSERT_TRUE(PumpUntil([&] { return TraceLog().find("Kept: no") != std::string::npos; }));
    EXPECT_EQ(ReadWholeFile(TempFile()), "Kept: yes\r\n");
}

// --- the XOVER job ---------------------------------------------------------------------

TEST_F(ArticleTest, OverviewJobListsTheRangeAndEndsInCallback) {
    Root.SetString("range", "999996-1000000");
    Access::SetGroupName(*Connection, kGroup);
    PostMessageA(Connection->GetWindowHandle(), kMsgStartXoverJob, 0, 0);

    ASSERT_TRUE(PumpUntil([&] { return TraceLog().find("End of job") != std::string::npos; }));
    EXPECT_THAT(Server->Commands(), ElementsAre(kGroupCommand, "XOVER 999996-1000000"));
    EXPECT_THAT(Access::ReturnStack(*Connection), IsEmpty());
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
    EXPECT_THAT(TempFilesOnDisk(), IsEmpty());

    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("Xover2: Requesting Xover 999996-1000000\n"));
    EXPECT_THAT(log, HasSubstr("Success. Waiting for header text.\n"));
    EXPECT_THAT(log, HasSubstr(": 1000000\t"));  // the overview lines are traced
    EXPECT_THAT(log, HasSubstr("Xover list received successfully.\n"));
    EXPECT_THAT(log, HasSubstr("Callback() called. (End of job) lParam1 = 0, lParam2 = 0.\n\n"));
}

TEST_F(ArticleTest, OverviewErrorReplyEndsTheJobWithTheErrorLogged) {
    Root.SetString("range", "2000000-2000005");  // beyond the group: newsd answers 423
    Access::SetGroupName(*Connection, kGroup);
    PostMessageA(Connection->GetWindowHandle(), kMsgStartXoverJob, 0, 0);

    ASSERT_TRUE(PumpUntil([&] { return TraceLog().find("End of job") != std::string::npos; }));
    EXPECT_THAT(ErrorLog(), HasSubstr("Xover3(): 423"));
    EXPECT_THAT(Access::ReturnStack(*Connection), IsEmpty());
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
}

// --- what goes into a command ----------------------------------------------------------

TEST_F(ArticleTest, ArticleTextTooLongForTheCommandIsRefusedAndLogged) {
    Access::SelectGroup(*Connection, kGroup);  // no GROUP, so "article" stays as set here
    Access::PutInState(*Connection, kStateIdle);
    Connection->Settings.SetString("article", std::string(224, '9'));

    Start(Steps::Head1);
    Start(Steps::Body1);

    EXPECT_THAT(Probe().Results, ElementsAre(0, 0));
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);  // nothing sent
    const std::string errors = ErrorLog();
    EXPECT_THAT(errors, HasSubstr("CNNTPSocket::Head2(): Article number is too long.\n"));
    EXPECT_THAT(errors, HasSubstr("CNNTPSocket::Body2(): Article number is too long.\n"));

    const std::string longest(223, '9');
    Connection->Settings.SetString("article", longest);
    Start(Steps::Head1);
    EXPECT_THAT(TraceLog(), HasSubstr("Head2: Requesting HEAD " + longest + "\n"));
    EXPECT_THAT(TraceLog(), HasSubstr("Sending[-1]: HEAD " + longest + "\n"));
}

TEST_F(ArticleTest, RangeTooLongForTheCommandEndsTheOverviewJob) {
    Access::SetGroupName(*Connection, kGroup);
    Access::SelectGroup(*Connection, kGroup);
    Root.SetString("range", std::string(300, '1'));

    Access::CallSequence(*Connection, Steps::Xover1, Steps::Callback);

    EXPECT_THAT(ErrorLog(), HasSubstr("CNNTPSocket::Xover2(): Range is too long.\n"));
    EXPECT_THAT(TraceLog(), HasSubstr("End of job"));
    EXPECT_THAT(Access::ReturnStack(*Connection), IsEmpty());
}

TEST_F(ArticleTest, LoopForAGroupThatCanNeverBeSelectedWaitsBetweenAttempts) {
    Connection->StartArticleJob(std::string(224, 'g'), 1);

    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Access::DelaySeconds(*Connection), 10);
    EXPECT_EQ(CountOccurrences(ErrorLog(), "Newsgroup name is too long."), 1u);
    EXPECT_EQ(Connection->Settings.GetInt("article", 99), 0);

    // The next attempt fails the same way, at once, and waits again.
    EXPECT_EQ(
        TickUntil([&] { return CountOccurrences(ErrorLog(), "Newsgroup name is too long.") == 2; },
                  100),
        12);
    EXPECT_TRUE(Access::IsDelaying(*Connection));
    EXPECT_EQ(Connection->Settings.GetInt("article", 99), -1);
    EXPECT_THAT(Server->Commands(), IsEmpty());
}

TEST_F(ArticleTest, PassingBelowTheFirstArticleSelectsTheGroupAgainOnTheSameConnection) {
    ASSERT_TRUE(Connection->Connect("127.0.0.1", Server->Port(), "", 0, "", ""));
    Access::SetGroupName(*Connection, kGroup);
    Access::SelectGroup(*Connection, kGroup);
    Access::PutInState(*Connection, kStateIdle);
    Access::SetGroupFigures(*Connection, 6, 5, 10);
    Connection->Settings.SetInt("article", 5);
    Access::SetRoundSoFar(*Connection, 1, false);  // this round completed an article
    Access::SetStepSucceeded(*Connection, 1);

    Access::Run(*Connection, Steps::NextArticle);

    // Not HEAD 4: the group is selected anew, which starts the walk at its newest again.
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateGroupSent);
    EXPECT_FALSE(Access::IsDelaying(*Connection));
    EXPECT_EQ(Access::SelectedGroup(*Connection), kNoGroupSelected);
}

// A job that fails (here a refused login to every HEAD) leaves the group selected; the walk
// still stops at the first article and asks for the group again after one "errordelay".
TEST_F(ArticleTest, FailedJobsNeverWalkBelowTheFirstArticle) {
    ConnectionScript script;
    script.faults.push_back(
        ConnectionScript::ReplaceReply("GROUP", 0, "211 3 1 3 alt.binaries.test\r\n"));
    script.faults.push_back(
        ConnectionScript::ReplaceReply("HEAD", 0, "480 Authentication required\r\n"));
    script.passReply = "481 Authentication failed";
    Server->SetScript(script);
    Root.SetInt("errordelay", 10);
    StartArticleJob();

    auto groups = [&] {
        const auto commands = Server->Commands();
        return std::count(commands.begin(), commands.end(), "GROUP alt.binaries.test");
    };
    // HEAD 3 at 0 s, HEAD 2 at 12 s, HEAD 1 at 24 s, then GROUP once the delay ends.
    EXPECT_EQ(PlayUntil([&] { return groups() == 2; }, 100), 36);
    std::vector<std::string> heads;  // those before the second GROUP
    int groupsSeen = 0;
    for (const auto& command : Server->Commands()) {
        groupsSeen += command == "GROUP alt.binaries.test";
        if (groupsSeen == 1 && command.rfind("HEAD ", 0) == 0) {
            heads.push_back(command);
        }
    }
    EXPECT_THAT(heads, ElementsAre("HEAD 3", "HEAD 2", "HEAD 1"));
}

TEST_F(ArticleTest, NoArticleBelowOneIsAskedForWhateverTheGroupSays) {
    Access::SetGroupName(*Connection, kGroup);
    Access::SelectGroup(*Connection, kGroup);
    Access::PutInState(*Connection, kStateIdle);
    Access::SetGroupFigures(*Connection, 0, 0, 0);
    Connection->Settings.SetInt("article", 0);
    Start(Steps::Head1);

    EXPECT_NE(Access::ConnectionState(*Connection), kStateHeadSent);
    EXPECT_TRUE(Access::IsDelaying(*Connection));
    EXPECT_EQ(Access::SelectedGroup(*Connection), kNoGroupSelected);  // GROUP follows the delay
}

TEST_F(ArticleTest, ARoundThatCompletedNothingWaitsBeforeItStartsAgain) {
    Access::SetGroupName(*Connection, kGroup);
    Access::SelectGroup(*Connection, kGroup);
    Access::PutInState(*Connection, kStateIdle);
    Access::SetGroupFigures(*Connection, 6, 5, 10);
    Connection->Settings.SetInt("article", 5);
    Access::SetRoundSoFar(*Connection, 0, true);  // nothing completed, the last one missing
    Access::SetStepSucceeded(*Connection, 0);

    Access::Run(*Connection, Steps::NextArticle);

    EXPECT_TRUE(Access::IsDelaying(*Connection));
    EXPECT_EQ(Access::DelaySeconds(*Connection), 10);
    EXPECT_THAT(Access::ReturnStack(*Connection), ElementsAre(Steps::NextArticle, Steps::Head1));
    EXPECT_EQ(Server->ConnectionsAccepted(), 0u);
}

}  // namespace
