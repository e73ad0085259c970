// The headless engine against the real news server and proxies that the test services run on
// loopback: anonymous, with AUTHINFO, and through a SOCKS5 proxy with username/password.
// Each run downloads for a few seconds with 4 connections; the trace log must show every
// connection starting at the group's newest article and walking down.
#include <algorithm>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>

#include "GroupProbe.h"
#include "Services.h"
#include "app/core/Headless.h"
#include "common/RunLength.h"
#include "newsd/Server.h"
#include "support/Scramble.h"
#include "unit/app/AppTestKit.h"

namespace {


constexpr int kConnections = 4;

int EnvInt(const char* name) {
    return std::atoi(services::Env(name).c_str());
}

std::string Dword(int value) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08x", static_cast<unsigned>(value));
    return std::string("dword:") + text;
}

std::string Quoted(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') {
            quoted += '\\';
        }
        quoted += c;
    }
    return quoted + "\"";
}

// One value line of a .reg file.
std::string RegLine(const std::string& name, const std::string& data) {
    return Quoted(name) + "=" + data + "\r\n";
}

class EngineEndToEndTest : public ::testing::Test {
protected:
    // Runs the headless front end for a few seconds with the registry file's values.
    void RunWith(const std::string& registryValues) {
        registry_ = Dir.Path() / "quorrel.reg";
        app_test::WriteRegistryFile(registry_, registryValues);
        CommandLineOptions options;
        options.headless = true;
        options.registryFile = registry_.string();
        options.workDir = (Dir.Path() / "run").string();
        options.connections = kConnections;
        options.seconds = StretchedRunSeconds(2.0);
        options.json = true;
        std::ostringstream out;
        std::ostringstream err;
        std::istringstream in;
        HeadlessConsole console{out, err, in, false};
        ExitCode = RunHeadless(options, console);
        Output = out.str();
        Errors = err.str();
        Trace.clear();
        // The trace log may have been rotated to numbered copies during the run.
        for (const auto& entry : std::filesystem::directory_iterator(Dir.Path() / "run")) {
            const std::string name = entry.path().filename().string();
            if (name.rfind("log", 0) == 0 && entry.path().extension() == ".txt") {
                Trace += ReadWholeFile(entry.path());
            }
        }
    }

    std::uint64_t SummaryNumber(const std::string& key) const {
        std::smatch match;
        const std::regex pattern("\"" + key + "\":([0-9]+)");
        if (!std::regex_search(Output, match, pattern)) {
            return 0;
        }
        return std::stoull(match[1].str());
    }

    std::size_t Count(const std::string& piece) const {
        std::size_t count = 0;
        for (auto at = Trace.find(piece); at != std::string::npos; at = Trace.find(piece, at + 1)) {
            ++count;
        }
        return count;
    }

    // Every connection began with the newest article and went on to older ones; a rate line
    // showed more than zero (the first may come before the first body); no temporary article
    // file is left.
    void ExpectNewestArticlesWalkingDown() {
        ASSERT_EQ(ExitCode, kExitOk) << Errors;
        std::string greeting;
        const long last =
            LastArticleOfGroup(EnvInt("ZODIVA_INN_PORT"), "alt.binaries.test", &greeting);
        ASSERT_GT(last, 3) << "no usable alt.binaries.test; the server said: " << greeting;
        const std::string newest = std::to_string(last);
        EXPECT_GE(Count(": Head2: Requesting HEAD " + newest + "\n"),
                  static_cast<std::size_t>(kConnections));
        EXPECT_GE(Count(": Body2(): Requesting BODY " + newest + "\n"),
                  static_cast<std::size_t>(kConnections));
        EXPECT_GE(Count(": Head2: Requesting HEAD " + std::to_string(last - 1) + "\n"), 1u);
        EXPECT_GE(Count(": Head2: Requesting HEAD " + std::to_string(last - 2) + "\n"), 1u);
        EXPECT_EQ(Count(": Head2: Requesting HEAD " + std::to_string(last + 1) + "\n"), 0u);
        EXPECT_GE(Count("Body received successfully"), 1u);
        EXPECT_GT(SummaryNumber("bytes_received"), 0u) << Output;
        EXPECT_GT(SummaryNumber("articles_completed"), 0u) << Output;
        EXPECT_EQ(SummaryNumber("connections"), static_cast<std::uint64_t>(kConnections));
        const std::regex rate("\"rate_kib_s\":([0-9.]+)");
        double highest = -1.0;
        for (std::sregex_iterator at(Output.begin(), Output.end(), rate), end; at != end; ++at) {
            highest = std::max(highest, std::stod((*at)[1].str()));
        }
        ASSERT_GE(highest, 0.0) << "no rate line: " << Output;
        EXPECT_GT(highest, 0.0) << Output;
        for (const auto& entry : std::filesystem::directory_iterator(Dir.Path() / "run")) {
            EXPECT_NE(entry.path().extension(), ".tmp") << entry.path();
        }
    }

