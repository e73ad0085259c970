#pragma once
// The figures one scrape shows, in the metrics' own vocabulary (label values as they appear in
// the exposition). Filled from the engine's published counters; counters are totals since the
// process started, gauges are the present state.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// A latency histogram as the engine keeps it: counts per bucket, not cumulative.
struct DurationHistogram {
    std::vector<double> upperBoundsSeconds;  // finite bucket bounds, ascending
    std::vector<std::uint64_t> counts;       // one per bound, then one for above the last bound
    double sumSeconds = 0.0;

    std::uint64_t Count() const;
    // Adds `other` bucket by bucket; false (and nothing added) when the buckets differ.
    bool Add(const DurationHistogram& other);
};

template <typename Value>
using Labelled = std::vector<std::pair<std::string, Value>>;

struct MetricsSnapshot {
    std::string version;                          // zodiva's, for the build-info series
    bool up = false;                              // a download runs
    std::uint64_t targetConnections = 0;          // connections the running download asked for
    double engineCpuSeconds = 0.0;                // CPU time of the engine threads
    std::uint64_t receivedBytes = 0;
    std::uint64_t articlesCompleted = 0;
    std::uint64_t missingArticles = 0;            // 423/430 to HEAD or BODY
    double rateKiBPerSecond = 0.0;                // the engine's figure of its last tick
    Labelled<std::uint64_t> connectionsByState;   // gauge per state
    Labelled<std::uint64_t> failuresByKind;       // counter per kind
    Labelled<DurationHistogram> commandDurations;  // per command

    // Adds the counters of `other` (an earlier run) to this one's; gauges stay as they are.
    void AddCounters(const MetricsSnapshot& other);
};
