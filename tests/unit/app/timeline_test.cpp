// The figures of a span (one second, a run without its warm-up), the warm-up cut, and the
// timeline's lines in JSON and CSV.
#include "app/core/Timeline.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "app/core/WarmupCut.h"
#include "support/LatencyHistogram.h"
#include "common/TempWorkingDir.h"

namespace {

// A slow sample recorded first, then many fast ones: what a warm-up leaves behind.
TEST(LatencySinceTest, AnIntervalHoldsOnlyItsOwnSamplesAndItsOwnMaximum) {
    LatencyHistogram histogram;
    histogram.Record(50000);
    const LatencySnapshot before = histogram.Snapshot();
    for (int i = 0; i < 99; ++i)
        histogram.Record(200);
    histogram.Record(3000);
    const LatencySnapshot interval = LatencySince(histogram.Snapshot(), before);
    EXPECT_EQ(interval.Count(), 100u);
    EXPECT_GE(interval.Percentile(0.5), 200u);
    EXPECT_LE(interval.Percentile(0.5), 200u * 17 / 16);
    // The slow sample before the interval is not its maximum; its own is within a bucket.
    EXPECT_GE(interval.Max(), 3000u);
    EXPECT_LT(interval.Max(), 3000u * 17 / 16);
    EXPECT_GE(interval.Min(), 190u);
    EXPECT_LE(interval.Min(), 200u);
    EXPECT_EQ(LatencySince(histogram.Snapshot(), histogram.Snapshot()).Max(), 0u);
}

const LatencyFigures* BodyLatency(const IntervalActivity& activity) {
    for (const LatencyFigures& line : activity.latencies) {
        if (line.command == "body")
            return &line;
    }
    return nullptr;
}

TEST(WarmupCutTest, TheWarmupSecondsAreLeftOutOfTheMeasuredPart) {
    RunMonitor run;
    WarmupCut cut(2.0);
    cut.Start(run, 0.0);
    run.RecordLatency(CommandKind::kBodyStatus, 90000);  // a slow first connect
    run.CountFailure(FailureKind::kRefused);
    EXPECT_TRUE(cut.Observe(1, run, 0.5, 1.0, 100, 1));
    EXPECT_FALSE(cut.Over());
    EXPECT_TRUE(cut.Observe(2, run, 0.75, 2.0, 300, 2));  // the line at S still warms up
    EXPECT_TRUE(cut.Over());
    run.RecordLatency(CommandKind::kBodyStatus, 100);
    run.CountFailure(FailureKind::kTimeout);
    run.CountMissingArticle();
    EXPECT_FALSE(cut.Observe(3, run, 1.0, 3.0, 1300, 5));
    EXPECT_FALSE(cut.Observe(4, run, 1.25, 4.0, 2300, 8));
    const MeasuredPart part = cut.Measured(run, 1.375, 4.5, 2800, 9);
    EXPECT_DOUBLE_EQ(part.seconds, 2.5);
    EXPECT_EQ(part.bytes, 2500u);
    EXPECT_EQ(part.articles, 7u);
    EXPECT_EQ(part.activity.missing, 1u);
    EXPECT_DOUBLE_EQ(part.activity.engineCpu, 0.25);
    ASSERT_EQ(part.activity.failures.size(), 1u);
    EXPECT_EQ(part.activity.failures[0], std::make_pair(std::string("time_out"), std::uint64_t{1}));
    const LatencyFigures* body = BodyLatency(part.activity);
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->count, 1u);
    EXPECT_LT(body->max, 1000u);

    // Into a summary that held the whole run's figures.
    RunSummary summary;
    summary.failures = {{"refused", "refused", 1, "connection refused"},
                        {"time-out", "time_out", 1, {}}};
    summary.latencies = {{"body", 2, 100, 90000, 90000, 90000, 90000}};
    ApplyMeasuredPart(part, summary);
    EXPECT_EQ(summary.bytesReceived, 2500u);
    EXPECT_DOUBLE_EQ(summary.articlesPerSecond, 2.8);
    EXPECT_EQ(summary.missingArticles, 1u);
    EXPECT_EQ(summary.TotalFailures(), 1u);
    EXPECT_EQ(summary.Failure("refused")->reason, "connection refused");  // reasons stay
    ASSERT_NE(summary.Latency("body"), nullptr);
    EXPECT_LT(summary.Latency("body")->max, 1000u);
    EXPECT_DOUBLE_EQ(summary.engineCpu, 0.25);
}

