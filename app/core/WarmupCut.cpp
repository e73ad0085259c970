#include "app/core/WarmupCut.h"

void WarmupCut::Begin(const RunMonitor& run, double cpuSeconds, double elapsed,
                      std::uint64_t bytes, std::uint64_t articles) {
    m_over = true;
    m_fromSeconds = elapsed;
    m_fromBytes = bytes;
    m_fromArticles = articles;
    m_activity.Start(run, cpuSeconds);
}

void WarmupCut::Start(const RunMonitor& run, double cpuSeconds) {
    m_over = false;
    if (m_warmup <= 0.0)
        Begin(run, cpuSeconds, 0.0, 0, 0);
}

bool WarmupCut::Observe(int second, const RunMonitor& run, double cpuSeconds, double elapsed,
                        std::uint64_t bytes, std::uint64_t articles) {
    if (m_over)
        return false;
    if (static_cast<double>(second) >= m_warmup)
        Begin(run, cpuSeconds, elapsed, bytes, articles);
    return true;
}

MeasuredPart WarmupCut::Measured(const RunMonitor& run, double cpuSeconds, double elapsed,
                                 std::uint64_t bytes, std::uint64_t articles) {
    MeasuredPart part;
    if (!m_over)
        return part;
    part.seconds = elapsed > m_fromSeconds ? elapsed - m_fromSeconds : 0.0;
    part.bytes = bytes >= m_fromBytes ? bytes - m_fromBytes : 0;
    part.articles = articles >= m_fromArticles ? articles - m_fromArticles : 0;
    part.activity = m_activity.Measure(run, cpuSeconds, part.seconds);
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
