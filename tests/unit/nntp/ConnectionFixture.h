#pragma once
// Runs a real CNNTPSocket on the test thread's message loop against newsd over loopback.
//
// Time is the test's: the system clock is replaced by a TestClock that stands still, and the
// engine's 2-second tick is given by Tick(), which moves the clock on and calls OnTimer, as
// the engine does. Network events are real and are handled by Pump...(), which dispatches this
// thread's messages. Each test runs in an empty working directory of its own, where log.txt,
// errorlog.txt and the temporary article files land.
//
//   class GroupTest : public ConnectionFixture {};
//   TEST_F(GroupTest, SelectsTheGroup) {
//       StartArticleJob();
//       ASSERT_TRUE(WaitForCommands(2));          // GROUP, HEAD
//       EXPECT_EQ(Server->Commands()[0], "GROUP alt.binaries.test");
//   }
//
// A fixture that needs other server behaviour overrides ServerOptionsForTest(), or calls
// Server->SetScript(...) before the connection connects.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "common/LeakCheck.h"
#include "common/MessagePump.h"
#include "common/NNTPSocketTestAccess.h"
#include "common/TempWorkingDir.h"
#include "common/TestClock.h"
#include "newsd/Server.h"
#include "nntp/NNTPSocket.h"
#include "platform/windows.h"

using Access = NNTPSocketTestAccess;

namespace nntp_test {

inline std::size_t CountOccurrences(const std::string& text, const std::string& piece) {
    std::size_t count = 0;
    for (auto at = text.find(piece); at != std::string::npos; at = text.find(piece, at + 1)) {
        ++count;
    }
    return count;
}

}  // namespace nntp_test

class ConnectionFixture : public ::testing::Test {
protected:
    static constexpr int kTickSeconds = 2;
    static constexpr const char* kGroup = "alt.binaries.test";

    virtual newsd::ServerOptions ServerOptionsForTest() { return {}; }
    // A test may run a subclass with probe steps of its own.
    virtual std::unique_ptr<CNNTPSocket> MakeConnection() {
        return std::make_unique<CNNTPSocket>();
    }

    void SetUp() override {
        Server = std::make_unique<newsd::Server>(ServerOptionsForTest());
        ASSERT_TRUE(Server->Start()) << Server->LastError();
        Root.SetString("news_server", "127.0.0.1");
        Root.SetInt("news_port", Server->Port());
        Connection = MakeConnection();
        Connection->Settings.SetParent(&Root);
    }

    void TearDown() override {
        // As the engine does: reset before deleting, so no temporary file is left behind.
        if (Connection) {
            Connection->ResetConnection();
            Connection.reset();
        }
        DispatchPending();
        if (Server) {
            Server->Stop();
        }
    }

    // One engine tick, `seconds` after the previous one.
    void Tick(int seconds = kTickSeconds) {
        Clock.AdvanceSeconds(seconds);
        Connection->OnTimer();
    }

    // Ticks every 2 s, dispatching messages between ticks, until done() holds. Returns the
    // test-clock seconds that took, or -1 when it did not happen within maxSeconds.
    int TickUntil(const std::function<bool()>& done, int maxSeconds) {
        for (int elapsed = 0; elapsed <= maxSeconds; elapsed += kTickSeconds) {
            DispatchPending();
            if (done()) {
                return elapsed;
            }
            Tick();
        }
        return -1;
    }

    bool PumpUntil(const std::function<bool()>& done) { return ::PumpUntil(done); }

    // Starts the job the engine starts on every new connection.
    void StartArticleJob() { Connection->StartArticleJob(kGroup, 1); }

    // Dispatches until the server has seen at least `count` commands in all.
    bool WaitForCommands(std::size_t count) {
        return PumpUntil([&] { return Server->Commands().size() >= count; });
    }

    // Dispatches until the connection has been accepted `count` times in all.
    bool WaitForConnections(std::uint64_t count) {
        return PumpUntil([&] { return Server->ConnectionsAccepted() >= count; });
    }

    // Dispatches until the connection waits (for data or a delay) with nothing to do.
    bool WaitUntilIdleOrDelaying() {
        return PumpUntil([&] {
            return Access::ConnectionState(*Connection) == kStateIdle ||
                   Access::IsDelaying(*Connection);
        });
    }

    // The whole trace of the test: log.txt is rotated to log(1).txt, log(2).txt, ... once it
    // passes 1,000,000 bytes, so the copies come first, oldest first.
    std::string TraceLog() const {
        std::string text;
        for (int copy = 1;; ++copy) {
            const auto rotated = WorkDir.Path() / ("log(" + std::to_string(copy) + ").txt");
            if (!std::filesystem::exists(rotated)) {
                break;
            }
            text += ReadWholeFile(rotated);
        }
        return text + ReadWholeFile(WorkDir.Path() / "log.txt");
    }
    std::string ErrorLog() const {
        return ReadWholeFile(WorkDir.Path() / "errorlog.txt");
    }

    LeakCheck Leaks;         // first: checks what is left once everything below is gone
    TempWorkingDir WorkDir;  // everything below writes into it
    TestClock Clock;
    SocketLibrary Winsock;
    SettingsStore Root;  // stands in for the engine's and the dialog's stores
    std::unique_ptr<newsd::Server> Server;
    std::unique_ptr<CNNTPSocket> Connection;
};
