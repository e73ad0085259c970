// Parsing of the command line both front ends share, and its messages for bad input.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/core/CommandLine.h"

namespace {

struct Parsed {
    ParseOutcome outcome;
    CommandLineOptions options;
    std::string message;
};

Parsed Parse(const std::vector<std::string>& args) {
    Parsed parsed;
    parsed.outcome = ParseCommandLine(args, parsed.options, parsed.message);
    return parsed;
}

TEST(CommandLineTest, ReadsEveryOptionOfAHeadlessRun) {
    const Parsed p = Parse({"--headless", "--demo", "--registry", "q.reg", "--workdir=run", "--set",
                            "errordelay=5", "--set=ProxyOption=1", "--no-write", "--connections",
                            "25", "--seconds", "2.5", "--yes", "--json"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_TRUE(p.options.headless);
    EXPECT_TRUE(p.options.demo);
    EXPECT_EQ(p.options.registryFile, "q.reg");
    EXPECT_EQ(p.options.workDir, "run");
    ASSERT_EQ(p.options.settings.size(), 2u);
    EXPECT_EQ(p.options.settings[0], std::make_pair(std::string("errordelay"), std::string("5")));
    EXPECT_EQ(p.options.settings[1], std::make_pair(std::string("ProxyOption"), std::string("1")));
    EXPECT_TRUE(p.options.noWrite);
    EXPECT_EQ(p.options.connections, 25);
    EXPECT_DOUBLE_EQ(p.options.seconds.value_or(0), 2.5);
    EXPECT_TRUE(p.options.yes);
    EXPECT_TRUE(p.options.json);
}

TEST(CommandLineTest, ServerWithAndWithoutPort) {
    Parsed p = Parse({"--server", "news.example.net:563"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.serverHost, "news.example.net");
    EXPECT_EQ(p.options.serverPort, 563);

    p = Parse({"--server=127.0.0.1"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.serverHost, "127.0.0.1");
    EXPECT_FALSE(p.options.serverPort.has_value());
}

TEST(CommandLineTest, HelpAndVersionWinOverEverythingElse) {
    EXPECT_EQ(Parse({"--headless", "--help"}).outcome, ParseOutcome::kHelp);
    EXPECT_EQ(Parse({"-h"}).outcome, ParseOutcome::kHelp);
    EXPECT_EQ(Parse({"--version"}).outcome, ParseOutcome::kVersion);
    EXPECT_NE(HelpText("zodiva").find("--connections N"), std::string::npos);
    EXPECT_EQ(VersionText(), "zodiva 1.0\n");
}

TEST(CommandLineTest, BadInputIsRefusedWithAMessageNamingIt) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--headless", "--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--headless", "stray"}, "unexpected argument 'stray'"},
        {{"--connections", "abc"}, "'abc'"},
        {{"--connections", "-3"}, "'-3'"},
        {{"--connections", "100001"}, "from 0 to 100000"},
        {{"--connections"}, "needs a value"},
        {{"--server", "host:70000"}, "'70000' is not a number from 1 to 65535"},
        {{"--server", "host:0"}, "from 1 to 65535"},
        {{"--server", ":119"}, "needs a host"},
        {{"--set", "novalue"}, "KEY=VALUE"},
        {{"--set", "=x"}, "KEY=VALUE"},
        {{"--headless", "--seconds", "0"}, "above 0"},
        {{"--headless", "--seconds", "soon"}, "'soon'"},
        {{"--headless", "--seconds", "nan"}, "'nan'"},
        {{"--registry="}, "needs a file name"},
        {{"--demo", "--server", "news.example.net"}, "cannot be used together"},
        {{"--json"}, "--headless only"},
        {{"--headless", "--json=1"}, "takes no value"},
    };
    for (const auto& [args, expected] : cases) {
        const Parsed p = Parse(args);
        EXPECT_EQ(p.outcome, ParseOutcome::kError) << args.front();
        EXPECT_NE(p.message.find(expected), std::string::npos)
            << "message '" << p.message << "' lacks '" << expected << "'";
    }
}

TEST(CommandLineTest, TheDialogKeepsArgumentsItMayKnow) {
    const Parsed p = Parse({"--demo", "-platform", "offscreen", "--connections", "3"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.otherArguments, (std::vector<std::string>{"-platform", "offscreen"}));
    EXPECT_EQ(p.options.connections, 3);
}

TEST(CommandLineTest, ArgvFormSkipsTheProgramName) {
    const char* argv[] = {"zodiva", "--headless", "--connections", "4"};
    CommandLineOptions options;
    std::string message;
    ASSERT_EQ(ParseCommandLine(4, argv, options, message), ParseOutcome::kRun) << message;
    EXPECT_TRUE(options.headless);
    EXPECT_EQ(options.connections, 4);
}

}  // namespace
