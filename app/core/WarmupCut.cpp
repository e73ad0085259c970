#include "app/core/WarmupCut.h"

void WarmupCut::Begin(const RunMonitor& run, double cpuSeconds, double elapsed,
                      std::uint64_t bytes, std::uint64_t articles) {
    over_ = true;
    fromSeconds_ = elapsed;
    fromBytes_ = bytes;
    fromArticles_ = articles;
    activity_.Start(run, cpuSeconds);
}

void WarmupCut::Start(const RunMonitor& run, double cpuSeconds) {
    over_ = false;
    if (warmup_ <= 0.0)
        Begin(run, cpuSeconds, 0.0, 0, 0);
}

bool WarmupCut::Observe(int second, const RunMonitor& run, double cpuSeconds, double elapsed,
                        std::uint64_t bytes, std::uint64_t articles) {
    if (over_)
        return false;
    if (static_cast<double>(second) >= warmup_)
        Begin(run, cpuSeconds, elapsed, bytes, articles);
    return true;
}

MeasuredPart WarmupCut::Measured(const RunMonitor& run, double cpuSeconds, double elapsed,
                                 std::uint64_t bytes, std::uint64_t articles) {
    MeasuredPart part;
    if (!over_)
        return part;
    part.seconds = elapsed > fromSeconds_ ? elapsed - fromSeconds_ : 0.0;
    part.bytes = bytes >= fromBytes_ ? bytes - fromBytes_ : 0;
    part.articles = articles >= fromArticles_ ? articles - fromArticles_ : 0;
    part.activity = activity_.Measure(run, cpuSeconds, part.seconds);
    return part;
}

void ApplyMeasuredPart(const MeasuredPart& part, RunSummary& summary) {
    summary.bytesReceived = part.bytes;
    summary.articlesCompleted = part.articles;
    summary.articlesPerSecond =
        part.seconds > 0.0 ? static_cast<double>(part.articles) / part.seconds : 0.0;
    summary.missingArticles = part.activity.missing;
    for (FailureFigures& failure : summary.failures) {
        failure.count = 0;
        for (const auto& [key, count] : part.activity.failures) {
            if (key == failure.key)
                failure.count = count;
        }
    }
    summary.latencies = part.activity.latencies;
    summary.engineCpu = part.activity.engineCpu;
}
