#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "newsd/CommandLine.h"

namespace newsd {
namespace {

bool Parse(const std::vector<std::string>& args, CommandLine* line, std::string* error) {
    *line = CommandLine();
    return ParseCommandLine(args, line, error);
}

TEST(CommandLineTest, ValuesAreTakenInBothFormsAndCombine) {
    CommandLine line;
    std::string error;
    ASSERT_TRUE(Parse({"--port", "1190", "--articles=500", "--first", "1001", "--body-bytes",
                       "262144", "--line-length=1021", "--missing", "1400,1300", "--require-auth",
                       "user:pa:ss", "--greeting", "502", "--split-status"},
                      &line, &error))
        << error;
    EXPECT_EQ(line.port, 1190);
    EXPECT_EQ(line.server.articles.first, 1001);
    EXPECT_EQ(line.server.articles.last, 1500);
    EXPECT_EQ(line.server.articles.bodyBytes, 262144u);
    EXPECT_EQ(line.server.articles.lineLength, 1021u);
    EXPECT_EQ(line.server.articles.missing, (std::set<int64_t>{1300, 1400}));
    EXPECT_TRUE(line.server.requireAuth);
    EXPECT_EQ(line.server.user, "user");
    EXPECT_EQ(line.server.password, "pa:ss");
    EXPECT_EQ(line.script.greeting, Greeting::kRejected);
    EXPECT_TRUE(line.script.separateStatusWrite);

    ASSERT_TRUE(Parse({"--articles", "0"}, &line, &error));
    EXPECT_LT(line.server.articles.last, line.server.articles.first);  // an empty group
    ASSERT_TRUE(Parse({}, &line, &error));
    EXPECT_EQ(line.server.articles.last, 100);
}

TEST(CommandLineTest, BadInputIsNamedInTheError) {
    struct Case {
        std::vector<std::string> args;
        std::string mention;
    };
    const std::vector<Case> cases = {
        {{"--bogus"}, "unknown option --bogus"},
        {{"--port"}, "--port needs a value"},
        {{"--port", "65536"}, "'65536' for --port"},
        {{"--port", "-1"}, "--port"},
        {{"--articles", "abc"}, "'abc' for --articles"},
        {{"--articles", "12x"}, "--articles"},
        {{"--body-bytes", "99999999999999999999"}, "--body-bytes"},
        {{"--line-length", "0"}, "--line-length"},
        {{"--require-auth", "nocolon"}, "--require-auth"},
        {{"--require-auth", ":pw"}, "--require-auth"},
        {{"--greeting", "299"}, "--greeting"},
        {{"--missing", "1,,2"}, "--missing"},
        {{"--address", "localhost"}, "--address"},
        {{"--auth-code", "481"}, "--auth-code"},
        {{"stray"}, "unexpected argument 'stray'"},
    };
    for (const Case& c : cases) {
        CommandLine line;
        std::string error;
        EXPECT_FALSE(Parse(c.args, &line, &error)) << c.args[0];
        EXPECT_NE(error.find(c.mention), std::string::npos) << error;
    }
}

}  // namespace
}  // namespace newsd