TEST(WarmupCutTest, AFractionEndsAtTheNextLineAndNoWarmupCountsFromGo) {
    RunMonitor run;
    WarmupCut half(1.5);
    half.Start(run, 0.0);
    EXPECT_TRUE(half.Observe(1, run, 0.0, 1.0, 10, 0));
    EXPECT_TRUE(half.Observe(2, run, 0.0, 2.0, 20, 0));
    EXPECT_FALSE(half.Observe(3, run, 0.0, 3.0, 30, 0));
    EXPECT_EQ(half.Measured(run, 0.0, 3.0, 30, 0).bytes, 10u);

    WarmupCut none;
    none.Start(run, 0.0);
    EXPECT_TRUE(none.Over());
    EXPECT_FALSE(none.Observe(1, run, 0.0, 1.0, 10, 0));
    EXPECT_EQ(none.Measured(run, 0.0, 1.0, 10, 0).bytes, 10u);

    // A run stopped within its warm-up has nothing measured (and a new Start begins anew).
    WarmupCut longer(5.0);
    longer.Start(run, 0.0);
    longer.Observe(1, run, 0.0, 1.0, 10, 0);
    const MeasuredPart nothing = longer.Measured(run, 0.0, 1.5, 15, 1);
    EXPECT_DOUBLE_EQ(nothing.seconds, 0.0);
    EXPECT_EQ(nothing.bytes, 0u);
    EXPECT_LT(nothing.activity.engineCpu, 0.0);
    longer.Start(run, 0.0);
    EXPECT_FALSE(longer.Over());
}

SecondRecord Second() {
    SecondRecord second;
    second.t = 2.0;
    second.step = 3;
    second.connections = 8;
    second.bytes = 123456;
    second.rateBytesPerSecond = 123456.0;
    second.articles = 3;
    second.states = {{"fetching_body", 5}, {"delaying", 1}};
    second.latency = {{"head", 3, 400, 0, 1200, 0, 0}, {"body_text", 2, 1500, 0, 2500, 0, 0}};
    second.failures = {{"refused", 1}};
    second.missing = 2;
    second.engineCpu = 0.42;
    return second;
}

TEST(TimelineTest, SecondLineAsTheReaderExpectsIt) {
    EXPECT_EQ(TimelineSecondLine(Second()),
              "{\"event\":\"second\",\"t\":2.0,\"step\":3,\"connections\":8,\"bytes\":123456,"
              "\"rate_bytes_per_s\":123456.0,\"articles\":3,"
              "\"states\":{\"fetching_body\":5,\"delaying\":1},"
              "\"latency\":{\"head\":{\"count\":3,\"p50_ms\":0.4,\"p99_ms\":1.2},"
              "\"body_text\":{\"count\":2,\"p50_ms\":1.5,\"p99_ms\":2.5}},"
              "\"failures\":{\"refused\":1},\"missing\":2,\"engine_cpu\":0.42,\"warmup\":false}\n");
    SecondRecord quiet;
    quiet.warmup = true;
    EXPECT_EQ(TimelineSecondLine(quiet),
              "{\"event\":\"second\",\"t\":0.0,\"step\":1,\"connections\":0,\"bytes\":0,"
              "\"rate_bytes_per_s\":0.0,\"articles\":0,\"states\":{},\"latency\":{},"
              "\"failures\":{},\"missing\":0,\"engine_cpu\":null,\"warmup\":true}\n");
}

