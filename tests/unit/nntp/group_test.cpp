// Group selection against newsd: the GROUP command and its 211 figures, the skip when the group
// is already selected, refusals, replies out of step, a demand for login, the name length limit
// and an unanswered GROUP, timed by the test clock.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "JobFixture.h"
#include "common/NNTPSocketTestAccess.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

using newsd::ConnectionScript;
using nntp_test::CountOccurrences;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

ConnectionScript ReplyToGroup(const std::string& reply) {
    ConnectionScript script;
    script.faults.push_back(ConnectionScript::ReplaceReply("GROUP", 1, reply));
    return script;
}

std::string OwnArticleSetting(CNNTPSocket& connection) {
    std::string value;
    connection.Settings.Find("article", value);
    return value;
}

class GroupTest : public JobFixture {};

TEST_F(GroupTest, GroupReplyGivesTheFiguresAndTheArticleToCountDownFrom) {
    EXPECT_EQ(Access::GroupCount(*Connection), 0);
    EXPECT_EQ(Access::GroupFirst(*Connection), 0);
    EXPECT_EQ(Access::GroupLast(*Connection), 0);
    Server->SetScript(ReplyToGroup("211 1234 3000 4233 alt.binaries.test\r\n"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_THAT(Server->Commands(), ElementsAre("GROUP alt.binaries.test"));
    EXPECT_EQ(Access::GroupCount(*Connection), 1234);
    EXPECT_EQ(Access::GroupFirst(*Connection), 3000);
    EXPECT_EQ(Access::GroupLast(*Connection), 4233);
    EXPECT_EQ(OwnArticleSetting(*Connection), "4233");
    EXPECT_EQ(Access::SelectedGroup(*Connection), kGroup);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
    EXPECT_THAT(Access::ReturnStack(*Connection), IsEmpty());

    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("SelectGroup1(): Entering newsgroup \"alt.binaries.test\" if "
                               "necessary.\n"));
    EXPECT_THAT(log, HasSubstr("Currently selected newsgroup is: \"\"\n"));
    EXPECT_THAT(log, HasSubstr("SelectGroup2(): Sending GROUP alt.binaries.test\n"));
    EXPECT_THAT(log, HasSubstr("Response: 211 1234 3000 4233 alt.binaries.test\n"));
    EXPECT_THAT(log, HasSubstr("SelectGroup3(): Newsgroup entered successfully.\n"));
    EXPECT_THAT(log, HasSubstr("Currently selected group set to \"alt.binaries.test\"\n"));
}

// A 211 whose numbers cannot be trusted would send the walk to articles the group does not
// have (HEAD 0, negative or wrapped numbers). It is an error reply: nothing of it is kept.
TEST_F(GroupTest, GroupReplyWithUnusableNumbersIsAnErrorReply) {
    for (const char* reply :
         {"211 5\r\n", "211 5 x y alt.binaries.test\r\n", "211 5 1 4294967301 alt.binaries.test\r\n",
          "211 5 1 2147483648 alt.binaries.test\r\n", "211 5 9 3 alt.binaries.test\r\n",
          "211 5 -4 3 alt.binaries.test\r\n", "211 5 1 3x alt.binaries.test\r\n",
          "211 0 x y alt.binaries.test\r\n", "211 0 1 2147483648 alt.binaries.test\r\n",
          "211 0 -1 0 alt.binaries.test\r\n", "211 -1 1 0 alt.binaries.test\r\n"}) {
        SCOPED_TRACE(reply);
        Connection->ResetConnection();
        Probe().Results.clear();
        Access::SetGroupFigures(*Connection, 0, 7, 9);
        Connection->Settings.SetInt("article", 8);
        Server->SetScript(ReplyToGroup(reply));

        Start(Steps::SelectGroup1);
        ASSERT_TRUE(WaitForResult());

        EXPECT_THAT(Probe().Results, ElementsAre(0));
        EXPECT_EQ(Access::GroupFirst(*Connection), 7);
        EXPECT_EQ(Access::GroupLast(*Connection), 9);
        EXPECT_EQ(OwnArticleSetting(*Connection), "8");
        EXPECT_EQ(Access::SelectedGroup(*Connection), kNoGroupSelected);
        EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
    }
    EXPECT_EQ(CountOccurrences(ErrorLog(), "Group reply without valid article numbers"), 11);
}

// A count of 0 is how a server says the group is empty; the last number is then usually one
// below the first. The group is entered all the same.
TEST_F(GroupTest, AnEmptyGroupIsEnteredNotRefused) {
    for (const char* reply : {"211 0 1 0 alt.binaries.test\r\n", "211 0 0 0 alt.binaries.test\r\n",
                              "211 0 4000 3999 alt.binaries.test\r\n"}) {
        SCOPED_TRACE(reply);
        Connection->ResetConnection();
        Probe().Results.clear();
        Server->SetScript(ReplyToGroup(reply));

        Start(Steps::SelectGroup1);
        ASSERT_TRUE(WaitForResult());

        EXPECT_THAT(Probe().Results, ElementsAre(1));
        EXPECT_EQ(Access::SelectedGroup(*Connection), kGroup);
        EXPECT_EQ(Access::GroupCount(*Connection), 0);
        EXPECT_TRUE(Access::IsGroupEmpty(*Connection));
        EXPECT_GT(Access::LowestArticle(*Connection), Connection->Settings.GetInt("article", 99));
    }
    EXPECT_THAT(ErrorLog(), Not(HasSubstr("without valid article numbers")));
}

TEST_F(GroupTest, TheLargest32BitNumbersAreStillTaken) {
    Server->SetScript(ReplyToGroup("211 2147483647 2147483646 2147483647 alt.binaries.test\r\n"));
    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Access::GroupFirst(*Connection), 2147483646);
    EXPECT_EQ(OwnArticleSetting(*Connection), "2147483647");
}

