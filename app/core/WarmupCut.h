#pragma once
// --warmup S: the first S seconds of a run (of every step of a sweep) are shown but left out
// of its summary, its checks and the knee, so that connecting and the first fill of the
// server's caches do not weigh on the figures. The seconds are those of the lines printed
// once a second from Go: the warm-up ends with the first line at or after S.
#include <cstdint>

#include "app/core/IntervalActivity.h"

// The counted part of a run: from the end of its warm-up to its stop.
struct MeasuredPart {
    double seconds = 0.0;
    std::uint64_t bytes = 0;
    std::uint64_t articles = 0;
    IntervalActivity activity;  // its failures, missing articles, latencies and engine CPU
};

class WarmupCut {
public:
    explicit WarmupCut(double warmupSeconds = 0.0) : m_warmup(warmupSeconds) {}

    // At Go; the engine is new and counts from nothing. `cpuSeconds`: the engine thread's CPU
    // time so far (negative: unknown).
    void Start(const RunMonitor& run, double cpuSeconds);
    // The line of second `second` (1, 2, ... since Go), `elapsed` seconds after Go, with the
    // run's totals then; true when that second belongs to the warm-up.
    bool Observe(int second, const RunMonitor& run, double cpuSeconds, double elapsed,
                 std::uint64_t bytes, std::uint64_t articles);
    bool Over() const { return m_over; }
    // The part of the run that counts, up to now; nothing when the run ended within its
    // warm-up. Call once, at the stop.
    MeasuredPart Measured(const RunMonitor& run, double cpuSeconds, double elapsed,
                          std::uint64_t bytes, std::uint64_t articles);

private:
    void Begin(const RunMonitor& run, double cpuSeconds, double elapsed, std::uint64_t bytes,
               std::uint64_t articles);

    double m_warmup;
    bool m_over = false;
    double m_fromSeconds = 0.0;
    std::uint64_t m_fromBytes = 0;
    std::uint64_t m_fromArticles = 0;
    IntervalActivityMeter m_activity;
};

// The summary's figures (all but its duration and rates, which the lines' meter gives) from
// the counted part: bytes, articles, missing articles, failures by kind, latencies, CPU.
void ApplyMeasuredPart(const MeasuredPart& part, RunSummary& summary);
