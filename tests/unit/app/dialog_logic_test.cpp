// The dialog's logic: the values its controls store, Go with its confirmation, Stop, the rate
// text, the start-up failure path and an engine thread that does not stop in time.
#include <atomic>
#include <regex>
#include <string>
#include <thread>

#include "app/core/TestDialogLogic.h"
#include "engine/WorkerThread.h"
#include "newsd/Server.h"
#include "support/Log.h"
#include "support/SettingsStore.h"
#include "tests/common/RegistryFile.h"
#include "unit/app/AppTestKit.h"

namespace {

using engine_test::FindLine;
using engine_test::SplitLines;
using GoResult = TestDialogLogic::GoResult;

// Records the questions asked and answers them as told.
struct Asker {
    bool answer = true;
    int asked = 0;
    std::string question;
    TestDialogLogic::ConfirmFn Fn() {
        return [this](const std::string& q) {
            ++asked;
            question = q;
            return answer;
        };
    }
};

class DialogLogicTest : public ::testing::Test {
protected:
    void UseServer(const newsd::Server& server) {
        Logic.Settings().SetString("news_server", "127.0.0.1");
        Logic.Settings().SetInt("news_port", server.Port());
    }

    LeakCheck Leaks;  // first: destroyed last, after everything below
    TempWorkingDir Dir;
    // Through the settings file on Linux, in the registry itself on Windows.
    ScopedRegistryFile Registry{app_test::RegistryText("\"news_server\"=\"127.0.0.1\"\r\n"
                                                       "\"news_port\"=dword:00000009\r\n")};
    TestDialogLogic Logic;
    Asker Ask;
};

TEST(DialogLogicStatics, ConnectionsBoxReadsAsAnUnsignedNumber) {
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber("19"), 19u);
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber("  20 "), 20u);
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber("4294967295"), 4294967295u);
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber("4294967296"), 0u);
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber("-5"), 0u);
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber("+5"), 0u);
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber("12abc"), 0u);
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber("abc"), 0u);
    EXPECT_EQ(TestDialogLogic::ReadUnsignedNumber(""), 0u);
    EXPECT_EQ(TestDialogLogic::ConfirmationText(25),
              "Are you sure you want to make 25 connections to the server?");
}

TEST_F(DialogLogicTest, ControlsShowTheRegistryValuesOrTheDefaults) {
    EXPECT_TRUE(Logic.LoadSettings());
    EXPECT_EQ(Logic.ConnectionsForDisplay(), 1u);
    EXPECT_TRUE(Logic.WriteToDisk());

    Registry.Rewrite(app_test::RegistryText("\"DLConnections\"=dword:00000007\r\n"
                                            "\"writetodisk\"=dword:00000000\r\n"));
    EXPECT_TRUE(Logic.LoadSettings());
    EXPECT_EQ(Logic.ConnectionsForDisplay(), 7u);
    EXPECT_FALSE(Logic.WriteToDisk());
    Logic.SetWriteToDisk(true);
    EXPECT_EQ(Logic.Settings().GetString("writetodisk", "", true), "1");
    Logic.SetWriteToDisk(false);
    EXPECT_EQ(Logic.Settings().GetString("writetodisk", "", true), "0");
}

TEST_F(DialogLogicTest, NineteenStartsWithoutAskingTwentyAsks) {
    ASSERT_TRUE(Logic.LoadSettings());
    EXPECT_EQ(Logic.Go("19", Ask.Fn()), GoResult::kStarted);
    EXPECT_EQ(Ask.asked, 0);
    EXPECT_TRUE(Logic.IsRunning());

    Ask.answer = false;
    EXPECT_EQ(Logic.Go("20", Ask.Fn()), GoResult::kDeclined);
    EXPECT_EQ(Ask.asked, 1);
    EXPECT_EQ(Ask.question, "Are you sure you want to make 20 connections to the server?");
    EXPECT_FALSE(Logic.IsRunning());  // the previous download was stopped by this Go
    EXPECT_EQ(Logic.Settings().GetInt("DLConnections", 1, true), 20);  // still stored
    EXPECT_EQ(Logic.RateText(), "");
}

TEST_F(DialogLogicTest, GoTwiceStopsTheFirstEngineBeforeMakingTheSecond) {
    ASSERT_TRUE(Logic.LoadSettings());
    ASSERT_EQ(Logic.Go("1", Ask.Fn()), GoResult::kStarted);
    ASSERT_EQ(Logic.Go("1", Ask.Fn()), GoResult::kStarted);
    Logic.Stop();

    const auto lines = SplitLines(ReadWholeFile("log.txt"));
    const std::string mainId = std::to_string(GetCurrentThreadId());
    const int go1 = FindLine(lines, ": OnGo: Thread Id " + mainId);
    ASSERT_GE(go1, 0);
    const int made1 = FindLine(lines, ": CQWThread = ", go1);
    const int init1 = FindLine(lines, "OnInitInstance - ThreadId", made1);
    const int go2 = FindLine(lines, ": OnGo: Thread Id " + mainId, init1);
    const int exit1 = FindLine(lines, "OnExitInstance - Deleting m_pQW", go2);
    const int made2 = FindLine(lines, ": CQWThread = ", go2);
    const int init2 = FindLine(lines, "OnInitInstance - ThreadId", made2);
    EXPECT_GT(made1, go1);
    EXPECT_GT(init1, made1);
    EXPECT_GT(go2, init1);
    EXPECT_GT(exit1, go2);
    EXPECT_GT(made2, exit1);  // one engine at a time
    EXPECT_GT(init2, made2);
    EXPECT_GT(FindLine(lines, "OnExitInstance - Deleting m_pQW", init2), init2);
}

