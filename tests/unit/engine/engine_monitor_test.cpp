// What the engine publishes for the front ends: connection slots, their snapshots read from
// another thread, the failure and latency figures of a download, and the status rows that the
// connections' status list hands over.
#include "engine/EngineMonitor.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/LeakCheck.h"
#include "common/NNTPSocketTestAccess.h"
#include "common/TestClock.h"
#include "engine/QW.h"
#include "nntp/NNTPSocket.h"
#include "support/SettingsStore.h"

using Access = NNTPSocketTestAccess;

namespace {

TEST(EngineMonitor, SlotsAreNumberedOnAcrossBatchesAndReadInOrder) {
    EngineMonitor monitor;
    EXPECT_EQ(monitor.AddConnections(0), nullptr);
    ConnectionMonitor* first = monitor.AddConnections(3);
    ConnectionMonitor* second = monitor.AddConnections(2);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    first[1].AddBytes(100);
    first[1].AddBytes(23);
    second[1].AddArticle();

    std::vector<ConnectionSnapshot> rows;
    monitor.ReadConnections(rows, 0);
    ASSERT_EQ(rows.size(), 5u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].number, static_cast<std::int32_t>(i + 1));
    }
    EXPECT_EQ(rows[1].bytes, 123u);
    EXPECT_EQ(rows[4].articles, 1u);
    EXPECT_EQ(rows[0].activity, ConnectionActivity::kNotConnected);
}

// The engines of a group add their connections from their own threads, in whatever order
// they run; each batch keeps the numbers it was given and a reader gets them in order.
TEST(EngineMonitor, EnginesAddingAtOnceKeepTheirNumbersAndAreReadInOrder) {
    for (int round = 0; round < 20; ++round) {
        EngineMonitor monitor;
        std::atomic<bool> go{false};
        std::vector<std::thread> engines;
        std::vector<ConnectionMonitor*> slots(4, nullptr);
        for (int e = 0; e < 4; ++e) {
            engines.emplace_back([&, e] {
                while (!go.load()) {
                }
                slots[static_cast<std::size_t>(e)] = monitor.AddConnections(3, 1 + 3 * e);
            });
        }
        go = true;
        std::vector<ConnectionSnapshot> read;
        monitor.ReadConnections(read, 0);  // while they add: whatever is there, in order
        for (std::size_t i = 1; i < read.size(); ++i) EXPECT_LT(read[i - 1].number, read[i].number);
        for (auto& engine : engines) engine.join();
        for (int e = 0; e < 4; ++e) {
            ASSERT_NE(slots[static_cast<std::size_t>(e)], nullptr);
            slots[static_cast<std::size_t>(e)][2].AddBytes(static_cast<std::uint64_t>(e + 1));
        }
        monitor.ReadConnections(read, 0);
        ASSERT_EQ(read.size(), 12u);
        for (std::size_t i = 0; i < read.size(); ++i) {
            EXPECT_EQ(read[i].number, static_cast<std::int32_t>(i + 1));
        }
        EXPECT_EQ(read[5].bytes, 2u) << "engine 2's third slot is connection 6";
    }
}

// Two engine threads storing failure reasons into one text: a reader sees one text or the
// other, never a mixture, and the writers never lose the text's end.
TEST(RunMonitor, ReasonsWrittenByTwoEnginesAreNeverMixed) {
    RunMonitor run;
    const std::string a(90, 'a');
    const std::string b(40, 'b');
    run.SetFailureReason(FailureKind::kRefused, a.c_str());
    std::atomic<bool> stop{false};
    auto writer = [&](const std::string& text) {
        while (!stop.load()) run.SetFailureReason(FailureKind::kRefused, text.c_str());
    };
    std::thread first(writer, a);
    std::thread second(writer, b);
    int torn = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::string seen = run.FailureReason(FailureKind::kRefused);
        torn += seen != a && seen != b;
    }
    stop = true;
    first.join();
    second.join();
    EXPECT_EQ(torn, 0);
}

