#include "app/metrics/EngineMetrics.h"

#include <cctype>

#include "engine/EngineCounters.h"
#include "engine/EngineMonitor.h"
#include "support/LatencyHistogram.h"

namespace {

// The engine keeps 16 buckets per power of two of microseconds; the exposition keeps every
// fourth bound (4 per power of two, at most 19 % apart) from 64 us to about 134 s.
constexpr std::size_t kBoundStep = 4;
constexpr std::uint64_t kLowestBoundMicroseconds = 64;
constexpr std::uint64_t kHighestBoundMicroseconds = std::uint64_t{1} << 27;

// The engine truncates samples to whole microseconds: a bucket whose largest value is U holds
// real latencies below U + 1.
double BoundSeconds(std::size_t bucket) {
    return static_cast<double>(LatencySnapshot::BucketUpperBound(bucket) + 1) / 1e6;
}

bool KeptBound(std::size_t bucket) {
    const std::uint64_t exclusive = LatencySnapshot::BucketUpperBound(bucket) + 1;
    return bucket + 1 < LatencySnapshot::kBucketCount && (bucket + 1) % kBoundStep == 0 &&
           exclusive >= kLowestBoundMicroseconds && exclusive <= kHighestBoundMicroseconds;
}

template <typename Enum, typename NameFn>
Labelled<std::uint64_t> ZeroPerName(NameFn name) {
    Labelled<std::uint64_t> entries;
    for (std::size_t i = 0; i < static_cast<std::size_t>(Enum::kCount); ++i) {
        entries.emplace_back(LabelValue(name(static_cast<Enum>(i))), 0);
    }
    return entries;
}

}  // namespace

std::string LabelValue(const char* name) {
    std::string value;
    for (const char* c = name; *c; ++c) {
        value += std::isalnum(static_cast<unsigned char>(*c)) ? *c : '_';
    }
    return value;
}

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
        snapshot.commandDurations.emplace_back(LabelValue(CommandName(static_cast<CommandKind>(i))),
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
    for (std::size_t i = 0; i < snapshot.failuresByKind.size(); ++i) {
        snapshot.failuresByKind[i].second = run.Failures(static_cast<FailureKind>(i));
    }
    for (std::size_t i = 0; i < snapshot.commandDurations.size(); ++i) {
        snapshot.commandDurations[i].second =
            ToDurationHistogram(run.Latency(static_cast<CommandKind>(i)));
    }
    return snapshot;
}
