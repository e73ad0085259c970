#include "app/metrics/EngineMetrics.h"

MetricsSnapshot EmptyEngineMetrics() {
    return MetricsSnapshot{};
}

MetricsSnapshot ReadEngineMetrics(const EngineCounters& counters) {
    const EngineTotals totals = counters.Read();
    MetricsSnapshot snapshot = EmptyEngineMetrics();
    snapshot.receivedBytes = totals.bytesReceived;
    snapshot.articlesCompleted = totals.articlesCompleted;
    snapshot.rateKiBPerSecond = totals.rate;
    return snapshot;
}
