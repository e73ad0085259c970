#pragma once
// Latency of one kind of command: a fixed array of log-spaced buckets of microseconds, filled
// by one thread and read by any other without a lock. Recording a sample is a handful of
// relaxed atomic operations and never allocates; a reader takes a Snapshot and asks it for
// percentiles.
//
// Buckets: values below 16 us are exact; above, each power of two is split into 16 equal
// parts, so a percentile is within 1/16 (6.25 %) of the true value. Values beyond about
// 2^40 us (12 days) land in the last bucket. The maximum is kept exactly.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

// A copy of a histogram's counts that a reader owns; safe to keep and query at leisure.
class LatencySnapshot {
public:
    static constexpr int kSubBucketBits = 4;
    static constexpr int kSubBuckets = 1 << kSubBucketBits;  // 16
    static constexpr int kTopBit = 40;                        // highest power of two kept apart
    static constexpr std::size_t kBucketCount =
        static_cast<std::size_t>((kTopBit - kSubBucketBits + 2) * kSubBuckets);

    // The bucket a value falls in, and the largest value that falls in a bucket.
    static std::size_t BucketOf(std::uint64_t microseconds);
    static std::uint64_t BucketUpperBound(std::size_t bucket);

    std::uint64_t Count() const { return count; }
    // The value below which the given fraction (0.5, 0.9, 0.99) of the samples lie, as the
    // upper bound of the bucket that holds that sample, never above the exact maximum.
    // 0 when there are no samples.
    std::uint64_t Percentile(double fraction) const;
    std::uint64_t Max() const { return max; }
    std::uint64_t Min() const { return count == 0 ? 0 : min; }
    // Mean of the samples in microseconds (0 when there are none).
    double Mean() const { return count == 0 ? 0.0 : static_cast<double>(sum) / count; }

    std::array<std::uint64_t, kBucketCount> buckets{};
    std::uint64_t count = 0;
    std::uint64_t sum = 0;
    std::uint64_t min = 0;
    std::uint64_t max = 0;
};

class LatencyHistogram {
public:
    LatencyHistogram();
    LatencyHistogram(const LatencyHistogram&) = delete;
    LatencyHistogram& operator=(const LatencyHistogram&) = delete;

    void Record(std::uint64_t microseconds);
    // Counts as of now. Taken while samples are being recorded, the copy may miss the last
    // few of them, but every figure in it comes from recorded samples.
    LatencySnapshot Snapshot() const;

private:
    std::array<std::atomic<std::uint64_t>, LatencySnapshot::kBucketCount> m_buckets;
    std::atomic<std::uint64_t> m_count{0};
    std::atomic<std::uint64_t> m_sum{0};
    std::atomic<std::uint64_t> m_min{UINT64_MAX};
    std::atomic<std::uint64_t> m_max{0};
};
