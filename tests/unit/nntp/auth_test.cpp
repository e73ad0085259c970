// Logging in, started by a demand for login in reply to GROUP: the replies to AUTHINFO USER
// and PASS that count as accepted or rejected, the retry rules, where the password comes from,
// its length limit, and a whole download from a server that wants a login.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "JobFixture.h"
#include "common/NNTPSocketTestAccess.h"
#include "support/Scramble.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

using newsd::ConnectionScript;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr const char* kAuthGroupCommand = "GROUP alt.binaries.test";

class AuthTest : public JobFixture {
protected:
    void SetUp() override {
        JobFixture::SetUp();
        Root.SetString("username", "alice");
        Root.SetString("password", "opensesame");
    }
};

TEST_F(AuthTest, PasswordAskedForAndAcceptedResendsTheInterruptedCommand) {
    Server->SetScript(LoginDemanded("381 Password required", "281 Authentication accepted"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_THAT(Server->Commands(), ElementsAre(kAuthGroupCommand, "AUTHINFO USER alice",
                                                "AUTHINFO PASS opensesame", kAuthGroupCommand));
    EXPECT_EQ(Access::AuthFailure(*Connection), 0);
    EXPECT_EQ(Access::AuthResendFn(*Connection), Steps::SelectGroup1);
    EXPECT_EQ(Access::ConnectionState(*Connection), kStateIdle);
    EXPECT_THAT(Access::ReturnStack(*Connection), IsEmpty());

    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("Auth1(): Sending AUTHINFO USER alice\n"));
    EXPECT_THAT(log, HasSubstr("Response: 381 Password required\n"));
    EXPECT_THAT(log, HasSubstr("Auth2(): User name accepted so far.  Sending password.\n"));
    EXPECT_THAT(log, HasSubstr("Auth3(): Password ok.  Returning Success.\n"));
    EXPECT_THAT(log, HasSubstr("CommonAuthHandler Entered\n"));
    EXPECT_THAT(log, Not(HasSubstr("opensesame")));
}

TEST_F(AuthTest, UserNameAcceptedAtOnceStillSendsThePassword) {
    Server->SetScript(LoginDemanded("281 Authentication accepted", "281 Authentication accepted"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_THAT(Server->Commands(), ElementsAre(kAuthGroupCommand, "AUTHINFO USER alice",
                                                "AUTHINFO PASS opensesame", kAuthGroupCommand));
}

TEST_F(AuthTest, AnyPasswordReplyButA5xxCountsAsLoggedIn) {
    Server->SetScript(LoginDemanded("381 Password required", "482 Out of sequence"));
    Access::SetAuthFailure(*Connection, 2);

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Access::AuthFailure(*Connection), 0);
    EXPECT_THAT(Server->Commands(), ElementsAre(kAuthGroupCommand, "AUTHINFO USER alice",
                                                "AUTHINFO PASS opensesame", kAuthGroupCommand));
}

TEST_F(AuthTest, RejectedPasswordFailsTheJobWhenRetryingIsOff) {
    Server->SetScript(LoginDemanded("381 Password required", "502 Permission denied"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(0));
    EXPECT_EQ(Access::AuthFailure(*Connection), 2);
    EXPECT_FALSE(Access::IsDelaying(*Connection));
    EXPECT_THAT(Access::ReturnStack(*Connection), IsEmpty());
    const std::string log = TraceLog();
    EXPECT_THAT(log, HasSubstr("Auth3(): Password rejected. Returning Failure.\n"));
    EXPECT_THAT(log, HasSubstr("Password failed. Returning Failure.\n"));

    PumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(Server->Commands().size(), 3u);  // nothing is sent after the rejection
}

TEST_F(AuthTest, AuthenticationFailedReplyIsARejectionToo) {
    Server->SetScript(LoginDemanded("381 Password required", "481 Authentication failed"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(0));
    EXPECT_EQ(Access::AuthFailure(*Connection), 2);
    EXPECT_THAT(TraceLog(), HasSubstr("Auth3(): Password rejected. Returning Failure.\n"));
    EXPECT_THAT(TraceLog(), Not(HasSubstr("Password ok.")));
}

TEST_F(AuthTest, RejectedPasswordIsRetriedAfterItsDelayWhenAsked) {
    Root.SetInt("retrypassword", 1);
    Root.SetInt("retrypassworddelay", 45);
    Server->SetScript(LoginDemanded("381 Password required", "502 Permission denied"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitUntilDelaying());
    EXPECT_EQ(Access::DelaySeconds(*Connection), 45);
    EXPECT_EQ(Access::AuthFailure(*Connection), 2);
    EXPECT_THAT(TraceLog(), HasSubstr("Password failed. Retrying after delay.\n"));

    // The resend step runs at the first tick more than 45 whole seconds later.
    EXPECT_EQ(TickUntil([&] { return !Access::IsDelaying(*Connection); }, 100), 46);
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));  // newsd answers the second GROUP
    EXPECT_THAT(Server->Commands(), ElementsAre(kAuthGroupCommand, "AUTHINFO USER alice",
                                                "AUTHINFO PASS opensesame", kAuthGroupCommand));
}

TEST_F(AuthTest, RejectedUserNameFailsWithoutSendingThePassword) {
    Server->SetScript(LoginDemanded("482 Who are you", ""));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(0));
    EXPECT_EQ(Access::AuthFailure(*Connection), 2);
    EXPECT_THAT(Server->Commands(), ElementsAre(kAuthGroupCommand, "AUTHINFO USER alice"));
    EXPECT_THAT(TraceLog(), HasSubstr("Auth2: User name rejected by server. Failing.\n"));
}

TEST_F(AuthTest, UnansweredLoginIsRetriedEvenWhenRetryingIsOff) {
    ConnectionScript mute = LoginDemanded("", "");
    mute.faults.push_back(ConnectionScript::NoReplyTo("AUTHINFO"));
    Server->SetScript(0, mute);

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForCommands(2));
    ASSERT_TRUE(WaitUntilWaitingForData());

    EXPECT_EQ(TickUntil([&] { return Access::IsDelaying(*Connection); }, 400), 182);
    EXPECT_EQ(Access::AuthFailure(*Connection), 1);
    EXPECT_EQ(Access::DelaySeconds(*Connection), 30);
    EXPECT_THAT(TraceLog(), HasSubstr("Authenticate2(): User authorization failed. Failing.\n"));

    // The retry sends GROUP again; the outstanding AUTHINFO makes it a new connection.
    EXPECT_EQ(TickUntil([&] { return !Access::IsDelaying(*Connection); }, 100), 32);
    ASSERT_TRUE(WaitForResult());
    EXPECT_THAT(Probe().Results, ElementsAre(1));
    EXPECT_EQ(Server->ConnectionsAccepted(), 2u);
    EXPECT_THAT(Server->Commands(1), ElementsAre(kAuthGroupCommand));
}

TEST_F(AuthTest, ScrambledPasswordIsSentWhenNoPlainOneIsSet) {
    Root.SetString("password", "");
    Root.SetString("NNTPp", ScrambleValue("from the registry"));
    Server->SetScript(LoginDemanded("381 Password required", "281 Authentication accepted"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(1));
    ASSERT_GE(Server->Commands().size(), 3u);
    EXPECT_EQ(Server->Commands()[2], "AUTHINFO PASS from the registry");
}

TEST_F(AuthTest, PlainPasswordWinsOverTheScrambledOne) {
    Root.SetString("NNTPp", ScrambleValue("from the registry"));
    Server->SetScript(LoginDemanded("381 Password required", "281 Authentication accepted"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForCommands(3));
    EXPECT_EQ(Server->Commands()[2], "AUTHINFO PASS opensesame");
}

// Either reply that never came ends the login as unanswered, each with its own trace line.
TEST_F(AuthTest, ReplyThatNeverCameFailsTheLoginAsUnanswered) {
    for (const StepFn step : {Steps::Auth2, Steps::Auth3}) {
        Access::SetAuthFailure(*Connection, 0);
        Access::SetStepSucceeded(*Connection, 0);
        Access::CallSequence(*Connection, step, JobProbe::Done());
        EXPECT_EQ(Access::AuthFailure(*Connection), 1);
    }
    EXPECT_THAT(Probe().Results, ElementsAre(0, 0));
    const std::string log = TraceLog();
    const auto first = log.find(": Authenticate2(): User authorization failed. Failing.\n");
    const auto second = log.find(": Auth3: Failed to receive AUTHINFO PASS response. Failing.\n");
    ASSERT_NE(first, std::string::npos) << log;
    ASSERT_NE(second, std::string::npos) << log;
    EXPECT_LT(first, second);
    EXPECT_THAT(log, Not(HasSubstr("Response:")));
}

TEST_F(AuthTest, PasswordOf224CharactersIsNeverSent) {
    Root.SetString("password", std::string(224, 'p'));
    Server->SetScript(LoginDemanded("381 Password required", ""));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(0));
    EXPECT_EQ(Access::AuthFailure(*Connection), 0);  // left as it was
    EXPECT_THAT(Server->Commands(), ElementsAre(kAuthGroupCommand, "AUTHINFO USER alice"));
    EXPECT_THAT(ErrorLog(), HasSubstr("CQWNNTP::Auth2(): Password is too long.\n"));
    EXPECT_THAT(TraceLog(), HasSubstr("CQWNNTP::Authenticate2(): Password is too long.\n"));
}

TEST_F(AuthTest, PasswordOf223CharactersIsSent) {
    const std::string longest(223, 'p');
    Root.SetString("password", longest);
    Server->SetScript(LoginDemanded("381 Password required", "281 Authentication accepted"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());

    EXPECT_THAT(Probe().Results, ElementsAre(1));
    ASSERT_GE(Server->Commands().size(), 3u);
    EXPECT_EQ(Server->Commands()[2], "AUTHINFO PASS " + longest);
    EXPECT_THAT(ErrorLog(), IsEmpty());
}

TEST_F(AuthTest, EmptyUserNameIsSentAsIs) {
    Root.SetString("username", "");
    Server->SetScript(LoginDemanded("381 Password required", "281 Authentication accepted"));

    Start(Steps::SelectGroup1);
    ASSERT_TRUE(WaitForResult());
    ASSERT_GE(Server->Commands().size(), 2u);
    EXPECT_EQ(Server->Commands()[1], "AUTHINFO USER ");
}

// A server that wants a login before anything else, as real providers do.
class LoginServerTest : public JobFixture {
protected:
    newsd::ServerOptions ServerOptionsForTest() override {
        newsd::ServerOptions options;
        options.requireAuth = true;
        options.user = "alice";
        options.password = "opensesame";
        options.articles.last = 500;
        options.articles.bodyBytes = 2048;
        return options;
    }
};

TEST_F(LoginServerTest, DownloadLogsInOnceAndGoesOn) {
    Root.SetString("username", "alice");
    Root.SetString("password", "opensesame");
    constexpr int kArticles = 30;

    StartArticleJob();
    ASSERT_TRUE(WaitForCommands(4 + 2 * kArticles));

    const auto commands = Server->Commands();
    ASSERT_GE(commands.size(), 4u + 2 * kArticles);
    EXPECT_EQ(commands[0], kAuthGroupCommand);
    EXPECT_EQ(commands[1], "AUTHINFO USER alice");
    EXPECT_EQ(commands[2], "AUTHINFO PASS opensesame");
    EXPECT_EQ(commands[3], kAuthGroupCommand);
    for (int i = 0; i < kArticles; ++i) {
        const std::string number = std::to_string(500 - i);
        EXPECT_EQ(commands[4 + 2 * i], "HEAD " + number);
        EXPECT_EQ(commands[5 + 2 * i], "BODY " + number);
    }
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    EXPECT_THAT(ErrorLog(), IsEmpty());
}

}  // namespace