TEST(ConnectionMonitor, SecondsLeftOfADelayFollowTheTickRule) {
    TestClock clock;
    ConnectionMonitor slot;
    slot.SetDelay(clock.Now(), 10);
    // A 10-second delay ends at the first tick with more than 10 whole seconds behind it.
    EXPECT_EQ(slot.Read(clock.Now()).delaySecondsLeft, 11);
    clock.AdvanceMilliseconds(5500);
    EXPECT_EQ(slot.Read(clock.Now()).delaySecondsLeft, 6);
    clock.AdvanceSeconds(6);
    EXPECT_EQ(slot.Read(clock.Now()).delaySecondsLeft, 0);
    // A clock set back leaves the whole delay ahead, never more.
    clock.Set(clock.Now() - 3600 * platform::kFileTimeUnitsPerSecond);
    EXPECT_EQ(slot.Read(clock.Now()).delaySecondsLeft, 11);
    slot.SetActivity(ConnectionActivity::kFetchingBody);
    EXPECT_EQ(slot.Read(clock.Now()).delaySecondsLeft, 0);
    EXPECT_EQ(slot.Read(clock.Now()).activity, ConnectionActivity::kFetchingBody);
}

TEST(ConnectionMonitor, LastStatusLineLosesItsLineEndAndIsCut) {
    ConnectionMonitor slot;
    EXPECT_STREQ(slot.Read(0).lastStatusLine, "");
    slot.SetLastStatusLine("211 3 1 3 alt.binaries.test\r\n");
    EXPECT_STREQ(slot.Read(0).lastStatusLine, "211 3 1 3 alt.binaries.test");
    const std::string longLine = "423 " + std::string(300, 'z') + "\r\n";
    slot.SetLastStatusLine(longLine.c_str());
    EXPECT_EQ(std::string(slot.Read(0).lastStatusLine), longLine.substr(0, kLastStatusLineSize - 1));
    slot.SetLastStatusLine("200 short\r\n");  // nothing of the longer line is left behind
    EXPECT_STREQ(slot.Read(0).lastStatusLine, "200 short");
}

