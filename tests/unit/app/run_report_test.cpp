// What a run prints for people and for scripts: the per-second line with that second's
// failures and latencies, the summary as text and as JSON, and the figures of one interval
// taken from the engine's running totals.
#include <gtest/gtest.h>

#include <string>

#include "app/core/IntervalActivity.h"
#include "app/core/MonitorView.h"
#include "app/core/RunDescription.h"
#include "app/core/RunReport.h"
#include "app/metrics/SnakeCase.h"
#include "support/SettingsStore.h"

namespace {

TEST(SnakeCaseTest, EngineNamesBecomeOneKeyForJsonAndMetrics) {
    EXPECT_EQ(SnakeCase("time-out"), "time_out");
    EXPECT_EQ(SnakeCase("greeting refused"), "greeting_refused");
    EXPECT_EQ(SnakeCase("body text"), "body_text");
    EXPECT_EQ(SnakeCase("waiting for greeting"), "waiting_for_greeting");
    EXPECT_EQ(SnakeCase("  Odd -- Name  "), "odd_name");
    EXPECT_EQ(SnakeCase("body_text"), "body_text");  // a key stays as it is
    // Every name the engine gives is a key without spaces or dashes.
    for (std::size_t i = 0; i < static_cast<std::size_t>(FailureKind::kCount); ++i) {
        const std::string key = FailureKey(static_cast<FailureKind>(i));
        EXPECT_EQ(key.find_first_of(" -"), std::string::npos) << key;
    }
}

RateSample BusySecond() {
    RateSample sample;
    sample.elapsedSeconds = 2.5;
    sample.interval.seconds = 1.0;
    sample.interval.rateKiB = 187990.12;
    sample.interval.bytes = 192501883;
    sample.interval.articles = 1400;
    sample.interval.articlesPerSecond = 1400;
    sample.engineRate = 5.0;
    ActivityCounts counts;
    counts.count[static_cast<std::size_t>(ConnectionActivity::kFetchingHeader)] = 1;
    counts.count[static_cast<std::size_t>(ConnectionActivity::kFetchingBody)] = 3;
    counts.count[static_cast<std::size_t>(ConnectionActivity::kDelaying)] = 1;
    counts.shortestDelaySecondsLeft = 27;
    counts.longestDelaySecondsLeft = 27;
    counts.oldestDelaySeconds = 4;
    counts.oldestWaitSeconds = 172;
    SetSampleStates(counts, sample);
    sample.activity.failures = {{"refused", 2}};
    sample.activity.missing = 3;
    sample.activity.latencies = {{"head", 1400, 200, 900, 3100, 4000, 5000}};
    sample.activity.engineCpu = 0.25;
    sample.utcTime = "2026-12-08T19:00:00Z";
    return sample;
}

TEST(RunReportTest, TheTextLineShowsBothUnitsAndTheSecondsFailures) {
    EXPECT_EQ(FormatSample(BusySecond(), false),
              "   2.5s  192.5 MB/s  187990.12KBps  1400.0 articles/s  4 fetching, 1 delaying "
              "(27 s)  [2 refused, 3 missing]\n");
    RateSample quiet = BusySecond();
    quiet.activity = IntervalActivity{};
    EXPECT_EQ(FormatSample(quiet, false).find('['), std::string::npos);
}

TEST(RunReportTest, TheJsonLineHasStatesAsNumbersAndTheSecondsOwnFigures) {
    EXPECT_EQ(FormatSample(BusySecond(), true),
              "{\"event\":\"rate\",\"time\":\"2026-12-08T19:00:00Z\",\"elapsed_s\":2.5,"
              "\"interval_s\":1.0,\"rate_kib_s\":187990.12,\"text\":\"187990.12KBps\","
              "\"rate\":\"192.5 MB/s\",\"rate_mb_s\":192.502,"
              "\"rate_bytes_per_s\":192501883,\"bytes\":192501883,\"articles\":1400,"
              "\"articles_per_s\":1400.0,\"engine_rate_kib_s\":5.0,"
              "\"states\":{\"not_connected\":0,\"looking_up\":0,\"connecting\":0,"
              "\"waiting_for_greeting\":0,\"logging_in\":0,\"selecting_group\":0,\"idle\":0,"
              "\"fetching_header\":1,\"fetching_body\":3,\"delaying\":1,\"oldest_delay_s\":4,"
              "\"oldest_wait_s\":172},"
              "\"delay_left_s\":{\"min\":27,\"max\":27},\"failures\":{\"refused\":2},"
              "\"missing\":3,\"latency\":{\"head\":{\"count\":1400,\"p50_ms\":0.2,"
              "\"p99_ms\":3.1}},\"engine_cpu\":0.25}\n");
}

RunSummary FinishedRun() {
    RunSummary summary;
    summary.setup.server = "::1";
    summary.setup.port = 21125;
    summary.setup.tls = true;
    summary.setup.proxy = "127.0.0.1:1080";
    summary.setup.version = "1.0";
    summary.setup.started = "2026-12-08T19:00:00Z";
    summary.setup.settings = {{"news_server", "::1"}, {"DLConnections", "4"}};
    summary.durationSeconds = 10.0;
    summary.averageBytesPerSecond = 2.5e6;
    summary.peakBytesPerSecond = 4e6;
    summary.bytesReceived = 25000000;
    summary.articlesCompleted = 0;
    summary.missingArticles = 12;
    summary.connections = 4;
    summary.connectionsUp = 4;
    summary.stoppedBy = "time";
    summary.engineCpu = 0.125;
    summary.engineDetails = true;
    summary.connectionsReachedGroup = 4;
    summary.failures = {{"time-out", "time_out", 0, ""},
                        {"login refused", "login_refused", 2, "481 Authentication failed"}};
    summary.latencies = {{"body_text", 7, 900, 1800, 6100, 6400, 6400}};
    return summary;
}

TEST(RunReportTest, TheJsonSummaryKeepsItsFieldsAndAddsWhatRanAndWhy) {
    const std::string json = FormatSummary(FinishedRun(), true);
    // Fields a script already reads keep their names and place.
    EXPECT_EQ(json.rfind("{\"event\":\"summary\",\"summary\":true,\"duration_s\":10.0,"
                         "\"average_kib_s\":2441.41,\"peak_kib_s\":3906.25,"
                         "\"bytes_received\":25000000,\"articles_completed\":0,\"connections\":4,"
                         "\"connections_up\":4,\"connections_reached_group\":4,"
                         "\"first_article_s\":null,",
                         0),
              0u)
        << json;
    for (const char* part :
         {"\"failures\":{\"time_out\":0,\"login_refused\":2}",
          "\"latency\":{\"body_text\":{\"count\":7,\"p50_ms\":0.9,\"p90_ms\":1.8,\"p99_ms\":6.1,"
          "\"p99_9_ms\":6.4,\"max_ms\":6.4}}",
          "\"server\":\"::1\",\"port\":21125,\"tls\":true,\"proxy\":\"127.0.0.1:1080\"",
          "\"version\":\"1.0\",\"started\":\"2026-12-08T19:00:00Z\"",
          "\"settings\":{\"news_server\":\"::1\",\"DLConnections\":\"4\"}",
          "\"rate_bytes_per_s\":2500000,\"average_mb_s\":2.5,\"peak_mb_s\":4.0",
          "\"missing\":12,\"failures_total\":2",
          "\"reasons\":{\"login_refused\":\"481 Authentication failed\"}",
          "\"engine_cpu\":0.125,\"stopped_by\":\"time\"}\n"}) {
        EXPECT_NE(json.find(part), std::string::npos) << part << "\n" << json;
    }
}

TEST(RunReportTest, TheTextSummaryNamesMissingArticlesReasonsAndTheEnginesCpu) {
    const std::string text = FormatSummary(FinishedRun(), false);
    for (const char* line :
         {"  server              [::1]:21125 (TLS, through the SOCKS5 proxy 127.0.0.1:1080)\n",
          "  average rate        2441.41 KiB/s (2.5 MB/s)\n",
          "  missing articles    12\n",
          "  failures            2 login refused (481 Authentication failed)\n",
          "  engine CPU          12 % of one core\n",
          "  latency (ms)        count      p50      p90      p99    p99.9      max\n",
          "    body_text               7      0.9      1.8      6.1      6.4      6.4\n"}) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    }
}

