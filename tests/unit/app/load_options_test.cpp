// The command line of a load test: --sweep, --check, --warmup and --timeline, and the faults
// refused before anything runs (exit code 2).
#include <gtest/gtest.h>

#include "app/core/CommandLine.h"

namespace {

ParseOutcome ParseHeadless(std::vector<std::string> args, CommandLineOptions& options,
                           std::string& message) {
    args.insert(args.begin(), "--headless");
    return ParseCommandLine(args, options, message);
}

TEST(LoadOptionsTest, ReadsEveryLoadTestOption) {
    CommandLineOptions options;
    std::string message;
    ASSERT_EQ(ParseHeadless({"--sweep", "1..8", "--seconds", "10", "--check", "p99(body) < 50ms",
                             "--check=failures == 0", "--warmup", "2.5", "--timeline", "run.csv"},
                            options, message),
              ParseOutcome::kRun)
        << message;
    EXPECT_EQ(options.sweep, (std::vector<int>{1, 2, 4, 8}));
    ASSERT_EQ(options.checks.size(), 2u);
    EXPECT_EQ(options.checks[0].expr, "p99(body) < 50ms");
    EXPECT_EQ(options.checks[1].metric, CheckMetric::kFailures);
    EXPECT_DOUBLE_EQ(options.warmup, 2.5);
    EXPECT_EQ(options.timeline, "run.csv");

    ASSERT_EQ(ParseHeadless({"--warmup", "0", "--seconds", "1"}, options, message),
              ParseOutcome::kRun)
        << message;
    EXPECT_DOUBLE_EQ(options.warmup, 0.0);
}

TEST(LoadOptionsTest, FaultsAreRefusedBeforeAnythingRuns) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--check", "p99(bdy) < 5ms"}, "unknown command 'bdy'"},
        {{"--check", "p99(bdy) < 5ms"}, "at column 5\n  p99(bdy) < 5ms\n      ^"},
        {{"--check", "rate > 5 furlongs"}, "unknown unit 'furlongs'"},
        {{"--sweep", "1,,4", "--seconds", "5"}, "--sweep '1,,4': expected a number"},
        {{"--sweep", "1,4"}, "--sweep needs --seconds"},
        {{"--sweep", "1,4", "--seconds", "5", "--connections", "3"}, "leave out --connections"},
        {{"--warmup", "5", "--seconds", "5"}, "--warmup must be shorter than --seconds"},
        {{"--warmup", "-1"}, "--warmup needs a number of seconds"},
        {{"--timeline", ""}, "--timeline needs a file name"},
    };
    for (const auto& [args, expected] : cases) {
        CommandLineOptions options;
        std::string message;
        EXPECT_EQ(ParseHeadless(args, options, message), ParseOutcome::kError) << args.front();
        EXPECT_NE(message.find(expected), std::string::npos)
            << "message '" << message << "' lacks '" << expected << "'";
    }
    CommandLineOptions options;
    std::string message;
    EXPECT_EQ(ParseCommandLine({"--check", "articles > 0"}, options, message),
              ParseOutcome::kError);
    EXPECT_NE(message.find("work with --headless only"), std::string::npos) << message;
}

}  // namespace
