// The download engine on the test thread: connections made from the settings, the settings
// chain, the rate of each tick, the 2-second timer, the count of completed articles, and
// deletion in the middle of a transfer.
#include "engine/QW.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "common/NNTPSocketTestAccess.h"
#include "common/OpenHandles.h"
#include "common/TestClock.h"
#include "newsd/Server.h"
#include "nntp/NNTPSocket.h"
#include "platform/LogFiles.h"
#include "support/DiskSpaceGuard.h"
#include "support/SettingsStore.h"
#include "unit/engine/EngineTestKit.h"

using Access = NNTPSocketTestAccess;

namespace {

using engine_test::FindLine;
using engine_test::SplitLines;

class CQWTest : public ::testing::Test {
protected:
    void SetUp() override {
        MSG message;
        PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0202, &data), 0);
        Engine = std::make_unique<CQW>();
        Engine->Settings.SetParent(&Dialog);
    }
    void TearDown() override {
        Engine.reset();
        DropPending();
        WSACleanup();
    }

    // Takes every queued message of this thread off the queue without dispatching it.
    std::vector<MSG> TakePending() {
        std::vector<MSG> taken;
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            taken.push_back(message);
        }
        return taken;
    }
    void DropPending() { TakePending(); }

    // Delivers the start message as the engine thread's loop would.
    void DeliverStartMessage() {
        MSG message;
        ASSERT_TRUE(PeekMessageA(&message, Engine->GetWindowHandle(), CQW::kMsgStartDownload,
                                 CQW::kMsgStartDownload, PM_REMOVE));
        DispatchMessageA(&message);
    }

    // Dispatches one message through the engine; false when none is queued.
    bool DispatchOne() {
        MSG message;
        if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            return false;
        }
        TranslateMessage(&message);
        DispatchMessageA(&message);
        return true;
    }

    LeakCheck Leaks;  // first: destroyed last, after everything below
    SettingsStore Dialog;
    std::unique_ptr<CQW> Engine;
};

TEST_F(CQWTest, StartMessageCreatesTheConfiguredConnectionsEachWithOneJob) {
    TempWorkingDir dir;
    Dialog.SetInt("DLConnections", 3);
    Dialog.SetString("news_server", "127.0.0.1");
    Dialog.SetInt("news_port", 9);  // never reached: the jobs stay queued
    Engine->StartDownload();
    DeliverStartMessage();

    const auto& connections = Engine->Connections();
    ASSERT_EQ(connections.size(), 3u);
    std::vector<HWND> windows;
    for (const auto& connection : connections) {
        EXPECT_EQ(Access::WantedGroup(*connection), "alt.binaries.test");
        std::string article;
        EXPECT_TRUE(connection->Settings.Find("article", article));
        EXPECT_EQ(article, "1");
        windows.push_back(connection->GetWindowHandle());
    }
    std::vector<HWND> jobs;
    for (const MSG& message : TakePending()) {
        if (message.message == kMsgStartArticleJob) {
            jobs.push_back(message.hwnd);
        }
    }
    EXPECT_EQ(jobs, windows);  // one job each, in creation order
    EXPECT_EQ(Engine->Counters()->Read().connections, 3u);
}

TEST_F(CQWTest, EveryConnectionGetsTheEnginesConnectionOptions) {
    Dialog.SetInt("DLConnections", 2);
    Engine->ConnectionOptions = {{"ReceiveTimeout", "20"}, {"ErrorDelay", "3"}};
    Engine->CreateConnections();
    ASSERT_EQ(Engine->Connections().size(), 2u);
    for (const auto& connection : Engine->Connections()) {
        EXPECT_EQ(Access::GetConnectionOptionSeconds(*connection, "ReceiveTimeout", "180"), 20);
        EXPECT_EQ(Access::GetConnectionOptionSeconds(*connection, "ErrorDelay", "30"), 3);
        EXPECT_EQ(Access::GetConnectionOptionSeconds(*connection, "RejectDelay", "180"), 180);
    }
}