TEST(TimelineTest, RunLine) {
    TimelineRun run;
    run.version = "1.0";
    run.server = "news.example";
    run.port = 119;
    run.started = "2026-12-10T05:00:00Z";
    run.connections = 8;
    run.seconds = 20.0;
    run.warmup = 2.0;
    EXPECT_EQ(TimelineRunLine(run),
              "{\"event\":\"run\",\"version\":\"1.0\",\"server\":\"news.example\",\"port\":119,"
              "\"tls\":false,\"proxy\":null,\"started\":\"2026-12-10T05:00:00Z\","
              "\"connections\":8,\"seconds\":20,\"warmup\":2,\"sweep\":null,\"settings\":{}}\n");
    run.proxy = "127.0.0.1:1080";
    run.tls = true;
    run.seconds.reset();
    run.sweep = {1, 2, 4};
    const std::string line = TimelineRunLine(run);
    EXPECT_NE(line.find("\"tls\":true,\"proxy\":\"127.0.0.1:1080\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"seconds\":null,\"warmup\":2,\"sweep\":[1,2,4]"), std::string::npos)
        << line;
}

std::vector<std::string> Cells(const std::string& row) {
    std::vector<std::string> cells;
    std::stringstream stream(row.substr(0, row.size() - 1));
    std::string cell;
    while (std::getline(stream, cell, ','))
        cells.push_back(cell);
    if (!row.empty() && row[row.size() - 2] == ',')
        cells.emplace_back();
    return cells;
}

TEST(TimelineTest, CsvColumnsAreFlatAndEveryRowFillsThemAll) {
    const std::vector<std::string> header = Cells(TimelineCsvHeader());
    const std::vector<std::string> row = Cells(TimelineCsvRow(Second()));
    ASSERT_EQ(header.size(), row.size());
    const auto cell = [&](const std::string& column) {
        for (std::size_t i = 0; i < header.size(); ++i) {
            if (header[i] == column)
                return row[i];
        }
        ADD_FAILURE() << "no column " << column;
        return std::string();
    };
    EXPECT_EQ(cell("t"), "2.000");
    EXPECT_EQ(cell("bytes"), "123456");
    EXPECT_EQ(cell("engine_cpu"), "0.420");
    EXPECT_EQ(cell("warmup"), "false");
    EXPECT_EQ(cell("states_fetching_body"), "5");
    EXPECT_EQ(cell("states_delaying"), "1");
    EXPECT_EQ(cell("states_idle"), "0");
    EXPECT_EQ(cell("latency_head_p99_ms"), "1.200");
    EXPECT_EQ(cell("latency_body_text_count"), "2");
    EXPECT_EQ(cell("latency_body_count"), "0");
    EXPECT_EQ(cell("latency_body_p99_ms"), "");  // no samples: no latency
    EXPECT_EQ(cell("failures_refused"), "1");
    EXPECT_EQ(cell("failures_time_out"), "0");
}

TEST(TimelineTest, WriterPicksTheFormatByTheNameAndFlushesEachLine) {
    TempWorkingDir dir;
    const std::string jsonl = (dir.Path() / "run.jsonl").string();
    const std::string csv = (dir.Path() / "run.csv").string();
    TimelineWriter lines;
    TimelineWriter table;
    std::string error;
    ASSERT_TRUE(lines.Open(jsonl, error)) << error;
    ASSERT_TRUE(table.Open(csv, error)) << error;
    for (TimelineWriter* writer : {&lines, &table}) {
        writer->WriteRun(TimelineRun{});
        writer->WriteSecond(Second());
        writer->WriteEvent("{\"event\":\"summary\"}\n");
    }
    // Read while the writers are still open: a killed run leaves what was written.
    const auto read = [](const std::string& path) {
        std::ifstream in(path);
        std::vector<std::string> all;
        for (std::string line; std::getline(in, line);)
            all.push_back(line);
        return all;
    };
    const std::vector<std::string> written = read(jsonl);
    ASSERT_EQ(written.size(), 3u);
    EXPECT_EQ(written[0].rfind("{\"event\":\"run\"", 0), 0u);
    EXPECT_EQ(written[1] + "\n", TimelineSecondLine(Second()));
    EXPECT_EQ(written[2], "{\"event\":\"summary\"}");
    const std::vector<std::string> rows = read(csv);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0] + "\n", TimelineCsvHeader());
    EXPECT_EQ(rows[1] + "\n", TimelineCsvRow(Second()));
    EXPECT_TRUE(lines.Good());

    TimelineWriter nowhere;
    EXPECT_FALSE(nowhere.Open((dir.Path() / "missing" / "run.jsonl").string(), error));
    EXPECT_NE(error.find("--timeline: cannot write"), std::string::npos) << error;
}

}  // namespace
