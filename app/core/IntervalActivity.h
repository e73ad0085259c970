#pragma once
// What happened in the engine between two lines of a run: the failures and missing articles
// of that second, the latency of each command over that second alone, and the share of a
// core the engine thread used. The engine keeps totals; this keeps the totals of the line
// before and gives the differences.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/core/RunSummary.h"
#pragma push_macro("slots")
#undef slots
#include "engine/EngineMonitor.h"
#pragma pop_macro("slots")

struct IntervalActivity {
    std::vector<std::pair<std::string, std::uint64_t>> failures;  // kinds that failed, by key
    std::uint64_t missing = 0;
    std::vector<LatencyFigures> latencies;  // commands answered in the interval
    double engineCpu = -1.0;                // fraction of one core; -1: unknown
};

class IntervalActivityMeter {
public:
    // Takes the engine's totals as the start of the first interval. `cpuSeconds` is the
    // engine thread's CPU time so far (negative: unknown).
    void Start(const RunMonitor& run, double cpuSeconds);
    // The activity since the last Start or Measure, over `seconds` of wall time.
    IntervalActivity Measure(const RunMonitor& run, double cpuSeconds, double seconds);

private:
    static constexpr std::size_t kFailureKinds = static_cast<std::size_t>(FailureKind::kCount);
    static constexpr std::size_t kCommands = static_cast<std::size_t>(CommandKind::kCount);

    std::array<std::uint64_t, kFailureKinds> m_failures{};
    std::uint64_t m_missing = 0;
    std::array<LatencySnapshot, kCommands> m_latencies{};
    double m_cpuSeconds = -1.0;
};

// The samples of `now` that `before` (an earlier snapshot of the same histogram) does not
// hold. Its maximum is the top of the highest bucket it holds (never above that of `now`),
// an upper bound for the interval's own within a bucket's width.
LatencySnapshot LatencySince(const LatencySnapshot& now, const LatencySnapshot& before);

// Percentiles of one snapshot, in microseconds.
LatencyFigures LatencyFiguresOf(const std::string& command, const LatencySnapshot& latency);

// Keys of the engine's names, one spelling for JSON and the metrics.
std::string FailureKey(FailureKind kind);
std::string CommandKey(CommandKind kind);
std::string ActivityKey(ConnectionActivity activity);