TEST(RunDescriptionTest, SettingsAreListedWithoutAnyPassword) {
    SettingsStore settings;
    settings.SetString("news_server", "news.example.net");
    settings.SetInt("news_port", 563);
    settings.SetInt("news_ssl", 1);
    settings.SetString("username", "alice");
    settings.SetString("password", "hunter2");
    settings.SetString("NNTPp", "scrambled");
    settings.SetInt("ProxyOption", 1);
    settings.SetString("ProxyAddress", "::1");
    settings.SetString("ProxyPassword", "secret");
    const RunSetup setup =
        DescribeRun(settings, "2026-12-08T19:00:00Z", {{"ReceiveTimeout", "20"}});
    EXPECT_EQ(setup.server, "news.example.net");
    EXPECT_EQ(setup.port, 563);
    EXPECT_TRUE(setup.tls);
    // No ProxyPort stored: the port the engine dials, not a port it never uses.
    EXPECT_EQ(setup.proxy, "[::1]:0");
    RunSummary summary;
    summary.setup = setup;
    const std::string json = FormatSummary(summary, true);
    for (const char* secret : {"hunter2", "scrambled", "secret", "assword", "NNTPp"}) {
        EXPECT_EQ(json.find(secret), std::string::npos) << secret << "\n" << json;
    }
    EXPECT_NE(json.find("\"username\":\"alice\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"ReceiveTimeout\":\"20\""), std::string::npos) << json;
}

