#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <thread>
#include <vector>

#include "support/LatencyHistogram.h"

namespace {

TEST(LatencyHistogram, EmptyHistogramAnswersZero) {
    LatencyHistogram histogram;
    const LatencySnapshot snapshot = histogram.Snapshot();
    EXPECT_EQ(snapshot.Count(), 0u);
    EXPECT_EQ(snapshot.Percentile(0.5), 0u);
    EXPECT_EQ(snapshot.Max(), 0u);
    EXPECT_EQ(snapshot.Min(), 0u);
}

TEST(LatencyHistogram, EveryValueFallsInABucketThatHoldsIt) {
    std::uint64_t previousBound = 0;
    for (std::size_t bucket = 0; bucket + 1 < LatencySnapshot::kBucketCount; ++bucket) {
        const std::uint64_t bound = LatencySnapshot::BucketUpperBound(bucket);
        ASSERT_EQ(LatencySnapshot::BucketOf(bound), bucket) << bucket;
        ASSERT_EQ(LatencySnapshot::BucketOf(bound + 1), bucket + 1) << bucket;
        if (bucket > 0) {
            ASSERT_GT(bound, previousBound);
        }
        previousBound = bound;
    }
    EXPECT_EQ(LatencySnapshot::BucketOf(UINT64_MAX), LatencySnapshot::kBucketCount - 1);
}

TEST(LatencyHistogram, PercentilesAreWithinABucketOfTheExactOnes) {
    LatencyHistogram histogram;
    std::mt19937_64 random(7);
    std::lognormal_distribution<double> spread(7.0, 1.5);  // around a millisecond, long tail
    std::vector<std::uint64_t> values;
    for (int i = 0; i < 20000; ++i) {
        const auto value = static_cast<std::uint64_t>(spread(random));
        values.push_back(value);
        histogram.Record(value);
    }
    std::sort(values.begin(), values.end());
    const LatencySnapshot snapshot = histogram.Snapshot();
    EXPECT_EQ(snapshot.Count(), values.size());
    EXPECT_EQ(snapshot.Max(), values.back());
    EXPECT_EQ(snapshot.Min(), values.front());
    for (double fraction : {0.5, 0.9, 0.99}) {
        const auto exact = static_cast<double>(values[static_cast<std::size_t>(
            std::ceil(fraction * static_cast<double>(values.size()))) - 1]);
        const auto estimate = static_cast<double>(snapshot.Percentile(fraction));
        EXPECT_GE(estimate, exact) << fraction;
        EXPECT_LE(estimate, exact * (1.0 + 1.0 / 16) + 1) << fraction;
    }
}

TEST(LatencyHistogram, SmallCountsPickTheRightSample) {
    LatencyHistogram histogram;
    for (std::uint64_t value : {1, 2, 3, 4, 5, 6, 7, 8, 9, 1000}) {
        histogram.Record(value);
    }
    const LatencySnapshot snapshot = histogram.Snapshot();
    EXPECT_EQ(snapshot.Percentile(0.5), 5u);
    EXPECT_EQ(snapshot.Percentile(0.9), 9u);
    EXPECT_EQ(snapshot.Percentile(0.99), 1000u);  // the bucket's bound is clamped to the max
    EXPECT_EQ(snapshot.Max(), 1000u);
}

TEST(LatencyHistogram, HugeValuesAreCountedNotLost) {
    LatencyHistogram histogram;
    histogram.Record(UINT64_MAX / 2);
    histogram.Record(3);
    const LatencySnapshot snapshot = histogram.Snapshot();
    EXPECT_EQ(snapshot.Count(), 2u);
    EXPECT_EQ(snapshot.Percentile(1.0), UINT64_MAX / 2);
}

TEST(LatencyHistogram, AReaderDuringRecordingSeesConsistentCounts) {
    LatencyHistogram histogram;
    constexpr int kSamples = 200000;
    std::thread writer([&] {
        for (int i = 0; i < kSamples; ++i) {
            histogram.Record(static_cast<std::uint64_t>(i % 5000));
        }
    });
    std::uint64_t lastCount = 0;
    while (lastCount < kSamples) {
        const LatencySnapshot snapshot = histogram.Snapshot();
        ASSERT_GE(snapshot.Count(), lastCount);
        ASSERT_LE(snapshot.Percentile(0.99), 4999u);
        lastCount = snapshot.Count();
    }
    writer.join();
    EXPECT_EQ(histogram.Snapshot().Count(), static_cast<std::uint64_t>(kSamples));
}

}  // namespace
