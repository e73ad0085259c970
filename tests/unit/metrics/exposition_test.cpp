// The exposition text: every line valid for a strict reader, labels escaped, histogram
// buckets cumulative and exact against the engine's own buckets.
#include "app/metrics/Exposition.h"

#include <gtest/gtest.h>

#include <cmath>

#include "app/metrics/EngineMetrics.h"
#include "support/LatencyHistogram.h"
#include "unit/metrics/ExpositionReader.h"

namespace {

using metrics_test::ReadExposition;

const CommonLabels kLabels = {{"instance", "pod-1"}, {"server", "news:119"}};

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line + "\n";
    }
    return text;
}

MetricsSnapshot RichSnapshot(const std::vector<std::uint64_t>& bodyMicroseconds) {
    MetricsSnapshot snapshot = EmptyEngineMetrics();
    snapshot.receivedBytes = 123456789012ULL;
    snapshot.articlesCompleted = 42;
    snapshot.rateKiBPerSecond = 1234.5;
    snapshot.version = "9.8";
    snapshot.missingArticles = 17;
    snapshot.up = true;
    snapshot.targetConnections = 64;
    snapshot.engineCpuSeconds = 12.25;
    snapshot.connectionsByState[0].second = 7;
    snapshot.failuresByKind[2].second = 3;
    LatencyHistogram engine;
    for (std::uint64_t us : bodyMicroseconds) {
        engine.Record(us);
    }
    for (auto& [command, histogram] : snapshot.commandDurations) {
        if (command == "body") {
            histogram = ToDurationHistogram(engine.Snapshot());
        }
    }
    return snapshot;
}

TEST(ExpositionTest, EveryLineOfAFullSnapshotIsValidAndEveryFamilyIsTyped) {
    const auto parsed =
        ReadExposition(FormatExposition(RichSnapshot({5, 80, 900, 12000, 250000}), kLabels));
    EXPECT_TRUE(parsed.errors.empty()) << Join(parsed.errors);
    EXPECT_EQ(parsed.types.at("zodiva_received_bytes_total"), "counter");
    EXPECT_EQ(parsed.types.at("zodiva_articles_completed_total"), "counter");
    EXPECT_EQ(parsed.types.at("zodiva_failures_total"), "counter");
    EXPECT_EQ(parsed.types.at("zodiva_connections"), "gauge");
    EXPECT_EQ(parsed.types.at("zodiva_rate_kib_per_second"), "gauge");
    EXPECT_EQ(parsed.types.at("zodiva_command_duration_seconds"), "histogram");
    for (const auto& sample : parsed.samples) {
        EXPECT_EQ(sample.labels.at("instance"), "pod-1") << sample.name;
        EXPECT_EQ(sample.labels.at("server"), "news:119") << sample.name;
    }
    // Large counters are written exactly, not rounded through a double.
    const auto* bytes = parsed.Find("zodiva_received_bytes_total");
    ASSERT_NE(bytes, nullptr);
    EXPECT_EQ(bytes->value, 123456789012.0);
    EXPECT_EQ(parsed.Find("zodiva_failures_total", {{"kind", "time_out"}})->value, 3);
    EXPECT_EQ(parsed.Find("zodiva_connections", {{"state", "not_connected"}})->value, 7);
    EXPECT_EQ(parsed.Find("zodiva_rate_kib_per_second")->value, 1234.5);
    // What a dashboard joins and alerts on: the build, whether a download runs, how many
    // connections it asked for, and the engine thread's CPU as a counter to take a rate of.
    EXPECT_EQ(parsed.types.at("zodiva_build_info"), "gauge");
    EXPECT_EQ(parsed.Find("zodiva_build_info", {{"version", "9.8"}})->value, 1);
    EXPECT_EQ(parsed.Find("zodiva_up")->value, 1);
    EXPECT_EQ(parsed.types.at("zodiva_missing_articles_total"), "counter");
    EXPECT_EQ(parsed.Find("zodiva_missing_articles_total")->value, 17);
    EXPECT_EQ(parsed.Find("zodiva_target_connections")->value, 64);
    EXPECT_EQ(parsed.types.at("zodiva_engine_cpu_seconds_total"), "counter");
    EXPECT_EQ(parsed.Find("zodiva_engine_cpu_seconds_total")->value, 12.25);
}