TEST(ConnectionMonitor, AReaderNeverSeesHalfOfOneLineAndHalfOfAnother) {
    ConnectionMonitor slot;
    const std::string a(100, 'a');
    const std::string b(60, 'b');
    slot.SetLastStatusLine(a.c_str());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            slot.SetLastStatusLine(i % 2 == 0 ? b.c_str() : a.c_str());
        }
    });
    int torn = 0;
    for (int i = 0; i < 200000; ++i) {
        const std::string seen = slot.Read(0).lastStatusLine;
        if (seen != a && seen != b) {
            ++torn;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
}

TEST(EngineMonitor, ActivityCountsAndTheShortestDelay) {
    TestClock clock;
    EngineMonitor monitor;
    ConnectionMonitor* slots = monitor.AddConnections(4);
    slots[0].SetActivity(ConnectionActivity::kFetchingBody);
    slots[1].SetActivity(ConnectionActivity::kFetchingBody);
    slots[2].SetDelay(clock.Now(), 30);
    slots[3].SetDelay(clock.Now(), 8);
    const ActivityCounts counts = monitor.CountActivities(clock.Now());
    EXPECT_EQ(counts.Of(ConnectionActivity::kFetchingBody), 2u);
    EXPECT_EQ(counts.Of(ConnectionActivity::kDelaying), 2u);
    EXPECT_EQ(counts.Of(ConnectionActivity::kNotConnected), 0u);
    EXPECT_EQ(counts.shortestDelaySecondsLeft, 9);
    EXPECT_EQ(counts.longestDelaySecondsLeft, 31);
}

// How long the oldest delay has run and how near the receive time-out the longest wait is,
// as whole seconds; a connection that is not talking to the server has no wait.
TEST(EngineMonitor, AgesOfTheOldestDelayAndTheLongestWait) {
    TestClock clock;
    EngineMonitor monitor;
    ConnectionMonitor* slots = monitor.AddConnections(4);
    EXPECT_EQ(monitor.CountActivities(clock.Now()).oldestWaitSeconds, 0);
    slots[0].SetWaitStart(clock.Now());
    slots[0].SetActivity(ConnectionActivity::kFetchingBody);
    slots[1].SetDelay(clock.Now(), 30);
    clock.AdvanceSeconds(7);
    slots[2].SetWaitStart(clock.Now());
    slots[2].SetActivity(ConnectionActivity::kAwaitingGreeting);
    slots[3].SetDelay(clock.Now(), 30);
    clock.AdvanceMilliseconds(2500);
    ActivityCounts counts = monitor.CountActivities(clock.Now());
    EXPECT_EQ(counts.oldestWaitSeconds, 9);
    EXPECT_EQ(counts.oldestDelaySeconds, 9);
    EXPECT_EQ(slots[2].Read(clock.Now()).waitSeconds, 2);
    EXPECT_EQ(slots[3].Read(clock.Now()).delayAgeSeconds, 2);

    slots[0].SetActivity(ConnectionActivity::kIdle);  // between commands: no wait
    EXPECT_EQ(slots[0].Read(clock.Now()).waitSeconds, -1);
    counts = monitor.CountActivities(clock.Now());
    EXPECT_EQ(counts.oldestWaitSeconds, 2);
    // A clock set back gives no negative age.
    clock.Set(clock.Now() - 3600 * platform::kFileTimeUnitsPerSecond);
    EXPECT_EQ(slots[2].Read(clock.Now()).waitSeconds, 0);
}

TEST(RunMonitor, FailuresFirstArticleTextAndNames) {
    RunMonitor run;
    EXPECT_EQ(run.MostFrequentFailure(), FailureKind::kCount);
    EXPECT_FALSE(run.ArticleTextReceived());
    run.CountFailure(FailureKind::kRefused);
    run.CountFailure(FailureKind::kLookup);
    run.CountFailure(FailureKind::kLookup);
    EXPECT_EQ(run.Failures(FailureKind::kLookup), 2u);
    EXPECT_EQ(run.TotalFailures(), 3u);
    EXPECT_EQ(run.MostFrequentFailure(), FailureKind::kLookup);
    EXPECT_STREQ(FailureName(run.MostFrequentFailure()), "lookup");

    run.MarkStart(1000);
    run.MarkArticleText(1000 + 25 * 10);  // 25 microseconds later
    run.MarkArticleText(9999999);         // only the first counts
    EXPECT_EQ(run.MicrosecondsToFirstArticleText(), 25);
    EXPECT_STREQ(ActivityName(ConnectionActivity::kAwaitingGreeting), "waiting for greeting");
}

TEST(RunMonitor, CommandNamesAreSnakeCaseKeysOnePerKind) {
    const std::vector<std::string> expected = {"greeting", "authinfo",  "group",     "head",
                                               "body",     "body_text", "head_text", "article"};
    ASSERT_EQ(expected.size(), static_cast<std::size_t>(CommandKind::kCount));
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(CommandName(static_cast<CommandKind>(i)), expected[i]);
    }
    EXPECT_STREQ(CommandName(CommandKind::kCount), "unknown");
}

TEST(RunMonitor, EmptyGroupConnectionsAreCountedApartFromFailures) {
    RunMonitor run;
    EXPECT_EQ(run.EmptyGroupConnections(), 0u);
    run.CountEmptyGroup();
    run.CountEmptyGroup();
    EXPECT_EQ(run.EmptyGroupConnections(), 2u);
    EXPECT_EQ(run.TotalFailures(), 0u);
}

TEST(RunMonitor, FailureReasonIsTheLatestPerKindWithoutLineEndAndCut) {
    RunMonitor run;
    EXPECT_EQ(run.FailureReason(FailureKind::kProxy), "");
    run.SetFailureReason(FailureKind::kProxy, "Unsupported authentication method");
    run.SetFailureReason(FailureKind::kLoginRefused, "481 Authentication failed\r\n");
    run.SetFailureReason(FailureKind::kProxy, "Proxy authentication failed");
    EXPECT_EQ(run.FailureReason(FailureKind::kProxy), "Proxy authentication failed");
    EXPECT_EQ(run.FailureReason(FailureKind::kLoginRefused), "481 Authentication failed");
    EXPECT_EQ(run.FailureReason(FailureKind::kLookup), "");
    const std::string longReason(400, 'r');
    run.SetFailureReason(FailureKind::kTls, longReason.c_str());
    EXPECT_EQ(run.FailureReason(FailureKind::kTls), longReason.substr(0, kFailureReasonSize - 1));
    run.SetFailureReason(FailureKind::kTls, "short");  // nothing of the longer one is left
    EXPECT_EQ(run.FailureReason(FailureKind::kTls), "short");
    run.SetFailureReason(FailureKind::kCount, "ignored");
    EXPECT_EQ(run.FailureReason(FailureKind::kCount), "");
}