TEST_F(DialogLogicTest, StopWhenIdleDoesNothingAndTheRateTextFollowsTheState) {
    ASSERT_TRUE(Logic.LoadSettings());
    Logic.Stop();
    EXPECT_FALSE(Logic.IsRunning());
    EXPECT_EQ(Logic.RateText(), "");
    ASSERT_EQ(Logic.Go("-5", Ask.Fn()), GoResult::kStarted);  // a sign reads as 0
    EXPECT_EQ(Logic.Settings().GetString("DLConnections", "", true), "0");
    EXPECT_EQ(Logic.RateText(), "0.00KBps");
    Logic.Stop();
    EXPECT_EQ(Logic.RateText(), "");
    EXPECT_EQ(Logic.Totals().connections, 0u);
}

TEST_F(DialogLogicTest, ADownloadShowsARateAndLeavesNoTemporaryFile) {
    ASSERT_TRUE(Logic.LoadSettings());
    newsd::ServerOptions options;
    options.articles.last = 5000;
    options.articles.bodyBytes = 32 * 1024;
    options.recordCommands = false;
    newsd::Server server(options);
    ASSERT_TRUE(server.Start()) << server.LastError();
    UseServer(server);
    ASSERT_EQ(Logic.Go("2", Ask.Fn()), GoResult::kStarted);

    const std::regex rateText(R"(^[0-9]+\.[0-9][0-9]KBps$)");
    // The first tick is 2 s after the start; read the rate as the dialog does meanwhile.
    std::string text;
    ASSERT_TRUE(WaitUntil([&] {
        text = Logic.RateText();
        EXPECT_TRUE(std::regex_match(text, rateText)) << text;
        return Logic.TotalRate() > 0.0;
    }));
    Logic.Stop();
    server.Stop();
    const EngineTotals totals = Logic.Totals();
    EXPECT_EQ(totals.connections, 2u);
    EXPECT_GT(totals.bytesReceived, 0u);
    EXPECT_GT(totals.articlesCompleted, 0u);
    EXPECT_TRUE(Dir.FilesEndingIn(".tmp").empty());
}

TEST_F(DialogLogicTest, SocketLibraryFailureLeavesTheDialogUsable) {
    ASSERT_TRUE(Logic.LoadSettings());
    int boxes = 0;
    platform::SetWsaStartupHook([](WORD) { return WSAVERNOTSUPPORTED; });
    platform::SetMessageBoxHandler([&](HWND, LPCSTR, LPCSTR, UINT) {
        ++boxes;
        return IDOK;
    });
    const GoResult result = Logic.Go("3", Ask.Fn());
    platform::SetWsaStartupHook(nullptr);
    platform::SetMessageBoxHandler(nullptr);

    EXPECT_EQ(result, GoResult::kEngineUnavailable);
    EXPECT_EQ(boxes, 1);
    EXPECT_FALSE(Logic.IsRunning());
    EXPECT_EQ(Logic.RateText(), "");
    EXPECT_DOUBLE_EQ(Logic.TotalRate(), 0.0);
    Logic.Stop();
    // With the library back, the next Go works.
    EXPECT_EQ(Logic.Go("0", Ask.Fn()), GoResult::kStarted);
    EXPECT_TRUE(Logic.IsRunning());
}

TEST_F(DialogLogicTest, AnEngineThreadThatDoesNotStopInTimeIsGivenUpSafely) {
    ASSERT_TRUE(Logic.LoadSettings());
    auto logic = std::make_unique<TestDialogLogic>();
    logic->Settings().SetString("news_server", "127.0.0.1");
    logic->SetStopWaitMilliseconds(50);
    ASSERT_EQ(logic->Go("1", Ask.Fn()), GoResult::kStarted);

    // Holding the log lock stalls the engine thread at its next trace line, at the latest
    // when it starts to exit, and keeps it stalled past the shortened stop wait.
    ASSERT_TRUE(LogMutex().Lock(-1));
    const int before = WorkerThread::AbandonedThreadsRunning();
    logic->Stop();
    EXPECT_FALSE(logic->IsRunning());
    EXPECT_EQ(WorkerThread::AbandonedThreadsRunning(), before + 1);
    // The program goes on: the dialog can even go away while the thread is stuck.
    logic.reset();
    LogMutex().Unlock();
    EXPECT_TRUE(WaitUntil([&] { return WorkerThread::AbandonedThreadsRunning() == before; }));
    EXPECT_NE(ReadWholeFile("log.txt").find("OnExitInstance - Deleting m_pQW"), std::string::npos);
}

}  // namespace