TEST(RunReportTest, TheEnginesReasonsAndEmptyGroupsReachTheSummary) {
    RunMonitor run;
    run.CountFailure(FailureKind::kProxy);
    run.SetFailureReason(FailureKind::kProxy, "Proxy authentication failed");
    run.CountEmptyGroup();
    RunSummary summary;
    AddEngineDetails(run, summary);
    EXPECT_EQ(summary.emptyGroupConnections, 1);
    ASSERT_NE(summary.Failure("proxy"), nullptr);
    EXPECT_EQ(summary.Failure("proxy")->reason, "Proxy authentication failed");
    const std::string json = FormatSummary(summary, true);
    EXPECT_NE(json.find("\"empty_group_connections\":1,\"reasons\":{\"proxy\":\"Proxy "
                        "authentication failed\"}"),
              std::string::npos)
        << json;
    EXPECT_NE(FormatSummary(summary, false).find("1 proxy (Proxy authentication failed)"),
              std::string::npos);
    EXPECT_EQ(NoArticleReason(run, true),
              "no article was completed; most frequent failure: proxy (1 time); empty group: the "
              "server has no article in it (found on 1 connection)");
}

TEST(IntervalActivityTest, EachLineCountsOnlyWhatHappenedSinceTheLineBefore) {
    RunMonitor run;
    run.CountFailure(FailureKind::kRefused);
    run.RecordLatency(CommandKind::kHead, 50000);  // before the first line: not this second's
    IntervalActivityMeter meter;
    meter.Start(run, 1.0);

    run.CountFailure(FailureKind::kRefused);
    run.CountFailure(FailureKind::kTimeout);
    run.CountMissingArticle();
    for (int i = 0; i < 99; ++i)
        run.RecordLatency(CommandKind::kHead, 100);
    run.RecordLatency(CommandKind::kHead, 1000);
    IntervalActivity second = meter.Measure(run, 1.5, 2.0);
    ASSERT_EQ(second.failures.size(), 2u);
    EXPECT_EQ(second.failures[0], (std::pair<std::string, std::uint64_t>{"refused", 1}));
    EXPECT_EQ(second.failures[1], (std::pair<std::string, std::uint64_t>{"time_out", 1}));
    EXPECT_EQ(second.missing, 1u);
    ASSERT_EQ(second.latencies.size(), 1u);
    EXPECT_EQ(second.latencies[0].command, "head");
    EXPECT_EQ(second.latencies[0].count, 100u);
    EXPECT_EQ(second.latencies[0].p50, LatencySnapshot::BucketUpperBound(LatencySnapshot::BucketOf(100)));
    // The 50 ms of the earlier second do not pull this second's p99 up.
    EXPECT_LT(second.latencies[0].p99, 1100u);
    EXPECT_DOUBLE_EQ(second.engineCpu, 0.25);  // 0.5 s of CPU in 2 s

    IntervalActivity idle = meter.Measure(run, 1.5, 1.0);
    EXPECT_TRUE(idle.failures.empty());
    EXPECT_EQ(idle.missing, 0u);
    EXPECT_TRUE(idle.latencies.empty());
    EXPECT_DOUBLE_EQ(idle.engineCpu, 0.0);
    // Without a CPU clock there is no share to show.
    EXPECT_LT(meter.Measure(run, -1.0, 1.0).engineCpu, 0.0);
}

}  // namespace
