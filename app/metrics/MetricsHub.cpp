#include "app/metrics/MetricsHub.h"

#include <utility>

#include "app/metrics/EngineMetrics.h"

MetricsHub::MetricsHub(CommonLabels labels) : labels_(std::move(labels)) {}

void MetricsHub::Attach(std::shared_ptr<const EngineCounters> counters) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (counters == current_) {
        return;
    }
    if (current_) {
        earlierRuns_.AddCounters(ReadEngineMetrics(*current_));
    }
    current_ = std::move(counters);
}

MetricsSnapshot MetricsHub::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Gauges describe the download that runs now; with none, every gauge reads zero.
    MetricsSnapshot snapshot = current_ ? ReadEngineMetrics(*current_) : EmptyEngineMetrics();
    snapshot.AddCounters(earlierRuns_);
    return snapshot;
}

std::string MetricsHub::Exposition() const {
    return FormatExposition(Snapshot(), labels_);
}