TEST_F(CQWTest, NoConnectionForZeroNegativeOrTextCounts) {
    for (const char* count : {"0", "-4", "abc"}) {
        Dialog.SetString("DLConnections", count);
        Engine->CreateConnections();
        EXPECT_TRUE(Engine->Connections().empty()) << count;
    }
    EXPECT_TRUE(TakePending().empty());
}

TEST_F(CQWTest, MissingCountMeansOneConnection) {
    Engine->CreateConnections();
    EXPECT_EQ(Engine->Connections().size(), 1u);
}

TEST_F(CQWTest, ConnectionsReadTheDialogsValuesThroughTheEngine) {
    Dialog.SetString("news_server", "news.example.net");
    Dialog.SetInt("DLConnections", 2);
    Engine->CreateConnections();
    ASSERT_EQ(Engine->Connections().size(), 2u);
    CNNTPSocket& first = *Engine->Connections()[0];
    CNNTPSocket& second = *Engine->Connections()[1];
    EXPECT_EQ(first.Settings.GetString("news_server", "", true), "news.example.net");
    first.Settings.SetString("news_server", "other.example.net");
    EXPECT_EQ(first.Settings.GetString("news_server", "", true), "other.example.net");
    EXPECT_EQ(second.Settings.GetString("news_server", "", true), "news.example.net");
}

TEST_F(CQWTest, TickTurnsBytesIntoRatesAndSumsThem) {
    TestClock clock;
    Dialog.SetInt("DLConnections", 2);
    Engine->CreateConnections();
    CNNTPSocket& first = *Engine->Connections()[0];
    CNNTPSocket& second = *Engine->Connections()[1];
    const auto start = static_cast<std::uint64_t>(platform::MonotonicTime());
    Access::SetLastTickTime(first, start);
    Access::SetLastTickTime(second, start);
    Access::SetBytesSinceTick(first, 10240);
    Access::SetBytesSinceTick(second, 20480);
    clock.AdvanceMilliseconds(2000);
    Engine->OnTimer();
    EXPECT_DOUBLE_EQ(Access::Rate(first), 5.0);
    EXPECT_DOUBLE_EQ(Access::Rate(second), 10.0);
    EXPECT_DOUBLE_EQ(Engine->GetTotalRate(), 15.0);
    EngineTotals totals = Engine->Counters()->Read();
    EXPECT_EQ(totals.bytesReceived, 30720u);
    EXPECT_EQ(totals.ticks, 1u);

    clock.AdvanceMilliseconds(2000);
    Engine->OnTimer();  // nothing received during this tick
    EXPECT_DOUBLE_EQ(Access::Rate(first), 0.0);
    EXPECT_DOUBLE_EQ(Engine->GetTotalRate(), 0.0);
    EXPECT_EQ(Engine->Counters()->Read().bytesReceived, 30720u);
}

// The interval of a rate is measured on the monotonic clock: a system time set back an hour,
// or forward by a month (beyond what 32-bit milliseconds hold), changes nothing.
TEST_F(CQWTest, ASystemTimeSetBackOrFarForwardNeverGivesANegativeOrAbsurdRate) {
    TestClock clock;
    Dialog.SetInt("DLConnections", 1);
    Engine->CreateConnections();
    CNNTPSocket& connection = *Engine->Connections()[0];
    Access::SetLastTickTime(connection, static_cast<std::uint64_t>(platform::MonotonicTime()));

    Access::SetBytesSinceTick(connection, 10240);
    clock.Set(clock.Now() - 3600 * platform::kFileTimeUnitsPerSecond);
    clock.AdvanceMilliseconds(2000);
    Engine->OnTimer();
    EXPECT_DOUBLE_EQ(Access::Rate(connection), 5.0);

    Access::SetBytesSinceTick(connection, 10240);
    clock.Set(clock.Now() + 30LL * 24 * 3600 * platform::kFileTimeUnitsPerSecond);
    clock.AdvanceMilliseconds(2000);
    Engine->OnTimer();
    EXPECT_DOUBLE_EQ(Access::Rate(connection), 5.0);
    EXPECT_DOUBLE_EQ(Engine->GetTotalRate(), 5.0);
}