TEST(ExpositionTest, EveryCommandHasCumulativeBucketsEndingInInfThatEqualTheCount) {
    const auto parsed =
        ReadExposition(FormatExposition(RichSnapshot({5, 80, 900, 12000, 250000, 900000000}),
                                        kLabels));
    ASSERT_TRUE(parsed.errors.empty()) << Join(parsed.errors);
    for (const char* command : {"greeting", "authinfo", "group", "head", "body", "body_text",
                                "head_text", "article"}) {
        double previousLe = -1;
        double previousCount = 0;
        double inf = -1;
        int buckets = 0;
        for (const auto& sample : parsed.samples) {
            if (sample.name != "zodiva_command_duration_seconds_bucket" ||
                sample.labels.at("command") != command) {
                continue;
            }
            ++buckets;
            const std::string& le = sample.labels.at("le");
            EXPECT_GE(sample.value, previousCount) << command << " le=" << le;
            previousCount = sample.value;
            if (le == "+Inf") {
                inf = sample.value;
                continue;
            }
            EXPECT_LT(inf, 0) << "a bucket after +Inf for " << command;
            const double bound = std::stod(le);
            EXPECT_GT(bound, previousLe) << command;
            previousLe = bound;
        }
        const auto* count = parsed.Find("zodiva_command_duration_seconds_count", {{"command", command}});
        ASSERT_NE(count, nullptr) << command;
        EXPECT_EQ(inf, count->value) << command;
        EXPECT_LE(buckets, 16) << command;
        ASSERT_NE(parsed.Find("zodiva_command_duration_seconds_sum", {{"command", command}}), nullptr);
    }
    EXPECT_EQ(parsed.Find("zodiva_command_duration_seconds_count", {{"command", "body"}})->value, 6);
    // 900 s lies above the highest bound: counted in +Inf only.
    EXPECT_NEAR(parsed.Find("zodiva_command_duration_seconds_sum", {{"command", "body"}})->value,
                900.262985, 1e-6);
}

// Each bucket of the exposition must hold exactly the samples below its bound: the bounds
// are the engine's own, so merging may not move a sample across one.
TEST(ExpositionTest, MergedBucketsCountExactlyTheSamplesBelowEachBound) {
    std::vector<std::uint64_t> samples;
    for (std::uint64_t us = 1; us < 300000000; us = us * 5 / 4 + 1) {
        samples.push_back(us);
    }
    LatencyHistogram engine;
    for (auto us : samples) {
        engine.Record(us);
    }
    const DurationHistogram merged = ToDurationHistogram(engine.Snapshot());
    ASSERT_EQ(merged.counts.size(), merged.upperBoundsSeconds.size() + 1);
    // 16 bucket series per command with +Inf: a scrape stays small at any number of commands.
    ASSERT_EQ(merged.upperBoundsSeconds.size(), 15u);
    EXPECT_NEAR(merged.upperBoundsSeconds.front(), 64e-6, 1e-12);
    EXPECT_NEAR(merged.upperBoundsSeconds.back(), 16.777216, 1e-9);
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < merged.upperBoundsSeconds.size(); ++i) {
        cumulative += merged.counts[i];
        const double boundUs = merged.upperBoundsSeconds[i] * 1e6;
        std::uint64_t truth = 0;
        for (auto us : samples) {
            truth += static_cast<double>(us) < boundUs - 1e-6 ? 1 : 0;
        }
        EXPECT_EQ(cumulative, truth) << "le=" << merged.upperBoundsSeconds[i];
    }
    EXPECT_EQ(merged.Count(), samples.size());
}

TEST(ExpositionTest, LabelValuesAreEscapedAndReadBackUnchanged) {
    const std::string awkward = "a\"b\\c\nd";
    const auto parsed = ReadExposition(
        FormatExposition(EmptyEngineMetrics(), {{"instance", awkward}, {"server", "x"}}));
    ASSERT_TRUE(parsed.errors.empty()) << Join(parsed.errors);
    EXPECT_EQ(parsed.Find("zodiva_received_bytes_total")->labels.at("instance"), awkward);
}

TEST(ExpositionTest, SampleValuesReadBackAndSpecialValuesUseTheFormatsWords) {
    EXPECT_EQ(FormatSampleValue(0.0), "0");
    EXPECT_EQ(FormatSampleValue(0.000128), "0.000128");
    EXPECT_EQ(FormatSampleValue(1234.5), "1234.5");
    EXPECT_EQ(std::stod(FormatSampleValue(0.1 + 0.2)), 0.1 + 0.2);
    EXPECT_EQ(FormatSampleValue(INFINITY), "+Inf");
    EXPECT_EQ(FormatSampleValue(-INFINITY), "-Inf");
    EXPECT_EQ(FormatSampleValue(NAN), "NaN");
}

TEST(ExpositionTest, TheReaderRejectsWhatAScraperWould) {
    const std::string head = "# HELP m x\n# TYPE m counter\n";
    for (const std::string bad : {"m{a=\"1\" 2\n", "m{a=1} 2\n", "m 1 2 3\n", "m{a=\"\\x\"} 1\n",
                                  "0m 1\n", "n 1\n", "m{a=\"1\",a=\"2\"} 1\n", "m 1"}) {
        EXPECT_FALSE(ReadExposition(head + bad).errors.empty()) << bad;
    }
    EXPECT_TRUE(ReadExposition(head + "m{a=\"1\"} 2\nm 3\n").errors.empty());
}

}  // namespace
