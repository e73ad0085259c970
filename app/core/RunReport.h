#pragma once
// The lines a headless run prints: one per second while it runs, a summary at the end; as
// plain text or as one JSON object per line.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "app/core/IntervalActivity.h"
#include "app/core/IntervalMeter.h"
#include "app/core/RunSummary.h"

struct RateSample {
    double elapsedSeconds = 0.0;  // since Go
    IntervalFigures interval;     // what happened since the line before
    double engineRate = 0.0;      // KiB/s, the engine's own figure of its last 2-second tick
    std::string states;           // counts per connection state, e.g. "4 fetching, 1 delaying (27 s)"
    // The same counts by state key, every state; and the seconds left of the delays (when
    // any connection is delaying).
    std::vector<std::pair<std::string, std::uint64_t>> stateCounts;
    bool delaying = false;
    std::int64_t shortestDelayLeft = 0;
    std::int64_t longestDelayLeft = 0;
    // Ages in whole seconds: of the oldest running delay, and of the longest wait for the
    // server (the one nearest the receive time-out); 0 when there is none.
    std::int64_t oldestDelaySeconds = 0;
    std::int64_t oldestWaitSeconds = 0;
    IntervalActivity activity;  // failures, missing articles, latencies and CPU of the interval
    std::string utcTime;        // ISO 8601, seconds, UTC
    // In a sweep: the step (from 1) and its connections; 0 outside a sweep.
    int step = 0;
    unsigned connections = 0;
};

// The state counts of the engine's monitor into a sample.
void SetSampleStates(const ActivityCounts& counts, RateSample& sample);

// "1 connection", "4 connections".
std::string ConnectionsText(long long connections);
// The interval's rate as "%.2fKBps", the dialog's way of writing a rate (1 KB = 1024 bytes).
std::string KBpsText(double kibPerSecond);
std::string FormatSample(const RateSample& sample, bool json);
std::string FormatSummary(const RunSummary& summary, bool json);
// The current time as "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcTimeNow();
