// No retry storms: every failure that used to restart the job at once now waits "errordelay"
// first, and a missing article moves the walk on without a reconnection. Each test plays a
// fixed span of test-clock time against newsd and counts what the server received, so a
// path that loses its delay shows up as hundreds of commands instead of a handful.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "JobFixture.h"
#include "common/NNTPSocketTestAccess.h"

using Access = NNTPSocketTestAccess;

namespace {

using newsd::ConnectionScript;
using ::testing::ElementsAre;

// 120 s of test clock with "errordelay" 10: a retry every 12 s at 2-second ticks, so at most
// 11 attempts after the first.
constexpr int kPlayedSeconds = 120;
constexpr std::size_t kMostAttempts = 1 + kPlayedSeconds / 11;

std::size_t CountStartingWith(const std::vector<std::string>& commands, const std::string& verb) {
    return static_cast<std::size_t>(std::count_if(
        commands.begin(), commands.end(), [&](const std::string& c) { return c.rfind(verb, 0) == 0; }));
}

class RetryStormTest : public JobFixture {
protected:
    newsd::ServerOptions ServerOptionsForTest() override {
        newsd::ServerOptions options;
        options.articles.first = 1;
        options.articles.last = 20;
        options.articles.bodyBytes = 512;
        options.articles.missing = Missing;
        return options;
    }
    void SetUp() override {}  // the server is made by Begin, once Missing is set

    void Begin() { JobFixture::SetUp(); }

    // Plays the article job for `seconds` of test-clock time.
    std::vector<std::string> Play(int seconds = kPlayedSeconds) {
        StartArticleJob();
        PlayFor(seconds);
        return Server->Commands();
    }

    std::set<int64_t> Missing;
};

TEST_F(RetryStormTest, AWrongPasswordIsTriedOncePerErrorDelay) {
    Begin();
    Root.SetString("username", "alice");
    Root.SetString("password", "wrong");
    ConnectionScript script;
    script.authRequiredCode = 480;
    script.passReply = "481 Authentication failed";
    Server->SetScript(script);

    const auto commands = Play();

    const std::size_t logins = CountStartingWith(commands, "AUTHINFO PASS");
    EXPECT_GE(logins, kMostAttempts - 2);
    EXPECT_LE(logins, kMostAttempts);
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);  // the connection is kept between tries
    EXPECT_EQ(Access::DelaySeconds(*Connection), 10);
}

TEST_F(RetryStormTest, ARefusedGroupIsAskedOncePerErrorDelay) {
    Begin();
    ConnectionScript script;
    script.faults.push_back(ConnectionScript::ReplaceReply("GROUP", 0, "502 No permission\r\n"));
    Server->SetScript(script);

    const auto commands = Play();

    EXPECT_GE(CountStartingWith(commands, "GROUP"), kMostAttempts - 2);
    EXPECT_LE(CountStartingWith(commands, "GROUP"), kMostAttempts);
    EXPECT_EQ(CountStartingWith(commands, "HEAD"), 0u);
}

TEST_F(RetryStormTest, AnErrorReplyToHeadOrBodyReconnectsOncePerErrorDelay) {
    for (const char* verb : {"HEAD", "BODY"}) {
        SCOPED_TRACE(verb);
        Begin();
        ConnectionScript script;
        script.faults.push_back(ConnectionScript::ReplaceReply(verb, 0, "502 Go away\r\n"));
        Server->SetScript(script);

        const auto commands = Play();

        EXPECT_GE(Server->ConnectionsAccepted(), kMostAttempts - 2);
        EXPECT_LE(Server->ConnectionsAccepted(), kMostAttempts);
        EXPECT_LE(CountStartingWith(commands, verb), kMostAttempts);
        TearDown();
    }
}

TEST_F(RetryStormTest, APasswordTooLongIsNotSentAndRetriedOncePerErrorDelay) {
    Begin();
    Root.SetString("username", "alice");
    Root.SetString("password", std::string(224, 'p'));
    ConnectionScript script;
    script.authRequiredCode = 480;
    script.userReply = "381 Password required";
    Server->SetScript(script);

    const auto commands = Play();

    EXPECT_EQ(CountStartingWith(commands, "AUTHINFO PASS"), 0u);
    EXPECT_LE(CountStartingWith(commands, "AUTHINFO USER"), kMostAttempts);
    EXPECT_GE(CountStartingWith(commands, "AUTHINFO USER"), kMostAttempts - 2);
}

TEST_F(RetryStormTest, AMissingNewestArticleIsSkipped) {
    Missing = {20};
    Begin();
    StartArticleJob();
    ASSERT_TRUE(WaitForCommands(6));
    const auto commands = Server->Commands();
    EXPECT_THAT(std::vector<std::string>(commands.begin(), commands.begin() + 6),
                ElementsAre("GROUP alt.binaries.test", "HEAD 20", "HEAD 19", "BODY 19", "HEAD 18",
                            "BODY 18"));
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
}

TEST_F(RetryStormTest, EverySecondArticleMissingStillCompletesTheOthersAndStartsAgainAtTheTop) {
    for (int n = 2; n <= 20; n += 2) {
        Missing.insert(n);
    }
    Begin();
    StartArticleJob();
    // One whole round, then the group is selected again (no delay: the round completed
    // articles) and the walk starts at the newest again.
    ASSERT_TRUE(PumpUntil([&] { return CountStartingWith(Server->Commands(), "GROUP") >= 2; }));
    ASSERT_TRUE(WaitForCommands(33));
    const auto all = Server->Commands();
    const std::vector<std::string> round(all.begin(), all.begin() + 31);
    EXPECT_EQ(CountStartingWith(round, "HEAD"), 20u);
    EXPECT_EQ(CountStartingWith(round, "BODY"), 10u);
    for (int n = 1; n <= 19; n += 2) {
        EXPECT_NE(std::find(round.begin(), round.end(), "BODY " + std::to_string(n)), round.end());
    }
    EXPECT_EQ(CountStartingWith(all, "HEAD 0"), 0u);  // never below the first article
    EXPECT_EQ(all[31], "GROUP alt.binaries.test");
    EXPECT_EQ(all[32], "HEAD 20");
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    EXPECT_FALSE(Access::IsDelaying(*Connection));
}

TEST_F(RetryStormTest, AGroupWithEveryArticleMissingIsWalkedOncePerErrorDelay) {
    for (int n = 1; n <= 20; ++n) {
        Missing.insert(n);
    }
    Begin();

    const auto commands = Play();

    // Every round asks each of the 20 articles once, then waits.
    const std::size_t rounds = CountStartingWith(commands, "GROUP");
    EXPECT_GE(rounds, kMostAttempts - 2);
    EXPECT_LE(rounds, kMostAttempts);
    EXPECT_LE(CountStartingWith(commands, "HEAD"), 20 * rounds);
    EXPECT_EQ(CountStartingWith(commands, "HEAD 0"), 0u);
    EXPECT_EQ(CountStartingWith(commands, "BODY"), 0u);
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
}

}  // namespace