    static std::string Server(const char* portVariable) {
        return RegLine("news_server", Quoted(services::Env("ZODIVA_INN_HOST"))) +
               RegLine("news_port", Dword(EnvInt(portVariable)));
    }

    LeakCheck Leaks;  // first: destroyed last, after everything below
    TempWorkingDir Dir;
    std::filesystem::path registry_;
    int ExitCode = -1;
    std::string Output;
    std::string Errors;
    std::string Trace;
};

TEST_F(EngineEndToEndTest, DownloadsFromTheNewsServer) {
    REQUIRE_SERVICE("ZODIVA_INN_PORT");
    RunWith(Server("ZODIVA_INN_PORT"));
    ExpectNewestArticlesWalkingDown();
    EXPECT_EQ(Count("AUTHINFO"), 0u);  // this reader asks for no login
}

TEST_F(EngineEndToEndTest, LogsInWithTheRegistryCredentials) {
    REQUIRE_SERVICE("ZODIVA_INN_AUTH_PORT");
    REQUIRE_SERVICE("ZODIVA_INN_USER");
    RunWith(Server("ZODIVA_INN_AUTH_PORT") +
            RegLine("username", Quoted(services::Env("ZODIVA_INN_USER"))) +
            RegLine("NNTPp", Quoted(ScrambleValue(services::Env("ZODIVA_INN_PASS")))));
    ExpectNewestArticlesWalkingDown();
    EXPECT_GE(Count("AUTHINFO USER " + services::Env("ZODIVA_INN_USER")),
              static_cast<std::size_t>(kConnections));
    // The password itself never reaches the trace log.
    EXPECT_EQ(Trace.find(services::Env("ZODIVA_INN_PASS")), std::string::npos);
}

std::string ThroughProxy(const std::string& password) {
    return RegLine("ProxyOption", Dword(1)) + RegLine("ProxyAddress", Quoted("127.0.0.1")) +
           RegLine("ProxyPort", Dword(EnvInt("ZODIVA_DANTE_AUTH_PORT"))) +
           RegLine("ProxyUsername", Quoted(services::Env("ZODIVA_DANTE_USER"))) +
           RegLine("ProxyPassword", Quoted(password));
}

TEST_F(EngineEndToEndTest, DownloadsThroughTheSocksProxyWithAPassword) {
    REQUIRE_SERVICE("ZODIVA_INN_PORT");
    REQUIRE_SERVICE("ZODIVA_DANTE_AUTH_PORT");
    RunWith(Server("ZODIVA_INN_PORT") + ThroughProxy(services::Env("ZODIVA_DANTE_PASS")));
    ExpectNewestArticlesWalkingDown();
}

