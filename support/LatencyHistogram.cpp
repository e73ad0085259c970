#include "support/LatencyHistogram.h"

#include <bit>
#include <cmath>

std::size_t LatencySnapshot::BucketOf(std::uint64_t microseconds) {
    if (microseconds < static_cast<std::uint64_t>(kSubBuckets)) {
        return static_cast<std::size_t>(microseconds);
    }
    int topBit = 63 - std::countl_zero(microseconds);
    if (topBit > kTopBit) {
        return kBucketCount - 1;
    }
    const auto sub = static_cast<std::size_t>((microseconds >> (topBit - kSubBucketBits)) &
                                              (kSubBuckets - 1));
    return static_cast<std::size_t>(topBit - kSubBucketBits + 1) * kSubBuckets + sub;
}

std::uint64_t LatencySnapshot::BucketUpperBound(std::size_t bucket) {
    if (bucket < static_cast<std::size_t>(kSubBuckets)) {
        return bucket;
    }
    if (bucket >= kBucketCount - 1) {
        return UINT64_MAX;
    }
    const int topBit = static_cast<int>(bucket / kSubBuckets) + kSubBucketBits - 1;
    const std::uint64_t sub = bucket % kSubBuckets;
    const std::uint64_t width = std::uint64_t{1} << (topBit - kSubBucketBits);
    return (std::uint64_t{1} << topBit) + (sub + 1) * width - 1;
}

std::uint64_t LatencySnapshot::Percentile(double fraction) const {
    if (count == 0) {
        return 0;
    }
    if (fraction < 0.0) {
        fraction = 0.0;
    }
    if (fraction > 1.0) {
        fraction = 1.0;
    }
    // The rank of the sample asked for, 1-based: p50 of 10 samples is the 5th.
    auto rank = static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(count)));
    if (rank == 0) {
        rank = 1;
    }
    std::uint64_t seen = 0;
    for (std::size_t bucket = 0; bucket < kBucketCount; ++bucket) {
        seen += buckets[bucket];
        if (seen >= rank) {
            const std::uint64_t bound = BucketUpperBound(bucket);
            return bound < max ? bound : max;
        }
    }
    return max;
}

LatencyHistogram::LatencyHistogram() {
    for (auto& bucket : m_buckets) {
        bucket.store(0, std::memory_order_relaxed);
    }
}

void LatencyHistogram::Record(std::uint64_t microseconds) {
    m_buckets[LatencySnapshot::BucketOf(microseconds)].fetch_add(1, std::memory_order_relaxed);
    m_sum.fetch_add(microseconds, std::memory_order_relaxed);
    std::uint64_t seen = m_max.load(std::memory_order_relaxed);
    while (microseconds > seen &&
           !m_max.compare_exchange_weak(seen, microseconds, std::memory_order_relaxed)) {
    }
    seen = m_min.load(std::memory_order_relaxed);
    while (microseconds < seen &&
           !m_min.compare_exchange_weak(seen, microseconds, std::memory_order_relaxed)) {
    }
    // Counted last, with release: a reader that sees the count sees the bucket it added to.
    m_count.fetch_add(1, std::memory_order_release);
}

LatencySnapshot LatencyHistogram::Snapshot() const {
    LatencySnapshot snapshot;
    // The count first: the buckets then hold at least that many samples. The count reported
    // is the buckets' own sum, so percentiles always agree with the buckets.
    m_count.load(std::memory_order_acquire);
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < LatencySnapshot::kBucketCount; ++i) {
        snapshot.buckets[i] = m_buckets[i].load(std::memory_order_relaxed);
        total += snapshot.buckets[i];
    }
    snapshot.count = total;
    snapshot.sum = m_sum.load(std::memory_order_relaxed);
    snapshot.max = m_max.load(std::memory_order_relaxed);
    const std::uint64_t min = m_min.load(std::memory_order_relaxed);
    snapshot.min = min == UINT64_MAX ? 0 : min;
    return snapshot;
}