TEST_F(GroupTest, SelectedGroupIsNotSentAgainWhateverTheConnectionIsDoing) {
    Access::SelectGroup(*Connection, kGroup);
    Access::PutInState(*Connection, kStateHeadSent);

    Start(Steps::SelectGroup1);

    // Nested, before Start returns: no connection, no command.
    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateHeadSent);
    EXPECT_EQ(Server->ConnectionsAccepted(), 0u);
    EXPECT_THAT(TraceLog(), HasSubstr("SelectGroup1(): Group already selected. Returning\n"));
}

TEST_F(GroupTest, RefusedGroupFailsButLeavesTheConnectionIdleAndUsable) {
    Server->SetScript(ReplyToGroup("411 no such news group\r\n"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(0));
    EXPECT_EQ(Access::SelectedGroup(*Connection), kNoGroupSelected);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
    EXPECT_NE(Connection->GetSocketHandle(), INVALID_SOCKET);
    EXPECT_THAT(TraceLog(), HasSubstr("SelectGroup3(): Server returned an error.  Failing.\n"));
    EXPECT_THAT(ErrorLog(), IsEmpty());

    // The next attempt uses the same connection and now gets the real reply.
    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult(2));
    EXPECT_THAT(Probe().Results, ElementsAre(0, 1));
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    EXPECT_EQ(Access::SelectedGroup(*Connection), kGroup);
}

TEST_F(GroupTest, ReplyThatIsNoStatusLineIsOutOfSynchAndDropsTheConnection) {
    Server->SetScript(ReplyToGroup("Subject: a line left over\r\n"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(0));
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
    EXPECT_EQ(Connection->GetSocketHandle(), INVALID_SOCKET);
    EXPECT_THAT(Access::SelectedGroup(*Connection), IsEmpty());
    EXPECT_THAT(ErrorLog(), HasSubstr("Group3(): Note: Out of Synch!!!\n"));
}

TEST_F(GroupTest, ReplyInTwoPiecesIsWaitedForAndHandledOnce) {
    ConnectionScript script;
    script.faults.push_back(ConnectionScript::SplitReply("GROUP", 1, {6}));
    Server->SetScript(script);

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Access::GroupLast(*Connection), 100);
    EXPECT_EQ(nntp_test::CountOccurrences(TraceLog(), "Response: 211"), 1u);
}