TEST_F(EngineEndToEndTest, AWrongProxyPasswordGetsNothingThrough) {
    // The control for the test above: the download really depends on the proxy.
    REQUIRE_SERVICE("ZODIVA_INN_PORT");
    REQUIRE_SERVICE("ZODIVA_DANTE_AUTH_PORT");
    RunWith(Server("ZODIVA_INN_PORT") + ThroughProxy("not-the-password"));
    // Nothing received is its own exit code, with the proxy named as the reason.
    ASSERT_EQ(ExitCode, kExitNoArticles) << Errors;
    EXPECT_NE(Errors.find("most frequent failure: proxy"), std::string::npos) << Errors;
    EXPECT_EQ(SummaryNumber("bytes_received"), 0u) << Output;
    EXPECT_EQ(Count("Requesting HEAD"), 0u);
}

// --- TLS from the first byte (nnrpd -S with a certificate of the services' own CA) ---------

std::string OverTls(const std::string& caFile) {
    return RegLine("news_ssl", Dword(1)) + RegLine("news_sslca", Quoted(caFile));
}

class TlsEndToEndTest : public EngineEndToEndTest {
protected:
    std::string ErrorLog() const { return ReadWholeFile(Dir.Path() / "run" / "errorlog.txt"); }

    // Nothing got through, and the error log says why, once per connection at least.
    void ExpectRefusedHandshakes(const std::string& reason) {
        ASSERT_EQ(ExitCode, kExitNoArticles) << Errors;
        EXPECT_EQ(SummaryNumber("bytes_received"), 0u) << Output;
        EXPECT_EQ(Count("Requesting HEAD"), 0u);
        const std::string log = ErrorLog();
        std::size_t count = 0;
        for (auto at = log.find(reason); at != std::string::npos; at = log.find(reason, at + 1)) {
            ++count;
        }
        EXPECT_GE(count, static_cast<std::size_t>(kConnections)) << log << Output;
        EXPECT_GE(Count("Connection attempt failed."), static_cast<std::size_t>(kConnections));
    }
};

TEST_F(TlsEndToEndTest, DownloadsOverTlsFromTheNewsServer) {
    REQUIRE_SERVICE("ZODIVA_INN_TLS_PORT");
    RunWith(Server("ZODIVA_INN_TLS_PORT") + OverTls(services::Env("ZODIVA_TLS_CA")));
    ExpectNewestArticlesWalkingDown();
    // One line per connect (connections may reconnect) with protocol and cipher.
    EXPECT_GE(Count("TLS with \"127.0.0.1\" port " + services::Env("ZODIVA_INN_TLS_PORT") +
                    ": TLSv1.3 "),
              static_cast<std::size_t>(kConnections));
}

TEST_F(TlsEndToEndTest, LogsInOverTls) {
    REQUIRE_SERVICE("ZODIVA_INN_TLS_AUTH_PORT");
    RunWith(Server("ZODIVA_INN_TLS_AUTH_PORT") + OverTls(services::Env("ZODIVA_TLS_CA")) +
            RegLine("username", Quoted(services::Env("ZODIVA_INN_USER"))) +
            RegLine("NNTPp", Quoted(ScrambleValue(services::Env("ZODIVA_INN_PASS")))));
    ExpectNewestArticlesWalkingDown();
    EXPECT_GE(Count("AUTHINFO USER " + services::Env("ZODIVA_INN_USER")),
              static_cast<std::size_t>(kConnections));
}

TEST_F(TlsEndToEndTest, TlsRunsInsideTheSocksTunnel) {
    REQUIRE_SERVICE("ZODIVA_INN_TLS_PORT");
    REQUIRE_SERVICE("ZODIVA_DANTE_AUTH_PORT");
    RunWith(Server("ZODIVA_INN_TLS_PORT") + OverTls(services::Env("ZODIVA_TLS_CA")) +
            ThroughProxy(services::Env("ZODIVA_DANTE_PASS")));
    ExpectNewestArticlesWalkingDown();
    EXPECT_GE(Count(": TLSv1.3 "), static_cast<std::size_t>(kConnections));
}

TEST_F(TlsEndToEndTest, CertificateOfAnUntrustedCaIsRefused) {
    REQUIRE_SERVICE("ZODIVA_INN_TLS_PORT");
    // The system's trust store does not know the services' CA.
    RunWith(Server("ZODIVA_INN_TLS_PORT") + RegLine("news_ssl", Dword(1)));
    ExpectRefusedHandshakes("certificate verify failed: unable to get local issuer certificate");
}