TEST(RunMonitor, AReaderNeverSeesATornFailureReason) {
    RunMonitor run;
    const std::string a(150, 'a');
    const std::string b(30, 'b');
    run.SetFailureReason(FailureKind::kProxy, a.c_str());
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; !stop.load(); ++i) {
            run.SetFailureReason(FailureKind::kProxy, i % 2 == 0 ? b.c_str() : a.c_str());
        }
    });
    int torn = 0;
    for (int i = 0; i < 100000; ++i) {
        const std::string seen = run.FailureReason(FailureKind::kProxy);
        if (seen != a && seen != b) {
            ++torn;
        }
    }
    stop = true;
    writer.join();
    EXPECT_EQ(torn, 0);
}

// The engine attaches one status list to all its connections; each row reaches the monitor's
// queue labelled with the number of the connection that wrote it.
class EngineAttachTest : public ::testing::Test {
protected:
    void SetUp() override {
        MSG message;
        PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
        WSADATA data;
        ASSERT_EQ(WSAStartup(0x0202, &data), 0);
        Engine = std::make_unique<CQW>();
        Engine->Settings.SetParent(&Dialog);
        Engine->SetMonitor(Monitor);
    }
    void TearDown() override {
        Engine.reset();
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        }
        WSACleanup();
    }

    LeakCheck Leaks;  // first: destroyed last, after everything below
    SettingsStore Dialog;
    std::shared_ptr<EngineMonitor> Monitor = std::make_shared<EngineMonitor>();
    std::unique_ptr<CQW> Engine;
};

TEST_F(EngineAttachTest, ConnectionsGetSlotsAndRowsAreLabelledWithTheirNumber) {
    Dialog.SetInt("DLConnections", 3);
    Engine->CreateConnections();
    ASSERT_EQ(Monitor->ConnectionCount(), 3u);
    const auto& connections = Engine->Connections();
    for (std::size_t i = 0; i < connections.size(); ++i) {
        EXPECT_EQ(Access::ConnectionNumber(*connections[i]), static_cast<std::int32_t>(i + 1));
        ASSERT_NE(Access::Monitor(*connections[i]), nullptr);
        EXPECT_EQ(Access::Download(*connections[i]), &Monitor->Run());
    }
    Access::PublishActivity(*connections[1], ConnectionActivity::kSelectingGroup);
    std::vector<ConnectionSnapshot> rows;
    Monitor->ReadConnections(rows, 0);
    EXPECT_EQ(rows[1].activity, ConnectionActivity::kSelectingGroup);

    TestClock clock;
    EXPECT_TRUE(Access::ReportStatus(*connections[2], "Failed to connect to server \"%s\" port %d.",
                                     "x", 9));
    EXPECT_TRUE(Access::ReportStatus(*connections[0], "%s", "502 \x1b[31mgo away\r\n"));
    StatusRow row;
    ASSERT_TRUE(Monitor->StatusRows().TryPop(row));
    EXPECT_EQ(row.connection, 3);
    EXPECT_EQ(row.fileTime, clock.Now());
    EXPECT_STREQ(row.text, "Failed to connect to server \"x\" port 9.");
    ASSERT_TRUE(Monitor->StatusRows().TryPop(row));
    EXPECT_EQ(row.connection, 1);
    EXPECT_STREQ(row.text, "502 \\x1B[31mgo away");
    EXPECT_FALSE(Monitor->StatusRows().TryPop(row));
}

TEST_F(EngineAttachTest, ARowIsHandedOverEvenWhenNobodyDrainsTheQueue) {
    Dialog.SetInt("DLConnections", 1);
    Engine->CreateConnections();
    const std::size_t capacity = Monitor->StatusRows().Capacity();
    for (std::size_t i = 0; i < capacity + 5; ++i) {
        EXPECT_TRUE(Access::ReportStatus(*Engine->Connections()[0], "row %d", static_cast<int>(i)));
    }
    EXPECT_EQ(Monitor->StatusRows().Pushed(), capacity);
    EXPECT_EQ(Monitor->StatusRows().Dropped(), 5u);
}

}  // namespace
