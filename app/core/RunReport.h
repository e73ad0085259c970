#pragma once
// The lines a headless run prints: one per second while it runs, a summary at the end; as
// plain text or as one JSON object per line.
#include <cstdint>
#include <string>
#include <vector>

#include "app/core/IntervalMeter.h"

struct RateSample {
    double elapsedSeconds = 0.0;  // since Go
    IntervalFigures interval;     // what happened since the line before
    double engineRate = 0.0;      // KiB/s, the engine's own figure of its last 2-second tick
    std::string states;           // counts per connection state, e.g. "4 fetching, 1 delaying (27 s)"
    std::string utcTime;          // ISO 8601, seconds, UTC
};

// One line of the summary's latency table: a command kind and its percentiles.
struct LatencyLine {
    std::string command;  // "greeting", "group", "head", ...
    std::uint64_t count = 0;
    std::uint64_t p50 = 0, p90 = 0, p99 = 0, max = 0;  // microseconds
};

struct FailureCount {
    std::string kind;  // "lookup", "refused", ...
    std::uint64_t count = 0;
};

struct RunSummary {
    double durationSeconds = 0.0;
    double averageRate = 0.0;  // KiB/s over the measured intervals
    double peakRate = 0.0;     // highest rate of one interval
    std::uint64_t bytesReceived = 0;
    std::uint64_t articlesCompleted = 0;
    std::uint64_t connections = 0;
    std::int64_t connectionsUp = -1;  // talking to the server when the run stopped (-1: unknown)
    std::string stoppedBy;  // "time", "signal" or "output closed"
    // The figures below are shown only when the engine reported them.
    bool engineDetails = false;
    std::int64_t connectionsReachedGroup = -1;
    double secondsToFirstArticle = -1.0;  // -1: no article text arrived
    std::vector<FailureCount> failures;   // every kind, in a fixed order
    std::vector<LatencyLine> latencies;   // kinds with at least one sample
    bool diskSpaceLow = false;  // the disk-space guard held at some time during the run
};

// The interval's rate as "%.2fKBps", the dialog's way of writing a rate.
std::string KBpsText(double kibPerSecond);
std::string FormatSample(const RateSample& sample, bool json);
std::string FormatSummary(const RunSummary& summary, bool json);
// The current time as "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcTimeNow();
