#pragma once
// The lines a headless run prints: one per second while it runs, a summary at the end; as
// plain text or as one JSON object per line.
#include <cstdint>
#include <string>

struct RateSample {
    double elapsedSeconds = 0.0;  // since Go
    double rate = 0.0;            // KiB/s
    std::string text;             // the dialog's rate text
    std::string utcTime;          // ISO 8601, seconds, UTC
};

struct RunSummary {
    double durationSeconds = 0.0;
    double averageRate = 0.0;  // KiB/s over the whole run
    double peakRate = 0.0;     // highest rate shown
    std::uint64_t bytesReceived = 0;
    std::uint64_t articlesCompleted = 0;
    std::uint64_t connections = 0;
    std::string stoppedBy;  // "time", "signal" or "output closed"
};

std::string FormatSample(const RateSample& sample, bool json);
std::string FormatSummary(const RunSummary& summary, bool json);
// A JSON string literal, quotes included.
std::string JsonQuote(const std::string& text);
// The current time as "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcTimeNow();
