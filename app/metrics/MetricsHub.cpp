#include "app/metrics/MetricsHub.h"

#include <utility>

#include "app/metrics/EngineMetrics.h"
#include "platform/Time.h"

MetricsHub::MetricsHub(CommonLabels labels) : labels_(std::move(labels)) {}

void MetricsHub::Attach(std::shared_ptr<const EngineCounters> counters,
                        std::shared_ptr<const EngineMonitor> monitor) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (counters == current_) {
        return;
    }
    if (current_) {
        earlierRuns_.AddCounters(
            ReadEngineMetrics(*current_, monitor_.get(), platform::CurrentFileTime()));
    }
    current_ = std::move(counters);
    monitor_ = current_ ? std::move(monitor) : nullptr;
}

MetricsSnapshot MetricsHub::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Gauges describe the download that runs now; with none, every gauge reads zero.
    MetricsSnapshot snapshot = current_ ? ReadEngineMetrics(*current_, monitor_.get(), platform::CurrentFileTime()) : EmptyEngineMetrics();
    snapshot.AddCounters(earlierRuns_);
    return snapshot;
}

std::string MetricsHub::Exposition() const {
    return FormatExposition(Snapshot(), labels_);
}
