// Random faults for soaks: drawn from the seed and the connection alone, at the asked rate,
// and of every kind.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>

#include "newsd/CommandLine.h"
#include "newsd/RandomFaults.h"

namespace newsd {
namespace {

std::string Describe(const ConnectionScript& script) {
    std::string text = std::to_string(static_cast<int>(script.greeting)) + ";";
    for (const Fault& fault : script.faults) {
        text += std::to_string(fault.occurrence) + ":" + std::to_string(static_cast<int>(fault.action)) +
                ":" + fault.text + ":" + std::to_string(fault.bytes) + ";";
    }
    return text;
}

TEST(RandomFaults, SameSeedAndConnectionGiveTheSameFaults) {
    RandomFaultOptions options;
    options.rate = 0.05;
    options.seed = 7;
    const std::string first = Describe(RandomFaultScript({}, options, 3));
    EXPECT_EQ(Describe(RandomFaultScript({}, options, 3)), first);
    EXPECT_NE(Describe(RandomFaultScript({}, options, 4)), first) << "each connection draws its own";
    options.seed = 8;
    EXPECT_NE(Describe(RandomFaultScript({}, options, 3)), first) << "the seed changes the draw";
}

TEST(RandomFaults, RateDecidesHowManyCommandsFail) {
    RandomFaultOptions options;
    ConnectionScript base;
    base.authRequiredCode = 450;
    options.rate = 0;
    const ConnectionScript none = RandomFaultScript(base, options, 1);
    EXPECT_TRUE(none.faults.empty());
    EXPECT_EQ(none.greeting, Greeting::kPostingAllowed);
    EXPECT_EQ(none.authRequiredCode, 450);

    options.rate = 1;
    options.commands = 50;
    const ConnectionScript all = RandomFaultScript(base, options, 1);
    EXPECT_EQ(all.greeting, Greeting::kUnavailable);
    ASSERT_EQ(all.faults.size(), 50u);
    EXPECT_EQ(all.faults.front().occurrence, 1);
    EXPECT_EQ(all.faults.back().occurrence, 50);
    EXPECT_EQ(all.authRequiredCode, 450) << "the base script is kept";

    options.rate = 0.1;
    options.commands = 2000;
    size_t faults = 0;
    for (int connection = 0; connection < 20; ++connection)
        faults += RandomFaultScript({}, options, connection).faults.size();
    EXPECT_GT(faults, 20u * 2000 / 10 * 8 / 10);
    EXPECT_LT(faults, 20u * 2000 / 10 * 12 / 10);
}

TEST(RandomFaults, EveryKindIsDrawn) {
    RandomFaultOptions options;
    options.rate = 0.2;
    std::set<std::tuple<int, std::string>> kinds;
    int greetings = 0;
    for (int connection = 0; connection < 50; ++connection) {
        const ConnectionScript script = RandomFaultScript({}, options, connection);
        greetings += script.greeting == Greeting::kUnavailable;
        for (const Fault& fault : script.faults)
            kinds.insert({static_cast<int>(fault.action), fault.text.substr(0, 3)});
    }
    EXPECT_GT(greetings, 0);
    EXPECT_TRUE(kinds.count({static_cast<int>(FaultAction::kResetAfter), ""}));
    EXPECT_TRUE(kinds.count({static_cast<int>(FaultAction::kCloseAfter), ""}));
    EXPECT_TRUE(kinds.count({static_cast<int>(FaultAction::kNoReply), ""}));
    EXPECT_TRUE(kinds.count({static_cast<int>(FaultAction::kSplit), ""}));
    EXPECT_TRUE(kinds.count({static_cast<int>(FaultAction::kPrefix), "thi"}));
    EXPECT_TRUE(kinds.count({static_cast<int>(FaultAction::kReplace), "423"}));
    EXPECT_TRUE(kinds.count({static_cast<int>(FaultAction::kReplace), "480"}));
}

TEST(RandomFaults, CommandLineTakesRateAndSeed) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(ParseCommandLine({"--random-faults", "0.02", "--fault-seed=42"}, &line, &error))
        << error;
    EXPECT_DOUBLE_EQ(line.server.randomFaults.rate, 0.02);
    EXPECT_EQ(line.server.randomFaults.seed, 42u);
    CommandLine bad;
    EXPECT_FALSE(ParseCommandLine({"--random-faults", "1.5"}, &bad, &error));
    EXPECT_FALSE(ParseCommandLine({"--random-faults", "x"}, &bad, &error));
    EXPECT_FALSE(ParseCommandLine({"--fault-seed", "-1"}, &bad, &error));
}

}  // namespace
}  // namespace newsd
