#include "app/metrics/MetricsHub.h"

#include <utility>

#include "app/metrics/EngineMetrics.h"
#include "platform/Time.h"

MetricsHub::MetricsHub(CommonLabels labels) : m_labels(std::move(labels)) {}

void MetricsHub::SetVersion(std::string version) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_version = std::move(version);
}

MetricsSnapshot MetricsHub::ReadCurrent() const {
    MetricsSnapshot snapshot =
        ReadEngineMetrics(*m_current, m_monitor.get(), platform::CurrentFileTime());
    const double cpu = m_cpu ? m_cpu() : -1.0;
    snapshot.engineCpuSeconds = cpu > 0 ? cpu : 0.0;
    return snapshot;
}

void MetricsHub::Attach(std::shared_ptr<const EngineCounters> counters,
                        std::shared_ptr<const EngineMonitor> monitor, EngineCpuSource cpu,
                        std::uint64_t targetConnections) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (counters == m_current) {
        return;
    }
    if (m_current) {
        m_earlierRuns.AddCounters(ReadCurrent());
    }
    m_current = std::move(counters);
    m_monitor = m_current ? std::move(monitor) : nullptr;
    m_cpu = m_current ? std::move(cpu) : EngineCpuSource();
    m_targetConnections = m_current ? targetConnections : 0;
}

MetricsSnapshot MetricsHub::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    // Gauges describe the download that runs now; with none, every gauge reads zero.
    MetricsSnapshot snapshot = m_current ? ReadCurrent() : EmptyEngineMetrics();
    snapshot.AddCounters(m_earlierRuns);
    snapshot.version = m_version;
    snapshot.up = m_current != nullptr;
    snapshot.targetConnections = m_targetConnections;
    return snapshot;
}

std::string MetricsHub::Exposition() const {
    return FormatExposition(Snapshot(), m_labels);
}
