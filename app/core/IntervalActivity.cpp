#include "app/core/IntervalActivity.h"

#include <algorithm>

#include "app/metrics/SnakeCase.h"

std::string FailureKey(FailureKind kind) {
    return SnakeCase(FailureName(kind));
}

std::string CommandKey(CommandKind kind) {
    return SnakeCase(CommandName(kind));
}

std::string ActivityKey(ConnectionActivity activity) {
    return SnakeCase(ActivityName(activity));
}

LatencySnapshot LatencySince(const LatencySnapshot& now, const LatencySnapshot& before) {
    LatencySnapshot interval;
    std::size_t lowest = LatencySnapshot::kBucketCount;
    std::size_t highest = 0;
    for (std::size_t i = 0; i < LatencySnapshot::kBucketCount; ++i) {
        // A snapshot taken while samples are recorded may lag in one bucket: never below 0.
        interval.buckets[i] = now.buckets[i] >= before.buckets[i] ? now.buckets[i] - before.buckets[i] : 0;
        interval.count += interval.buckets[i];
        if (interval.buckets[i] != 0) {
            lowest = std::min(lowest, i);
            highest = i;
        }
    }
    if (interval.count == 0)
        return interval;
    interval.sum = now.sum >= before.sum ? now.sum - before.sum : 0;
    // The interval's own extremes lie in its highest and lowest buckets: a slow sample before
    // it (a first connect in a warm-up) is not its maximum.
    interval.max = std::min(LatencySnapshot::BucketUpperBound(highest), now.max);
    interval.min = lowest == 0 ? 0 : std::max(LatencySnapshot::BucketUpperBound(lowest - 1) + 1, now.min);
    return interval;
}

LatencyFigures LatencyFiguresOf(const std::string& command, const LatencySnapshot& latency) {
    LatencyFigures figures;
    figures.command = command;
    figures.count = latency.Count();
    figures.p50 = latency.Percentile(0.5);
    figures.p90 = latency.Percentile(0.9);
    figures.p99 = latency.Percentile(0.99);
    figures.p999 = latency.Percentile(0.999);
    figures.max = latency.Max();
    return figures;
}

void IntervalActivityMeter::Start(const RunMonitor& run, double cpuSeconds) {
    for (std::size_t i = 0; i < kFailureKinds; ++i)
        m_failures[i] = run.Failures(static_cast<FailureKind>(i));
    m_missing = run.MissingArticles();
    for (std::size_t i = 0; i < kCommands; ++i)
        m_latencies[i] = run.Latency(static_cast<CommandKind>(i));
    m_cpuSeconds = cpuSeconds;
}

IntervalActivity IntervalActivityMeter::Measure(const RunMonitor& run, double cpuSeconds,
                                                double seconds) {
    IntervalActivity activity;
    for (std::size_t i = 0; i < kFailureKinds; ++i) {
        const auto kind = static_cast<FailureKind>(i);
        const std::uint64_t now = run.Failures(kind);
        if (now > m_failures[i])
            activity.failures.emplace_back(FailureKey(kind), now - m_failures[i]);
    }
    const std::uint64_t missing = run.MissingArticles();
    activity.missing = missing >= m_missing ? missing - m_missing : 0;
    for (std::size_t i = 0; i < kCommands; ++i) {
        const auto kind = static_cast<CommandKind>(i);
        const LatencySnapshot now = run.Latency(kind);
        const LatencySnapshot interval = LatencySince(now, m_latencies[i]);
        if (interval.Count() > 0)
            activity.latencies.push_back(LatencyFiguresOf(CommandKey(kind), interval));
    }
    if (cpuSeconds >= 0 && m_cpuSeconds >= 0 && seconds > 0)
        activity.engineCpu = (cpuSeconds - m_cpuSeconds) / seconds;
    Start(run, cpuSeconds);
    return activity;
}
