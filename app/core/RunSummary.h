#pragma once
// The figures of a finished run (or of one part of it), as plain data: what ran, what came
// in, what failed and how long each command took. The text summary, the JSON summary and
// anything that judges a run read the same struct, so a figure has one value everywhere.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class JsonObject;  // app/core/JsonObject.h, for the JSON of the summary

// Latency of one command kind, in microseconds.
struct LatencyFigures {
    std::string command;  // key: "greeting", "head", "body_text", ...
    std::uint64_t count = 0;
    std::uint64_t p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;
};

struct FailureFigures {
    std::string kind;  // as a person reads it: "time-out", "greeting refused"
    std::string key;   // as JSON and the metrics name it: "time_out", "greeting_refused"
    std::uint64_t count = 0;
    std::string reason;  // the latest reason the engine gave for this kind; empty when none
};

// What the run was pointed at and how it was set up.
struct RunSetup {
    std::string server;  // host name or address as set (IPv6 without brackets)
    int port = 0;
    bool tls = false;
    std::string proxy;    // "host:port" of the SOCKS5 proxy; empty for a direct connection
    std::string version;  // zodiva's
    std::string started;  // UTC, ISO 8601, when Go was pressed
    // Settings that shaped the run, by name, passwords left out.
    std::vector<std::pair<std::string, std::string>> settings;
};

struct RunSummary {
    RunSetup setup;
    double durationSeconds = 0.0;
    // The first seconds, left out of every figure below but the duration (--warmup).
    double warmupSeconds = 0.0;
    double averageBytesPerSecond = 0.0;  // over the measured intervals
    double peakBytesPerSecond = 0.0;     // highest rate of one interval
    std::uint64_t bytesReceived = 0;
    std::uint64_t articlesCompleted = 0;  // bodies received to their final dot
    double articlesPerSecond = 0.0;
    std::uint64_t missingArticles = 0;  // 423/430 to HEAD or BODY: skipped, not failed
    std::uint64_t connections = 0;
    std::int64_t connectionsUp = -1;  // talking to the server when the run stopped (-1: unknown)
    std::string stoppedBy;            // "time", "signal" or "output closed"
    double engineCpu = -1.0;          // the engine thread's CPU use, fraction of one core (-1: unknown)
    // With several engine threads (--engines): each one's CPU use, fraction of one core, in
    // engine order; empty with one engine or when unknown.
    std::vector<double> engineCpuEach;
    // The figures below are shown only when the engine reported them.
    bool engineDetails = false;
    std::int64_t connectionsReachedGroup = -1;
    std::int64_t emptyGroupConnections = 0;  // connections that found the group empty
    double secondsToFirstArticle = -1.0;     // -1: no article text arrived
    std::vector<FailureFigures> failures;    // every kind, in a fixed order
    std::vector<LatencyFigures> latencies;   // kinds with at least one sample
    bool diskSpaceLow = false;  // the disk-space guard held at some time during the run

    std::uint64_t TotalFailures() const;
    // The figures of one failure kind or command by key; null when there are none.
    const FailureFigures* Failure(std::string_view key) const;
    const LatencyFigures* Latency(std::string_view command) const;
};

// Every figure of the summary as JSON members (snake_case keys, rates also in KiB/s and
// MB/s, latencies in milliseconds); the caller puts its own "event" in front.
JsonObject SummaryJson(const RunSummary& summary);
// The summary for a person, "Summary" and one labelled row per figure.
std::string SummaryText(const RunSummary& summary);

// Microseconds as milliseconds with one decimal ("0.4").
std::string MillisecondsText(std::uint64_t microseconds);
// {"greeting":{"count":1,"p50_ms":0.4,...},...} with the percentiles asked for.
JsonObject LatencyJson(const std::vector<LatencyFigures>& lines, bool allPercentiles);
// {"name":"value",...}: the settings a run used, in the order given.
JsonObject SettingsJson(const std::vector<std::pair<std::string, std::string>>& settings);