TEST_F(GroupTest, NameOf224CharactersIsRefusedAnd223AreSent) {
    Access::SetGroupName(*Connection, std::string(224, 'g'));
    Access::CallSequence(*Connection, Steps::SelectGroup1, JobProbe::Done());
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(0));
    EXPECT_THAT(ErrorLog(),
                HasSubstr("CNNTPSocket::SelectGroup2(): Newsgroup name is too long.\n"));
    EXPECT_THAT(Server->Commands(), IsEmpty());

    const std::string longest(223, 'g');
    Access::SetGroupName(*Connection, longest);
    Access::CallSequence(*Connection, Steps::SelectGroup1, JobProbe::Done());
    ASSERT_TRUE(WaitForCommands(1));
    EXPECT_THAT(Server->Commands(), ElementsAre("GROUP " + longest));
    ASSERT_TRUE(WaitForResult(2));
    EXPECT_THAT(Probe().Results, ElementsAre(0, 0));  // newsd has no such group
}

TEST_F(GroupTest, UnansweredGroupIsGivenUpAtTheTimeOutAndSentAgainOnANewConnection) {
    ConnectionScript silent;
    silent.faults.push_back(ConnectionScript::NoReplyTo("GROUP"));
    Server->SetScript(0, silent);

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForCommands(1));
    ASSERT_TRUE(WaitUntilWaitingForData());
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateGroupSent);

    EXPECT_EQ(TickUntil([&] { return Access::IsDelaying(*Connection); }, 400), 182);
    EXPECT_THAT(Probe().Results, IsEmpty());  // the caller is not told
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateNoConnection);
    EXPECT_THAT(Access::SelectedGroup(*Connection), IsEmpty());
    EXPECT_EQ(Access::DelaySeconds(*Connection), 0);
    EXPECT_THAT(TraceLog(),
                HasSubstr("SelectGroup3(): No response received after GROUP command. Retrying.\n"));

    Tick();
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Server->ConnectionsAccepted(), 2u);
    EXPECT_THAT(Server->Commands(1), ElementsAre("GROUP alt.binaries.test"));
}

// A server that wants a login before GROUP, with either of the two demands.
class GroupLoginTest : public JobFixture, public ::testing::WithParamInterface<int> {
protected:
    newsd::ServerOptions ServerOptionsForTest() override {
        newsd::ServerOptions options;
        options.requireAuth = true;
        options.authRequiredCode = GetParam();
        options.user = "alice";
        options.password = "opensesame";
        return options;
    }
};

TEST_P(GroupLoginTest, DemandForLoginLogsInAndSendsGroupAgain) {
    Root.SetString("username", "alice");
    Root.SetString("password", "opensesame");

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_THAT(Server->Commands(),
                ElementsAre("GROUP alt.binaries.test", "AUTHINFO USER alice",
                            "AUTHINFO PASS opensesame", "GROUP alt.binaries.test"));
    EXPECT_EQ(Access::SelectedGroup(*Connection), kGroup);
    EXPECT_EQ(Access::GroupLast(*Connection), 100);
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("Authorization required... Sending name and password.\n"));
    EXPECT_THAT(log, HasSubstr("Jumping to AuthResendFn.\n"));
    EXPECT_THAT(log, Not(HasSubstr("opensesame")));
}

INSTANTIATE_TEST_SUITE_P(Codes, GroupLoginTest, ::testing::Values(480, 450));

}  // namespace
