#include "app/metrics/EngineMetrics.h"

#include <bit>

#include "app/metrics/SnakeCase.h"
#include "engine/EngineCounters.h"
#include "engine/EngineMonitor.h"
#include "support/LatencyHistogram.h"

namespace {

// The engine keeps 16 buckets per power of two of microseconds; the exposition keeps 15 of
// their bounds, so a command has 16 bucket series with +Inf: doubling from 64 us to 65 ms,
// where loopback and nearby servers answer, then quadrupling to 16.8 s for slow servers,
// proxies and stalls. Every bound is a power of two, hence a bound of the engine's buckets.
constexpr int kFinestBoundBit = 6;    // 64 us
constexpr int kLastDoublingBit = 16;  // 65.5 ms
constexpr int kCoarsestBoundBit = 24;  // 16.8 s

// The engine truncates samples to whole microseconds: a bucket whose largest value is U holds
// real latencies below U + 1.
double BoundSeconds(std::size_t bucket) {
    return static_cast<double>(LatencySnapshot::BucketUpperBound(bucket) + 1) / 1e6;
}

bool KeptBound(std::size_t bucket) {
    if (bucket + 1 >= LatencySnapshot::kBucketCount)
        return false;
    const std::uint64_t exclusive = LatencySnapshot::BucketUpperBound(bucket) + 1;
    if (!std::has_single_bit(exclusive))
        return false;
    const int bit = std::countr_zero(exclusive);
    if (bit < kFinestBoundBit || bit > kCoarsestBoundBit)
        return false;
    return bit <= kLastDoublingBit || (bit - kLastDoublingBit) % 2 == 0;
}

template <typename Enum, typename NameFn>
Labelled<std::uint64_t> ZeroPerName(NameFn name) {
    Labelled<std::uint64_t> entries;
    for (std::size_t i = 0; i < static_cast<std::size_t>(Enum::kCount); ++i) {
        entries.emplace_back(SnakeCase(name(static_cast<Enum>(i))), 0);
    }
    return entries;
}

}  // namespace

DurationHistogram ToDurationHistogram(const LatencySnapshot& latency) {
    DurationHistogram histogram;
    std::uint64_t pending = 0;
    for (std::size_t bucket = 0; bucket < LatencySnapshot::kBucketCount; ++bucket) {
        pending += latency.buckets[bucket];
        if (KeptBound(bucket)) {
            histogram.upperBoundsSeconds.push_back(BoundSeconds(bucket));
            histogram.counts.push_back(pending);
            pending = 0;
        }
    }
    histogram.counts.push_back(pending);  // above the highest bound
    histogram.sumSeconds = static_cast<double>(latency.sum) / 1e6;
    return histogram;
}

MetricsSnapshot EmptyEngineMetrics() {
    MetricsSnapshot snapshot;
    snapshot.connectionsByState = ZeroPerName<ConnectionActivity>(ActivityName);
    snapshot.failuresByKind = ZeroPerName<FailureKind>(FailureName);
    const DurationHistogram empty = ToDurationHistogram(LatencySnapshot{});
    for (std::size_t i = 0; i < static_cast<std::size_t>(CommandKind::kCount); ++i) {
        snapshot.commandDurations.emplace_back(SnakeCase(CommandName(static_cast<CommandKind>(i))),
                                               empty);
    }
    return snapshot;
}

MetricsSnapshot ReadEngineMetrics(const EngineCounters& counters, const EngineMonitor* monitor,
                                  std::int64_t nowFileTime) {
    const EngineTotals totals = counters.Read();
    MetricsSnapshot snapshot = EmptyEngineMetrics();
    snapshot.receivedBytes = totals.bytesReceived;
    snapshot.articlesCompleted = totals.articlesCompleted;
    snapshot.rateKiBPerSecond = totals.rate;
    if (monitor == nullptr) {
        return snapshot;
    }
    const ActivityCounts activities = monitor->CountActivities(nowFileTime);
    for (std::size_t i = 0; i < snapshot.connectionsByState.size(); ++i) {
        snapshot.connectionsByState[i].second = activities.count[i];
    }
    const RunMonitor& run = monitor->Run();
    snapshot.missingArticles = run.MissingArticles();
    for (std::size_t i = 0; i < snapshot.failuresByKind.size(); ++i) {
        snapshot.failuresByKind[i].second = run.Failures(static_cast<FailureKind>(i));
    }
    for (std::size_t i = 0; i < snapshot.commandDurations.size(); ++i) {
        snapshot.commandDurations[i].second =
            ToDurationHistogram(run.Latency(static_cast<CommandKind>(i)));
    }
    return snapshot;
}
