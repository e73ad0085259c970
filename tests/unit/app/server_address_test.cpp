// The command line's TLS and IPv6 forms of the server, and what is refused about them.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
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
        {{"--server", "::1:119"}, "must be written in brackets"},
        {{"--server", "2001:db8::1"}, "must be written in brackets"},
        {{"--server", "[::1"}, "opens an IPv6 address"},
        {{"--server", "[]:119"}, "opens an IPv6 address"},
        {{"--server", "[::1]119"}, "expected ':PORT'"},
        {{"--server", "[::1]:99999"}, "'99999' is not a number"},
        {{"--tls-ca", "/nonexistent/ca.pem"}, "cannot open the CA file"},
        {{"--tls-ca="}, "needs a file name"},
        {{"--headless", "--tls=1"}, "takes no value"},
    };
    for (const auto& [args, expected] : cases) {
        const Parsed p = Parse(args);
        EXPECT_EQ(p.outcome, ParseOutcome::kError) << args.back();
        EXPECT_NE(p.message.find(expected), std::string::npos)
            << "message '" << p.message << "' lacks '" << expected << "'";
    }
}

}  // namespace
