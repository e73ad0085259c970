// Parsing of the command line both front ends share, and its messages for bad input.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/core/CommandLine.h"
#include "app/core/SessionSetup.h"

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

// Each argument list must be refused with a message holding the text given with it.
void ExpectRefused(const std::vector<std::pair<std::vector<std::string>, std::string>>& cases) {
    for (const auto& [args, expected] : cases) {
        const Parsed p = Parse(args);
        EXPECT_EQ(p.outcome, ParseOutcome::kError) << args.back();
        EXPECT_NE(p.message.find(expected), std::string::npos)
            << "message '" << p.message << "' lacks '" << expected << "'";
    }
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

TEST(CommandLineTest, KeepLogsForBothFrontEnds) {
    EXPECT_FALSE(Parse({"--headless"}).options.keepLogs.has_value()) << "each front end's own";
    EXPECT_EQ(Parse({"--headless", "--keep-logs", "3"}).options.keepLogs, 3);
    EXPECT_EQ(Parse({"--headless", "--keep-logs=all"}).options.keepLogs, kKeepAllLogs);
    EXPECT_EQ(Parse({"--headless", "--engines", "2"}).options.engines, 2);
    const Parsed dialog = Parse({"--keep-logs=0"});
    ASSERT_EQ(dialog.outcome, ParseOutcome::kRun) << dialog.message;
    EXPECT_EQ(dialog.options.keepLogs, 0);
    EXPECT_NE(HelpText("zodiva").find("--keep-logs N|all"), std::string::npos);
    // A load test runs for hours: headless, the copies are bounded unless told; the dialog
    // keeps them all, as it always did.
    EXPECT_EQ(KeptLogCopies(Parse({"--headless"}).options), 20);
    EXPECT_EQ(KeptLogCopies(Parse({"--headless", "--keep-logs=all"}).options), kKeepAllLogs);
    EXPECT_EQ(KeptLogCopies(Parse({"--headless", "--keep-logs=500"}).options), 500);
    EXPECT_EQ(KeptLogCopies(Parse({}).options), kKeepAllLogs);
    EXPECT_TRUE(Parse({"--headless", "--no-trace"}).options.noTrace);
    EXPECT_FALSE(Parse({"--headless"}).options.noTrace);
}

TEST(CommandLineTest, ConnectionOptionsInWholeSeconds) {
    const Parsed p = Parse({"--headless", "--receive-timeout", "20", "--connect-retry-delay=0",
                            "--reject-delay", "5"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.receiveTimeout, 20);
    EXPECT_EQ(p.options.connectRetryDelay, 0);  // retry at the next tick
    EXPECT_EQ(p.options.rejectDelay, 5);
    EXPECT_FALSE(Parse({"--headless"}).options.receiveTimeout.has_value()) << "the engine's own";
    ExpectRefused({
        {{"--receive-timeout", "0"}, "--receive-timeout needs whole seconds from 1 to 86400, not '0'"},
        {{"--receive-timeout", "2.5"}, "'2.5'"},
        {{"--connect-retry-delay", "-1"}, "whole seconds from 0"},
        {{"--reject-delay", "86401"}, "'86401'"},
        {{"--reject-delay"}, "needs a value"},
    });
}

TEST(CommandLineTest, RatesAreExplainedInTheHelp) {
    const std::string help = HelpText("zodiva");
    EXPECT_NE(help.find("KBps is 1024 bytes per second"), std::string::npos);
    EXPECT_NE(help.find("MB/s and GB/s are 10^3, 10^6 and 10^9 bytes per second"),
              std::string::npos);
}

TEST(CommandLineTest, BadInputIsRefusedWithAMessageNamingIt) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--headless", "--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--headless", "stray"}, "unexpected argument 'stray'"},
        {{"--connections", "abc"}, "'abc'"},
        {{"--connections", "-3"}, "'-3'"},
        {{"--connections", "100001"}, "from 0 to 100000"},
        {{"--connections"}, "needs a value"},
        {{"--keep-logs", "-1"}, "'-1'"},
        {{"--keep-logs", "many"}, "from 0 to 1000000 or 'all'"},
        {{"--headless", "--connections", "0"}, "--connections 0 makes no connection"},
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
        // Every flag refuses a value alike, not only the ones a list once named.
        {{"--headless", "--no-trace=1"}, "option --no-trace takes no value"},
        {{"--version=2"}, "option --version takes no value"},
        {{"--headless", "--engines", "0"}, "from 1 to 64"},
        {{"--headless", "--engines", "65"}, "from 1 to 64"},
        {{"--engines", "2"}, "--headless only"},
    };
    for (const auto& [args, expected] : cases) {
        const Parsed p = Parse(args);
        EXPECT_EQ(p.outcome, ParseOutcome::kError) << args.front();
        EXPECT_NE(p.message.find(expected), std::string::npos)
            << "message '" << p.message << "' lacks '" << expected << "'";
    }
}

TEST(CommandLineTest, TheDialogKeepsTheToolkitsOptionsAndRefusesEverythingElse) {
    const Parsed p =
        Parse({"--demo", "-platform", "offscreen", "-reverse", "--connections", "3"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.otherArguments,
              (std::vector<std::string>{"-platform", "offscreen", "-reverse"}));
    EXPECT_EQ(p.options.connections, 3);

    const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
        {{"--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--demo", "stray"}, "unexpected argument 'stray'"},
        {{"-platform"}, "-platform needs a value"},
        {{"--headless", "-style", "fusion"}, "does not work with --headless"},
    };
    for (const auto& [args, expected] : refused) {
        const Parsed q = Parse(args);
        EXPECT_EQ(q.outcome, ParseOutcome::kError) << args.front();
        EXPECT_NE(q.message.find(expected), std::string::npos) << q.message;
    }
}