std::uint64_t gFreeBytes = 0;
bool FakeSpace(const std::string&, platform::FileSystemSpace& space) {
    space.totalBytes = 100ULL << 30;
    space.freeBytes = gFreeBytes;
    return true;
}

std::vector<std::string> EngineRows(EngineMonitor& monitor) {
    std::vector<std::string> rows;
    static StatusRow row;
    while (monitor.StatusRows().TryPop(row)) {
        if (row.connection == 0)
            rows.emplace_back(row.text);
    }
    return rows;
}

// The status list hears of a disk-space shortage once each time it begins, not at every tick
// (nor at every line or article that meets it), and again for a new monitor.
TEST_F(CQWTest, ADiskSpaceShortageIsOneStatusRowEachTimeItBegins) {
    TestClock clock;
    struct FakeDisk {
        FakeDisk() { platform::SetFileSystemSpaceHook(&FakeSpace); ResetDiskSpaceGuard(); }
        ~FakeDisk() { platform::SetFileSystemSpaceHook(nullptr); ResetDiskSpaceGuard(); }
    } disk;
    gFreeBytes = 50ULL << 30;
    Engine->OnTimer();
    EXPECT_TRUE(EngineRows(*Engine->Monitor()).empty());

    gFreeBytes = 1ULL << 30;
    std::vector<std::string> rows;
    for (int tick = 0; tick < 4; ++tick) {
        clock.AdvanceMilliseconds(2000);
        Engine->OnTimer();
        for (auto& text : EngineRows(*Engine->Monitor())) rows.push_back(text);
    }
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_NE(rows[0].find("1024 MiB of 102400 MiB free"), std::string::npos) << rows[0];

    gFreeBytes = 50ULL << 30;  // space is back, then short again
    clock.AdvanceMilliseconds(2000);
    Engine->OnTimer();
    gFreeBytes = 2ULL << 30;
    clock.AdvanceMilliseconds(2000);
    Engine->OnTimer();
    EXPECT_EQ(EngineRows(*Engine->Monitor()).size(), 1u);

    auto next = std::make_shared<EngineMonitor>();
    Engine->SetMonitor(next);
    clock.AdvanceMilliseconds(2000);
    Engine->OnTimer();
    EXPECT_EQ(EngineRows(*next).size(), 1u) << "a new download is told again";
}

TEST_F(CQWTest, TheWindowsTimerDeliversATickEveryTwoSeconds) {
    TestClock clock;
    EXPECT_FALSE(PumpUntil([&] { return Engine->Counters()->Read().ticks > 0; },
                                        std::chrono::milliseconds(50)));
    clock.AdvanceMilliseconds(1999);
    platform::WakeAllMessageQueues();
    EXPECT_FALSE(PumpUntil([&] { return Engine->Counters()->Read().ticks > 0; },
                                        std::chrono::milliseconds(50)));
    clock.AdvanceMilliseconds(1);
    platform::WakeAllMessageQueues();
    EXPECT_TRUE(PumpUntil([&] { return Engine->Counters()->Read().ticks == 1; }));
}

class CQWDownloadTest : public CQWTest {
protected:
    void StartServer(newsd::ServerOptions options) {
        Server = std::make_unique<newsd::Server>(options);
        ASSERT_TRUE(Server->Start()) << Server->LastError();
        Dialog.SetString("news_server", "127.0.0.1");
        Dialog.SetInt("news_port", Server->Port());
    }
    void TearDown() override {
        CQWTest::TearDown();
        if (Server) {
            Server->Stop();
        }
    }
    std::unique_ptr<newsd::Server> Server;
};

