// --sweep: the list of steps (faults named with their column), the knee and the capacity.
#include "app/core/Sweep.h"
#include "app/core/SweepReport.h"

#include <gtest/gtest.h>

namespace {

std::vector<int> Steps(const std::string& text, int max = 100000) {
    std::vector<int> steps;
    SweepParseError error;
    EXPECT_TRUE(ParseSweepList(text, max, steps, error)) << text << ": " << error.message;
    return steps;
}

TEST(SweepListTest, ListsRangesAndBoth) {
    EXPECT_EQ(Steps("1,4,16,64"), (std::vector<int>{1, 4, 16, 64}));
    EXPECT_EQ(Steps("1..64"), (std::vector<int>{1, 2, 4, 8, 16, 32, 64}));
    EXPECT_EQ(Steps("3..20"), (std::vector<int>{3, 6, 12, 20}));  // B itself ends the range
    EXPECT_EQ(Steps("5..5"), (std::vector<int>{5}));
    EXPECT_EQ(Steps("1,2,8..32,50"), (std::vector<int>{1, 2, 8, 16, 32, 50}));
    EXPECT_EQ(Steps("7"), (std::vector<int>{7}));
    EXPECT_EQ(Steps("64..100000").back(), 100000);
}

TEST(SweepListTest, FaultsAreNamedWithTheirColumn) {
    const struct {
        const char* text;
        std::size_t column;
        const char* says;
    } cases[] = {
        {"", 1, "expected a list"},       {"1,,4", 3, "expected a number"},
        {"1,4,", 5, "expected a number"}, {"0,4", 1, "1 to 100"},
        {"1,4,200", 5, "1 to 100"},       {"4,2", 3, "must grow: 2 follows 4"},
        {"1,1", 3, "must grow"},          {"8..4", 4, "B of at least A"},
        {"1..", 4, "expected a number"},  {"1...4", 4, "expected a number"},
        {"1;4", 2, "expected ','"},       {"1, 4", 3, "expected a number"},
        {"x", 1, "expected a number"},    {"2..16,8", 7, "must grow: 8 follows 16"},
        {"99999999999999999999", 1, "1 to 100"},
    };
    for (const auto& c : cases) {
        std::vector<int> steps;
        SweepParseError error;
        ASSERT_FALSE(ParseSweepList(c.text, 100, steps, error)) << c.text;
        EXPECT_EQ(error.column, c.column) << c.text << ": " << error.message;
        EXPECT_NE(error.message.find(c.says), std::string::npos) << c.text << ": " << error.message;
    }
    SweepParseError error;
    std::vector<int> steps;
    ParseSweepList("1,,4", 100, steps, error);
    EXPECT_EQ(DescribeSweepError("1,,4", error),
              "--sweep '1,,4': expected a number of connections at column 3\n  1,,4\n    ^");
}

TEST(SweepKneeTest, FewestConnectionsWithinFivePercentOfTheBest) {
    // The rates read by hand from four runs against a real server: the best at 4 connections.
    EXPECT_EQ(SweepKnee({{1, 718}, {4, 833}, {16, 706}, {64, 573}}), 4);
    // 1 connection is within 5 % of the best (96.2 %): more connections buy nothing.
    EXPECT_EQ(SweepKnee({{1, 962}, {4, 1000}, {16, 990}}), 1);
    // Exactly 95 % counts; just below does not.
    EXPECT_EQ(SweepKnee({{1, 94.9}, {2, 95}, {4, 100}}), 2);
    EXPECT_EQ(SweepKnee({{8, 10}}), 8);
    EXPECT_EQ(SweepKnee({{1, 0}, {2, 0}}), std::nullopt);  // nothing received
    EXPECT_EQ(SweepKnee({}), std::nullopt);
}

TEST(SweepCapacityTest, MostConnectionsThatPassEveryCheck) {
    const std::vector<StepOutcome> steps = {{1, 100, true}, {4, 300, true}, {16, 400, false},
                                            {64, 350, false}};
    EXPECT_EQ(SweepCapacity(steps, true), 4);
    EXPECT_EQ(SweepCapacity(steps, false), std::nullopt);  // no checks, no capacity
    EXPECT_EQ(SweepCapacity({{1, 1, false}, {2, 1, false}}, true), std::nullopt);
    // A step that passes after one that failed still met every target.
    EXPECT_EQ(SweepCapacity({{1, 1, true}, {2, 1, false}, {4, 1, true}}, true), 4);
}

}  // namespace

namespace {

SweepStep Step(int connections, double bytesPerSecond, bool pass) {
    SweepStep step;
    step.connections = connections;
    step.summary.averageBytesPerSecond = bytesPerSecond;
    step.summary.latencies = {{"body", 10, 400, 800, 3200, 5000, 6000}};
    step.checks = {{"failures == 0", 0.0, "", pass}};
    step.json = StepJson(step.summary, connections, step.checks, true);
    return step;
}

TEST(SweepReportTest, StepAndSweepObjectsCarryTheSummaryAndTheVerdicts) {
    const SweepStep first = Step(1, 5e6, true);
    const std::string line = first.json.Line();
    EXPECT_EQ(line.rfind("{\"event\":\"step\",\"step\":1,\"duration_s\":", 0), 0u) << line;
    EXPECT_EQ(line.find("\"summary\":true"), std::string::npos) << line;
    EXPECT_NE(line.find(",\"checks\":[{\"expr\":\"failures == 0\",\"value\":0,\"pass\":true}]}\n"),
              std::string::npos)
        << line;
    EXPECT_EQ(StepJson(first.summary, 1, {}, false).Line().find("checks"), std::string::npos);

    const std::vector<SweepStep> steps = {first, Step(4, 8e6, false)};
    const std::string sweep = SweepJson(steps, 4, std::nullopt);
    EXPECT_EQ(sweep.rfind("{\"event\":\"sweep\",\"steps\":[{\"event\":\"step\",\"step\":1,", 0), 0u);
    EXPECT_NE(sweep.find("},{\"event\":\"step\",\"step\":4,"), std::string::npos) << sweep;
    EXPECT_NE(sweep.find("]}],\"knee\":4,\"capacity\":null}\n"), std::string::npos) << sweep;

    const std::string table = SweepTableText(steps, 4, 1, true);
    EXPECT_NE(table.find("            1       5.00         0.0            -      0.4/3.2            -"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("PASS\n"), std::string::npos);
    EXPECT_NE(table.find("FAIL\n"), std::string::npos);
    EXPECT_NE(table.find("knee        4 connections: the fewest within 5 % of the best rate (8.00 MB/s)"),
              std::string::npos)
        << table;
    EXPECT_NE(table.find("capacity    1 connection: the most that met every check"),
              std::string::npos)
        << table;
    EXPECT_NE(SweepTableText(steps, std::nullopt, std::nullopt, true).find("capacity    none"),
              std::string::npos);
    EXPECT_EQ(SweepTableText(steps, 4, std::nullopt, false).find("capacity"), std::string::npos);
}

TEST(SweepReportTest, TheEngineIsNamedAsTheLimitAboveNinetyPercentOfACore) {
    EXPECT_EQ(BusyEngineWarning(0.97),
              "the engine used 97 % of a core: zodiva, not the server, may be the limit; see "
              "--engines or more processes");
    EXPECT_EQ(BusyEngineWarning(0.90), "");
    EXPECT_EQ(BusyEngineWarning(0.42), "");
    EXPECT_EQ(BusyEngineWarning(-1.0), "");  // not measured
}

}  // namespace
