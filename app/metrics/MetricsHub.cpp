#include "app/metrics/MetricsHub.h"

#include <utility>

#include "app/metrics/EngineMetrics.h"
#include "platform/Time.h"

MetricsHub::MetricsHub(CommonLabels labels) : labels_(std::move(labels)) {}

void MetricsHub::SetVersion(std::string version) {
    std::lock_guard<std::mutex> lock(mutex_);
    version_ = std::move(version);
}

MetricsSnapshot MetricsHub::ReadCurrent() const {
    MetricsSnapshot snapshot =
        ReadEngineMetrics(*current_, monitor_.get(), platform::CurrentFileTime());
    const double cpu = cpu_ ? cpu_() : -1.0;
    snapshot.engineCpuSeconds = cpu > 0 ? cpu : 0.0;
    return snapshot;
}

void MetricsHub::Attach(std::shared_ptr<const EngineCounters> counters,
                        std::shared_ptr<const EngineMonitor> monitor, EngineCpuSource cpu,
                        std::uint64_t targetConnections) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (counters == current_) {
        return;
    }
    if (current_) {
        earlierRuns_.AddCounters(ReadCurrent());
    }
    current_ = std::move(counters);
    monitor_ = current_ ? std::move(monitor) : nullptr;
    cpu_ = current_ ? std::move(cpu) : EngineCpuSource();
    targetConnections_ = current_ ? targetConnections : 0;
}

MetricsSnapshot MetricsHub::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    // Gauges describe the download that runs now; with none, every gauge reads zero.
    MetricsSnapshot snapshot = current_ ? ReadCurrent() : EmptyEngineMetrics();
    snapshot.AddCounters(earlierRuns_);
    snapshot.version = version_;
    snapshot.up = current_ != nullptr;
    snapshot.targetConnections = targetConnections_;
    return snapshot;
}

std::string MetricsHub::Exposition() const {
    return FormatExposition(Snapshot(), labels_);
}