TEST_F(TlsEndToEndTest, CertificateForAnotherNameIsRefused) {
    REQUIRE_SERVICE("ZODIVA_INN_TLS_WRONG_NAME_PORT");
    RunWith(Server("ZODIVA_INN_TLS_WRONG_NAME_PORT") + OverTls(services::Env("ZODIVA_TLS_CA")));
    ExpectRefusedHandshakes("certificate verify failed: IP address mismatch");
}

TEST_F(TlsEndToEndTest, WithoutChecksTheUntrustedServerIsUsed) {
    REQUIRE_SERVICE("ZODIVA_INN_TLS_WRONG_NAME_PORT");
    RunWith(Server("ZODIVA_INN_TLS_WRONG_NAME_PORT") + RegLine("news_ssl", Dword(1)) +
            RegLine("news_sslverify", Dword(0)));
    ExpectNewestArticlesWalkingDown();
    EXPECT_GE(Count("(certificate not checked)"), static_cast<std::size_t>(kConnections));
}

TEST_F(TlsEndToEndTest, PlainServerOnTheTlsSettingIsAFailedConnect) {
    REQUIRE_SERVICE("ZODIVA_INN_PORT");
    RunWith(Server("ZODIVA_INN_PORT") + OverTls(services::Env("ZODIVA_TLS_CA")));
    ExpectRefusedHandshakes("TLS handshake with \"127.0.0.1\" port " +
                            services::Env("ZODIVA_INN_PORT") + " failed: ");
}

// stunnel terminates TLS and hands the plain bytes to a newsd started here on the port it
// forwards to: the same path as the benchmark's TLS rows.
TEST_F(TlsEndToEndTest, DownloadsFromNewsdBehindATlsRelay) {
    REQUIRE_SERVICE("ZODIVA_NEWSD_TLS_PORT");
    REQUIRE_SERVICE("ZODIVA_NEWSD_BEHIND_TLS_PORT");
    newsd::Server server;
    ASSERT_TRUE(server.Start(static_cast<uint16_t>(EnvInt("ZODIVA_NEWSD_BEHIND_TLS_PORT"))))
        << server.LastError();
    RunWith(Server("ZODIVA_NEWSD_TLS_PORT") + OverTls(services::Env("ZODIVA_TLS_CA")));
    ASSERT_EQ(ExitCode, kExitOk) << Errors;
    EXPECT_GT(SummaryNumber("articles_completed"), 0u) << Output;
    EXPECT_GE(Count("Body received successfully"), 1u);
    EXPECT_GE(Count("TLS with \"127.0.0.1\" port " + services::Env("ZODIVA_NEWSD_TLS_PORT") +
                    ": TLSv1."),
              static_cast<std::size_t>(kConnections));
}

// --- IPv6 ---------------------------------------------------------------------------------

TEST_F(EngineEndToEndTest, DownloadsOverIPv6FromTheNewsServer) {
    REQUIRE_SERVICE("ZODIVA_INN6_PORT");
    // Brackets as a user writes the address before a port; the transport takes them off.
    RunWith(RegLine("news_server", Quoted("[::1]")) +
            RegLine("news_port", Dword(EnvInt("ZODIVA_INN6_PORT"))));
    ExpectNewestArticlesWalkingDown();
}

TEST_F(EngineEndToEndTest, DownloadsOverIPv6FromNewsd) {
    newsd::Server server;
    if (!server.Start(0, "::1")) {
        GTEST_SKIP() << "no IPv6 loopback here: " << server.LastError();
    }
    RunWith(RegLine("news_server", Quoted("::1")) + RegLine("news_port", Dword(server.Port())));
    ASSERT_EQ(ExitCode, kExitOk) << Errors;
    EXPECT_GT(SummaryNumber("articles_completed"), 0u) << Output;
    EXPECT_GE(Count("Body received successfully"), 1u);
}

}  // namespace