TEST_F(CQWDownloadTest, CountsEachArticleWhoseBodyEnded) {
    TempWorkingDir dir;
    newsd::ServerOptions options;
    options.articles.last = 50;
    options.articles.bodyBytes = 3000;
    StartServer(options);
    Dialog.SetInt("DLConnections", 1);
    Engine->StartDownload();

    // One message at a time, so that the count is looked at after every event.
    ASSERT_TRUE(WaitUntil([&] {
        while (DispatchOne()) {
            if (Engine->Counters()->Read().articlesCompleted >= 4) {
                return true;
            }
        }
        return false;
    }));
    const std::uint64_t completed = Engine->Counters()->Read().articlesCompleted;

    EXPECT_EQ(completed, 4u);
    // The fourth body has just ended and the next HEAD went out; no fifth BODY yet.
    ASSERT_TRUE(Server->WaitForCommands(1 + 2 * 4 + 1, std::chrono::milliseconds(5000)));
    std::vector<std::string> expected = {"GROUP alt.binaries.test"};
    for (int article = 50; article > 46; --article) {
        expected.push_back("HEAD " + std::to_string(article));
        expected.push_back("BODY " + std::to_string(article));
    }
    expected.push_back("HEAD 46");
    EXPECT_EQ(Server->Commands(), expected);
}

TEST_F(CQWDownloadTest, AMissingArticleIsNotCounted) {
    TempWorkingDir dir;
    newsd::ServerOptions options;
    options.articles.last = 50;
    options.articles.bodyBytes = 3000;
    options.articles.missing = {49};  // 423: skipped, the walk goes on at 48
    StartServer(options);
    Engine->StartDownload();
    ASSERT_TRUE(WaitUntil([&] {
        while (DispatchOne()) {
            if (Engine->Counters()->Read().articlesCompleted >= 3) {
                return true;
            }
        }
        return false;
    }));
    EXPECT_EQ(Engine->Counters()->Read().articlesCompleted, 3u);
    ASSERT_TRUE(Server->WaitForCommands(8, std::chrono::milliseconds(5000)));
    const auto commands = Server->Commands();
    EXPECT_EQ(std::vector<std::string>(commands.begin(), commands.begin() + 8),
              (std::vector<std::string>{"GROUP alt.binaries.test", "HEAD 50", "BODY 50", "HEAD 49",
                                        "HEAD 48", "BODY 48", "HEAD 47", "BODY 47"}));
    EXPECT_EQ(Server->ConnectionsAccepted(), 1u);
    EXPECT_EQ(Engine->Monitor()->Run().MissingArticles(), 1u);
}

TEST_F(CQWDownloadTest, DeletingTheEngineMidTransferResetsEveryConnectionAfterKillingTheTimer) {
    TempWorkingDir dir;
    newsd::ServerOptions options;
    options.articles.bodyBytes = 64 * 1024;
    StartServer(options);
    // Every body stops after its first bytes, so both connections stay in the middle of one.
    newsd::ConnectionScript script;
    script.faults.push_back(
        newsd::ConnectionScript::SplitReply("BODY", 0, {2000}, std::chrono::milliseconds(60000)));
    Server->SetScript(script);
    Dialog.SetInt("DLConnections", 2);
    Dialog.SetInt("writetodisk", 1);
    Engine->StartDownload();

    ASSERT_TRUE(WaitUntil([&] {
        while (DispatchOne()) {
        }
        const auto& connections = Engine->Connections();
        return connections.size() == 2 &&
               Access::ConnectionState(*connections[0]) == kStateBodyText &&
               Access::ConnectionState(*connections[1]) == kStateBodyText;
    }));
    EXPECT_EQ(dir.FilesEndingIn(".tmp").size(), 2u);

    const std::size_t descriptorsBefore = OpenHandleCount();
    Engine.reset();
    EXPECT_TRUE(dir.FilesEndingIn(".tmp").empty());
    EXPECT_LE(OpenHandleCount() + 2, descriptorsBefore);  // both sockets closed
    // Notifications still queued for the deleted connections go nowhere.
    DispatchPending();

    const auto lines = SplitLines(ReadWholeFile("log.txt"));
    const int killed = FindLine(lines, ": ~CQW(): Killing timer.");
    ASSERT_GE(killed, 0);
    EXPECT_EQ(FindLine(lines, "~CNNTPSocket()"), FindLine(lines, "~CNNTPSocket()", killed));
    EXPECT_GT(FindLine(lines, "~CNNTPSocket()", killed), killed);
}

}  // namespace
