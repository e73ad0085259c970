#pragma once
// What a scrape reads: the counters of the download that runs now, plus those of the
// downloads before it in this process (the dialog can start several), so that every counter
// only ever grows. Attached on the front end's thread, read on the endpoint's threads.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "app/metrics/Exposition.h"
#include "app/metrics/MetricsSnapshot.h"

class EngineCounters;
class EngineMonitor;

// The CPU seconds the engine thread of a download has used so far; negative when unknown.
// Called on the endpoint's threads.
using EngineCpuSource = std::function<double()>;

class MetricsHub {
public:
    explicit MetricsHub(CommonLabels labels);
    // The version the build-info series names (set before the first scrape).
    void SetVersion(std::string version);

    // A download started (its counters are read from now on), or, with nullptr, the download
    // stopped. The counters of the one before are kept in the totals. `monitor` and `cpu`
    // may be empty; `targetConnections` is the number of connections it was asked to make.
    void Attach(std::shared_ptr<const EngineCounters> counters,
                std::shared_ptr<const EngineMonitor> monitor, EngineCpuSource cpu = {},
                std::uint64_t targetConnections = 0);

    MetricsSnapshot Snapshot() const;
    // The snapshot in the exposition format, with the common labels.
    std::string Exposition() const;

private:
    // The running download's figures; the caller holds the lock.
    MetricsSnapshot ReadCurrent() const;

    const CommonLabels m_labels;
    std::string m_version;
    mutable std::mutex m_mutex;
    std::shared_ptr<const EngineCounters> m_current;
    std::shared_ptr<const EngineMonitor> m_monitor;
    EngineCpuSource m_cpu;
    std::uint64_t m_targetConnections = 0;
    MetricsSnapshot m_earlierRuns;
};
