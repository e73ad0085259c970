// The TLS session on its own, as both systems' sessions must behave: which CA files are
// usable, what the first handshake message names, and a server that does not speak TLS.
#include "net/TlsSession.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/common/TempWorkingDir.h"

namespace {

// A self-signed CA certificate (P-256, valid for a century); only parsed here, never trusted.
constexpr const char* kCaPem =
    "-----BEGIN CERTIFICATE-----\n"
    "MIIBkzCCATmgAwIBAgIUK69vDTThPsVSKo8QQwpTfVpFhF0wCgYIKoZIzj0EAwIw\n"
    "HjEcMBoGA1UEAwwTem9kaXZhIHRlc3QgQ0EgZmlsZTAgFw0yNjEyMTAwNDMzMzla\n"
    "GA8yMTI2MTExNjA0MzMzOVowHjEcMBoGA1UEAwwTem9kaXZhIHRlc3QgQ0EgZmls\n"
    "ZTBZMBMGByqGSM49AgEGCCqGSM49AwEHA0IABAeiyJg+n4z0S8rX+pd+ekKSY7tv\n"
    "x5d/6cp6xOvc8ACBIjZXLs1qWTtszNV8sozE+ahvTCPI7SpjuyQYa1oN4wWjUzBR\n"
    "MB0GA1UdDgQWBBS7iNJVMhBmsHp1IwUWEKVTEOQcKTAfBgNVHSMEGDAWgBS7iNJV\n"
    "MhBmsHp1IwUWEKVTEOQcKTAPBgNVHRMBAf8EBTADAQH/MAoGCCqGSM49BAMCA0gA\n"
    "MEUCIA3hG/tagJLwdjBq6JOiyHQy319XunvyxUD0YeRY360aAiEAjyKqYZ66hzu7\n"
    "bvwtgzhzOLNi2QNGvnXAsinhynUpifU=\n"
    "-----END CERTIFICATE-----\n";

void WriteFile(const std::string& name, const std::string& text) {
    std::ofstream(name, std::ios::binary) << text;
}

std::string WithCrLf(const std::string& text) {
    std::string out;
    for (const char c : text) {
        out += c == '\n' ? std::string("\r\n") : std::string(1, c);
    }
    return out;
}

TEST(TlsSessionTest, CaFilesWithACertificateAnywhereAreUsableAndOthersAreNamed) {
    TempWorkingDir dir;
    WriteFile("plain.pem", kCaPem);
    // As exported on Windows: CR LF lines, a title before, a second certificate after.
    WriteFile("bundle.pem", WithCrLf(std::string("Test roots\n") + kCaPem + "\n" + kCaPem));
    WriteFile("empty.pem", "");
    WriteFile("notes.pem", "-----BEGIN CERTIFICATE-----\nnot base64 at all\n");
    std::string reason;
    EXPECT_TRUE(TlsSession::CheckCaFile("plain.pem", &reason)) << reason;
    EXPECT_TRUE(TlsSession::CheckCaFile("bundle.pem", &reason)) << reason;

    EXPECT_FALSE(TlsSession::CheckCaFile("missing.pem", &reason));
    EXPECT_EQ(reason, "cannot open the CA file \"missing.pem\"");
    for (const std::string name : {"empty.pem", "notes.pem"}) {
        reason.clear();
        EXPECT_FALSE(TlsSession::CheckCaFile(name, &reason)) << name;
        EXPECT_EQ(reason, "\"" + name + "\" holds no PEM certificate");
    }

    TlsSession session;
    TlsOptions options;
    options.enabled = true;
    options.caFile = "notes.pem";
    EXPECT_FALSE(session.Begin("news.example", options));
    EXPECT_FALSE(session.IsActive());
    EXPECT_EQ(session.Reason(), "\"notes.pem\" holds no PEM certificate");
}

// The client speaks first: a TLS handshake record, with the server's name for the server to
// choose its certificate by, but never an address there.
TEST(TlsSessionTest, TheFirstMessageIsAHandshakeRecordNamingHostsButNotAddresses) {
    TlsOptions options;
    options.enabled = true;
    options.verify = false;
    const std::pair<std::string, bool> cases[] = {
        {"news.example.org", true}, {"127.0.0.1", false}, {"::1", false}};
    for (const auto& [server, named] : cases) {
        TlsSession session;
        ASSERT_TRUE(session.Begin(server, options)) << session.Reason();
        EXPECT_EQ(session.Handshake(), TlsSession::Progress::NeedsPeer) << session.Reason();
        EXPECT_FALSE(session.IsEstablished());
        std::string hello;
        session.TakeOutput(&hello);
        ASSERT_GT(hello.size(), 5u) << server;
        EXPECT_EQ(hello[0], '\x16') << server;  // a handshake record
        EXPECT_EQ(hello.find(server) != std::string::npos, named) << server;
        std::string again;
        session.TakeOutput(&again);
        EXPECT_EQ(again, "");  // taken once
    }
}

TEST(TlsSessionTest, AServerThatDoesNotSpeakTlsFailsTheHandshakeWithAReason) {
    TlsOptions options;
    options.enabled = true;
    options.verify = false;
    TlsSession session;
    ASSERT_TRUE(session.Begin("news.example.org", options));
    ASSERT_EQ(session.Handshake(), TlsSession::Progress::NeedsPeer);
    std::string hello;
    session.TakeOutput(&hello);
    const std::string greeting = "200 news.example.org ready, posting allowed\r\n";
    session.Feed(greeting.data(), static_cast<int>(greeting.size()));
    EXPECT_EQ(session.Handshake(), TlsSession::Progress::Failed);
    EXPECT_FALSE(session.IsEstablished());
    EXPECT_FALSE(session.Reason().empty());
}

}  // namespace
