#pragma once
// What a scrape reads: the counters of the download that runs now, plus those of the
// downloads before it in this process (the dialog can start several), so that every counter
// only ever grows. Attached on the front end's thread, read on the endpoint's threads.
#include <memory>
#include <mutex>
#include <string>

#include "app/metrics/Exposition.h"
#include "app/metrics/MetricsSnapshot.h"

class EngineCounters;
class EngineMonitor;

class MetricsHub {
public:
    explicit MetricsHub(CommonLabels labels);

    // A download started (its counters are read from now on), or, with nullptr, the download
    // stopped. The counters of the one before are kept in the totals. `monitor` may be null.
    void Attach(std::shared_ptr<const EngineCounters> counters,
                std::shared_ptr<const EngineMonitor> monitor);

    MetricsSnapshot Snapshot() const;
    // The snapshot in the exposition format, with the common labels.
    std::string Exposition() const;

private:
    const CommonLabels labels_;
    mutable std::mutex mutex_;
    std::shared_ptr<const EngineCounters> current_;
    std::shared_ptr<const EngineMonitor> monitor_;
    MetricsSnapshot earlierRuns_;
};
