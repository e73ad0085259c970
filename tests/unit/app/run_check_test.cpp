// --check: the grammar (every metric, unit and operator; faults named with their column) and
// the judgement of a summary.
#include "app/core/RunCheck.h"

#include <gtest/gtest.h>

#include "app/core/JsonObject.h"

namespace {

RunCheck Parsed(const std::string& text) {
    RunCheck check;
    CheckParseError error;
    EXPECT_TRUE(ParseRunCheck(text, check, error)) << text << ": " << error.message;
    return check;
}

CheckParseError Refused(const std::string& text) {
    RunCheck check;
    CheckParseError error;
    EXPECT_FALSE(ParseRunCheck(text, check, error)) << text;
    return error;
}

// A summary with known figures: 2 MiB/s, 100 articles in 10 s, body latencies, failures.
RunSummary Summary() {
    RunSummary summary;
    summary.averageBytesPerSecond = 2097152.0;  // 2 MiB/s
    summary.articlesCompleted = 100;
    summary.articlesPerSecond = 10.0;
    summary.missingArticles = 3;
    summary.failures = {{"refused", "refused", 2, {}},
                        {"time-out", "time_out", 0, {}},
                        {"greeting refused", "greeting_refused", 1, {}}};
    summary.latencies = {{"body", 50, 400, 900, 12000, 20000, 25000},
                         {"body_text", 50, 800, 1500, 30000, 45000, 50000}};
    summary.engineCpu = 0.25;
    return summary;
}

double ValueOf(const std::string& text, const RunSummary& summary = Summary()) {
    const std::optional<double> value = CheckValue(Parsed(text), summary);
    EXPECT_TRUE(value.has_value()) << text;
    return value.value_or(-1.0);
}

TEST(RunCheckTest, EveryMetricReadsItsFigureInTheUnitWritten) {
    EXPECT_DOUBLE_EQ(ValueOf("rate > 1B/s"), 2097152.0);
    EXPECT_DOUBLE_EQ(ValueOf("rate > 1"), 2097152.0);  // bytes per second without a unit
    EXPECT_DOUBLE_EQ(ValueOf("rate > 1KB/s"), 2097.152);
    EXPECT_DOUBLE_EQ(ValueOf("rate > 1MB/s"), 2.097152);
    EXPECT_DOUBLE_EQ(ValueOf("rate > 1GB/s"), 0.002097152);
    EXPECT_DOUBLE_EQ(ValueOf("rate > 1KiB/s"), 2048.0);
    EXPECT_DOUBLE_EQ(ValueOf("rate > 1MiB/s"), 2.0);
    EXPECT_DOUBLE_EQ(ValueOf("articles > 1"), 100.0);
    EXPECT_DOUBLE_EQ(ValueOf("articles_per_s > 1"), 10.0);
    EXPECT_DOUBLE_EQ(ValueOf("failures < 1"), 3.0);
    EXPECT_DOUBLE_EQ(ValueOf("failures.refused < 1"), 2.0);
    EXPECT_DOUBLE_EQ(ValueOf("failures.time_out < 1"), 0.0);
    EXPECT_DOUBLE_EQ(ValueOf("failures.greeting_refused < 1"), 1.0);
    EXPECT_DOUBLE_EQ(ValueOf("failures.lookup < 1"), 0.0);  // a kind not listed did not occur
    EXPECT_DOUBLE_EQ(ValueOf("missing == 0"), 3.0);
    EXPECT_DOUBLE_EQ(ValueOf("p50(body) < 1ms"), 0.4);
    EXPECT_DOUBLE_EQ(ValueOf("p90(body) < 1"), 0.9);  // milliseconds without a unit
    EXPECT_DOUBLE_EQ(ValueOf("p99(body) < 1us"), 12000.0);
    EXPECT_DOUBLE_EQ(ValueOf("p99.9(body) < 1s"), 0.02);
    EXPECT_DOUBLE_EQ(ValueOf("max(body_text) < 1ms"), 50.0);
    EXPECT_DOUBLE_EQ(ValueOf("p99(body_text)<1ms"), 30.0);
    EXPECT_DOUBLE_EQ(ValueOf("engine_cpu < 0.9"), 0.25);
}

TEST(RunCheckTest, EveryOperatorComparesAsWritten) {
    const RunSummary summary = Summary();  // 100 articles
    const struct {
        const char* text;
        bool pass;
    } cases[] = {{"articles < 100", false},  {"articles < 101", true},
                 {"articles <= 100", true},  {"articles <= 99", false},
                 {"articles > 100", false},  {"articles > 99", true},
                 {"articles >= 100", true},  {"articles >= 101", false},
                 {"articles == 100", true},  {"articles == 100.5", false},
                 {"articles != 100", false}, {"articles != 7", true}};
    for (const auto& c : cases) {
        EXPECT_EQ(JudgeCheck(Parsed(c.text), summary).pass, c.pass) << c.text;
    }
}

TEST(RunCheckTest, BlanksAreFreeAroundEveryPart) {
    const RunCheck check = Parsed("  p99 ( body_text )   <=   2.5   s  ");
    EXPECT_EQ(check.metric, CheckMetric::kPercentile);
    EXPECT_EQ(check.name, "body_text");
    EXPECT_DOUBLE_EQ(check.percentile, 0.99);
    EXPECT_EQ(check.op, CheckOperator::kLessOrEqual);
    EXPECT_DOUBLE_EQ(check.threshold, 2.5);
    EXPECT_EQ(check.unit, "s");
    for (const std::string& command : CheckableCommands()) {
        EXPECT_EQ(Parsed("max(" + command + ") < 1s").name, command);
    }
}

TEST(RunCheckTest, FaultsAreNamedWithTheirColumn) {
    const struct {
        const char* text;
        std::size_t column;
        const char* says;
    } cases[] = {
        {"", 1, "empty check"},
        {"speed > 1", 1, "unknown metric 'speed'"},
        {"p98(body) < 1ms", 1, "unknown percentile 'p98'"},
        {"p99(bdy) < 5ms", 5, "unknown command 'bdy'"},
        {"p99() < 5ms", 5, "expected a command"},
        {"p99(body < 5ms", 10, "expected ')'"},
        {"p99 < 5ms", 5, "expected '('"},
        {"pending > 1", 1, "unknown metric 'pending'"},
        {"open(body) < 1ms", 1, "unknown metric 'open' before '('"},
        {"failures.refusd == 0", 10, "unknown failure kind 'refusd'"},
        {"rate 5MB/s", 6, "expected an operator"},
        {"rate = 5MB/s", 6, "write '=='"},
        {"rate >", 7, "expected a number"},
        {"rate > fast", 8, "expected a number"},
        {"rate > -5MB/s", 8, "without a sign"},
        {"rate > 5Mb/s", 9, "unknown unit 'Mb/s' (known: B/s, KB/s, MB/s, GB/s, KiB/s, MiB/s)"},
        {"p99(body) < 5 min", 15, "unknown unit 'min' (known: ms, us, s)"},
        {"articles > 5ms", 13, "takes no unit"},
        {"engine_cpu < 90%", 16, "takes no unit"},
        {"rate > 5MB/s and more", 14, "unexpected text"},
    };
    for (const auto& c : cases) {
        const CheckParseError error = Refused(c.text);
        EXPECT_EQ(error.column, c.column) << c.text << ": " << error.message;
        EXPECT_NE(error.message.find(c.says), std::string::npos) << c.text << ": " << error.message;
    }
}

TEST(RunCheckTest, TheErrorShowsACaretUnderTheFault) {
    const CheckParseError error = Refused("p99(bdy) < 5ms");
    EXPECT_EQ(DescribeCheckError("p99(bdy) < 5ms", error),
              "--check 'p99(bdy) < 5ms': unknown command 'bdy' (known: greeting, group, authinfo, "
              "head, body, head_text, body_text, article) at column 5\n"
              "  p99(bdy) < 5ms\n"
              "      ^");
}

TEST(RunCheckTest, AFigureThatWasNotMeasuredFailsItsCheck) {
    RunSummary summary = Summary();
    summary.engineCpu = -1.0;  // not measured
    for (const char* text : {"p99(authinfo) < 1s", "max(greeting) >= 0ms", "engine_cpu < 1"}) {
        const CheckResult result = JudgeCheck(Parsed(text), summary);
        EXPECT_FALSE(result.value.has_value()) << text;
        EXPECT_FALSE(result.pass) << text;
    }
}

TEST(RunCheckTest, ResultsAsJsonAndAsATable) {
    const std::vector<RunCheck> checks = {Parsed("p99(body) < 50ms"), Parsed("rate >= 3MiB/s"),
                                          Parsed("p50(group) < 1ms")};
    const std::vector<CheckResult> results = JudgeChecks(checks, Summary());
    EXPECT_FALSE(AllPass(results));
    EXPECT_TRUE(AllPass({results[0]}));
    EXPECT_EQ(JsonText(ChecksJson(results)),
              "[{\"expr\":\"p99(body) < 50ms\",\"value\":12,\"pass\":true},"
              "{\"expr\":\"rate >= 3MiB/s\",\"value\":2,\"pass\":false},"
              "{\"expr\":\"p50(group) < 1ms\",\"value\":null,\"pass\":false}]");
    const std::string table = ChecksText(results);
    EXPECT_NE(table.find("p99(body) < 50ms  12 ms"), std::string::npos) << table;
    EXPECT_NE(table.find("2 MiB/s"), std::string::npos) << table;
    EXPECT_NE(table.find("not measured"), std::string::npos) << table;
    EXPECT_EQ(ChecksText({}), "");
}

}  // namespace
