// --metrics and --instance on the command line, and a headless run whose metrics address
// cannot be used.
#include <gtest/gtest.h>

#include <sstream>

#include "app/core/CommandLine.h"
#include "app/core/Headless.h"
#include "app/core/TestDialogLogic.h"
#include "app/metrics/MetricsEndpoint.h"
#include "app/metrics/MetricsHub.h"
#include "app/metrics/MetricsSnapshot.h"
#include "engine/EngineMonitor.h"
#include "newsd/Server.h"
#include "support/SettingsStore.h"
#include "tests/common/LeakCheck.h"
#include "unit/app/AppTestKit.h"

namespace {

ParseOutcome Parse(std::vector<std::string> args, CommandLineOptions& options,
                   std::string& message) {
    return ParseCommandLine(args, options, message);
}

// The runs below open the engine's sockets and windows: none may outlive its test.
class MetricsOptionsTest : public ::testing::Test {
protected:
    LeakCheck Leaks;
};

TEST_F(MetricsOptionsTest, AnAddressIsOptionalAndNeverTakenFromTheNextOption) {
    CommandLineOptions options;
    std::string message;
    ASSERT_EQ(Parse({"--headless", "--metrics", "--seconds", "5"}, options, message),
              ParseOutcome::kRun)
        << message;
    ASSERT_TRUE(options.metrics);
    EXPECT_EQ(options.metrics->Text(), "127.0.0.1:9464");
    EXPECT_EQ(*options.seconds, 5);

    ASSERT_EQ(Parse({"--headless", "--metrics", "0.0.0.0:9100", "--instance", "pod-3"}, options,
                    message),
              ParseOutcome::kRun)
        << message;
    EXPECT_EQ(options.metrics->Text(), "0.0.0.0:9100");
    EXPECT_EQ(options.instance, "pod-3");

    ASSERT_EQ(Parse({"--metrics=[::1]:9101"}, options, message), ParseOutcome::kRun) << message;
    EXPECT_EQ(options.metrics->Text(), "[::1]:9101");
    ASSERT_EQ(Parse({"--headless", "--metrics"}, options, message), ParseOutcome::kRun);
    EXPECT_EQ(options.metrics->port, 9464);
    ASSERT_EQ(Parse({"--headless"}, options, message), ParseOutcome::kRun);
    EXPECT_FALSE(options.metrics);
}

TEST_F(MetricsOptionsTest, BadValuesAreBadInputWithTheReason) {
    CommandLineOptions options;
    std::string message;
    EXPECT_EQ(Parse({"--headless", "--metrics", "1.2.3.4:70000"}, options, message),
              ParseOutcome::kError);
    EXPECT_EQ(message, "--metrics: the port '70000' is not a number from 0 to 65535");
    EXPECT_EQ(Parse({"--headless", "--instance", "x"}, options, message), ParseOutcome::kError);
    EXPECT_NE(message.find("needs --metrics"), std::string::npos);
    EXPECT_EQ(Parse({"--headless", "--metrics", "--instance", "a\x1b[2J"}, options, message),
              ParseOutcome::kError);
    EXPECT_NE(message.find("control characters"), std::string::npos);
    EXPECT_EQ(Parse({"--headless", "--metrics", "--instance"}, options, message),
              ParseOutcome::kError);
}

TEST_F(MetricsOptionsTest, AHeadlessRunWhoseMetricsPortIsTakenExitsWithTwoBeforeDownloading) {
    TempWorkingDir dir;
    app_test::WriteRegistryFile(dir.Path() / "settings.reg", "");
    app_test::ScopedRegistry registry(dir.Path() / "settings.reg");
    MetricsEndpoint busy([] { return std::string(); });  // holds a loopback port
    ListenAddress anyPort;
    anyPort.port = 0;
    std::string error;
    ASSERT_TRUE(busy.Start(anyPort, error)) << error;

    CommandLineOptions options;
    std::string message;
    ASSERT_EQ(Parse({"--headless", "--demo", "--seconds", "1", "--metrics",
                     std::to_string(busy.Address().port), "--workdir",
                     (dir.Path() / "run").string()},
                    options, message),
              ParseOutcome::kRun)
        << message;
    std::ostringstream out;
    std::ostringstream err;
    std::istringstream in;
    HeadlessConsole console{out, err, in, false};
    EXPECT_EQ(RunHeadless(options, console), kExitBadInput);
    EXPECT_NE(err.str().find("is in use"), std::string::npos) << err.str();
    EXPECT_EQ(out.str(), "");  // no rate line, no summary: nothing was downloaded
}

// The dialog's Go, Stop and Go again, as the metrics see them: each download is reported with
// its counters and monitor, Stop with nothing, and the totals keep what the first one received.
TEST_F(MetricsOptionsTest, TheDialogLogicReportsEveryDownloadAndTheTotalsKeepTheEarlierOnes) {
    TempWorkingDir dir;
    app_test::WriteRegistryFile(dir.Path() / "settings.reg", "");
    app_test::ScopedRegistry registry(dir.Path() / "settings.reg");
    newsd::ServerOptions serverOptions;
    serverOptions.articles.last = 5000;
    serverOptions.articles.bodyBytes = 32 * 1024;
    serverOptions.recordCommands = false;
    newsd::Server server(serverOptions);
    ASSERT_TRUE(server.Start()) << server.LastError();

    MetricsHub hub({{"instance", "i"}, {"server", "s"}});
    int reports = 0;
    int stops = 0;
    TestDialogLogic logic;
    logic.LoadSettings();
    logic.Settings().SetString("news_server", "127.0.0.1");
    logic.Settings().SetInt("news_port", server.Port());
    logic.SetCountersListener([&](const TestDialogLogic::DownloadWatch& watch) {
        ++(watch.counters ? reports : stops);
        EXPECT_EQ(watch.counters == nullptr, watch.monitor == nullptr);
        EXPECT_EQ(watch.counters == nullptr, !watch.engineCpuSeconds);
        hub.Attach(watch.counters, watch.monitor, watch.engineCpuSeconds, watch.connections);
    });
    auto confirm = [](const std::string&) { return true; };
    auto bodies = [&] {
        for (const auto& [command, histogram] : hub.Snapshot().commandDurations) {
            if (command == "body") {
                return histogram.Count();
            }
        }
        return std::uint64_t{0};
    };

    ASSERT_EQ(logic.Go("2", confirm), TestDialogLogic::GoResult::kStarted);
    ASSERT_TRUE(WaitUntil([&] { return bodies() >= 3; }));
    const MetricsSnapshot running = hub.Snapshot();
    EXPECT_TRUE(running.up);
    EXPECT_EQ(running.targetConnections, 2u);
    EXPECT_GT(running.engineCpuSeconds, 0.0);  // the engine thread's own clock
    logic.Stop();
    const MetricsSnapshot first = hub.Snapshot();
    EXPECT_EQ(first.receivedBytes, logic.Totals().bytesReceived);
    EXPECT_EQ(first.rateKiBPerSecond, 0.0);
    EXPECT_FALSE(first.up);
    EXPECT_EQ(first.targetConnections, 0u);
    // The stopped engine's CPU time is kept, as it was when it ended.
    EXPECT_GE(first.engineCpuSeconds, running.engineCpuSeconds);
    EXPECT_DOUBLE_EQ(logic.EngineCpuSeconds(), first.engineCpuSeconds);

    ASSERT_EQ(logic.Go("1", confirm), TestDialogLogic::GoResult::kStarted);
    ASSERT_TRUE(WaitUntil([&] {
        return hub.Snapshot().receivedBytes > first.receivedBytes + 100000;
    }));
    logic.Stop();
    const MetricsSnapshot second = hub.Snapshot();
    EXPECT_EQ(second.receivedBytes, first.receivedBytes + logic.Totals().bytesReceived);
    EXPECT_GE(second.articlesCompleted, first.articlesCompleted);
    EXPECT_GE(bodies(), 3u);  // the first download's latencies are still counted
    EXPECT_EQ(reports, 2);
    EXPECT_EQ(stops, 2);
    server.Stop();
}

}  // namespace