TEST(CommandLineTest, SettingsAreCheckedBeforeTheyAreStored) {
    const std::vector<std::pair<std::string, std::string>> refused = {
        {"news_port=abc", "news_port needs a whole number"},
        {"news_port=-119", "port number"},
        {"ProxyPort=65536", "port number"},
        {"DLConnections=4x", "DLConnections needs a whole number"},
    };
    for (const auto& [setting, expected] : refused) {
        const Parsed p = Parse({"--headless", "--set", setting});
        EXPECT_EQ(p.outcome, ParseOutcome::kError) << setting;
        EXPECT_NE(p.message.find(expected), std::string::npos) << p.message;
    }

    const Parsed typo = Parse({"--headless", "--set", "news_sever=news.example.net", "--set",
                               "NEWS_PORT=563"});
    ASSERT_EQ(typo.outcome, ParseOutcome::kRun) << typo.message;
    ASSERT_EQ(typo.options.warnings.size(), 1u);
    EXPECT_NE(typo.options.warnings[0].find("did you mean 'news_server'"), std::string::npos)
        << typo.options.warnings[0];
    EXPECT_EQ(typo.options.settings.size(), 2u);  // stored all the same
}

TEST(CommandLineTest, ArgvFormSkipsTheProgramName) {
    const char* argv[] = {"zodiva", "--headless", "--connections", "4"};
    CommandLineOptions options;
    std::string message;
    ASSERT_EQ(ParseCommandLine(4, argv, options, message), ParseOutcome::kRun) << message;
    EXPECT_TRUE(options.headless);
    EXPECT_EQ(options.connections, 4);
}

// --- The TLS and IPv6 forms of the server, and what is refused about them ---

TEST(ServerAddressTest, SecureSchemeTurnsOnTlsWithItsOwnDefaultPort) {
    Parsed p = Parse({"--server", "nntps://news.example.net"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.serverHost, "news.example.net");
    EXPECT_EQ(p.options.serverPort, 563);
    EXPECT_TRUE(p.options.tls);

    p = Parse({"--server=nntps://news.example.net:443/"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.serverPort, 443);
    EXPECT_TRUE(p.options.tls);

    p = Parse({"--server", "nntp://news.example.net"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_FALSE(p.options.tls);
    EXPECT_FALSE(p.options.serverPort.has_value());
}

TEST(ServerAddressTest, IPv6AddressesComeInBrackets) {
    Parsed p = Parse({"--server", "[::1]:119"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.serverHost, "::1");
    EXPECT_EQ(p.options.serverPort, 119);

    p = Parse({"--server", "nntps://[2001:db8::7]"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_EQ(p.options.serverHost, "2001:db8::7");
    EXPECT_EQ(p.options.serverPort, 563);
}

TEST(ServerAddressTest, TlsFlagsAndCaFile) {
    const std::string ca = testing::TempDir() + "server-address-ca.pem";
    std::ofstream(ca) << "-----BEGIN CERTIFICATE-----\n"
                         "MIIBfjCCASSgAwIBAgIUJ0yQ0pN2WvYt3Dm8m0lqXbZUhTkwCgYIKoZIzj0EAwIw\n"
                         "-----END CERTIFICATE-----\n";
    // Not a valid certificate body: refused with a message naming the file.
    Parsed p = Parse({"--tls-ca", ca});
    EXPECT_EQ(p.outcome, ParseOutcome::kError);
    EXPECT_NE(p.message.find("holds no PEM certificate"), std::string::npos) << p.message;

    p = Parse({"--tls", "--tls-no-verify", "--server", "news.example.net"});
    ASSERT_EQ(p.outcome, ParseOutcome::kRun) << p.message;
    EXPECT_TRUE(p.options.tls);
    EXPECT_TRUE(p.options.tlsNoVerify);
    EXPECT_TRUE(p.options.tlsCaFile.empty());
    std::remove(ca.c_str());
}

TEST(ServerAddressTest, BadAddressesAreRefusedWithAMessageNamingThem) {
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--server", "nntps://"}, "needs a host"},
        {{"--server", "nntps://:563"}, "needs a host"},
        // The last part as a port, or (when it could be one) as the address's last group.
        {{"--server", "::1:21125"}, "must be written in brackets: write [::1]:21125"},
        {{"--server", "::1:119"}, "write [::1]:119 (port 119) or [::1:119] (no port)"},
        {{"--server", "2001:db8::1"}, "write [2001:db8::1] or [2001:db8::1]:PORT"},
        {{"--server", "::1"}, "write [::1] or [::1]:PORT"},
        {{"--server", "fe80::1:abc"}, "write [fe80::1:abc] or"},
        {{"--server", "[::1"}, "has no ']'"},
        {{"--server", "[]:119"}, "no address between '[' and ']'"},
        {{"--server", "[::1]119"}, "expected ':PORT'"},
        {{"--server", "[::1]:99999"}, "'99999' is not a number"},
        {{"--tls-ca="}, "needs a file name"},
        {{"--headless", "--tls=1"}, "takes no value"},
    };
    ExpectRefused(cases);
}

TEST(ServerAddressTest, MissingCaFileIsRefusedWithItsName) {
    ExpectRefused({
        {{"--tls-ca", "/nonexistent/ca.pem"}, "cannot open the CA file"},
        {{"--set", "news_sslca=/nonexistent/ca.pem"}, "--set news_sslca: cannot open the CA file"},
    });
}

}  // namespace
