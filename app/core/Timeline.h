#pragma once
// --timeline FILE: the run second by second, written as it goes and flushed line by line, so
// a run that is killed keeps what it wrote. JSON Lines: a "run" line, a "second" line per
// second (of every step), a "step" line after each step of a sweep, and last the "summary"
// (or "sweep") line as --json prints it. A FILE ending in ".csv" holds the seconds alone, one
// row each, with flat columns (states_fetching_body, latency_body_p99_ms, failures_refused).
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/core/RunReport.h"

// One second of a run: what happened in it, not running totals.
struct SecondRecord {
    double t = 0.0;  // seconds since the step's Go
    int step = 1;    // 1 for a run without --sweep
    std::uint64_t connections = 0;
    std::uint64_t bytes = 0;
    double rateBytesPerSecond = 0.0;
    std::uint64_t articles = 0;
    // State name -> connections in it, for the states that have any.
    std::vector<std::pair<std::string, std::uint64_t>> states;
    std::vector<LatencyFigures> latency;  // commands with samples in this second
    // Kind -> count, for the kinds that occurred in this second.
    std::vector<std::pair<std::string, std::uint64_t>> failures;
    std::uint64_t missing = 0;
    std::optional<double> engineCpu;  // fraction of one core in this second
    bool warmup = false;
};

// The second's figures from the line printed for it, and the connections per state.
SecondRecord MakeSecondRecord(const RateSample& sample);

// What the "run" line says about the run as a whole.
struct TimelineRun {
    std::string version;
    std::string server;
    int port = 0;
    bool tls = false;
    std::optional<std::string> proxy;  // "host:port" when a SOCKS5 proxy is used
    std::string started;               // ISO 8601, UTC
    std::uint64_t connections = 0;
    std::optional<double> seconds;  // none: until stopped
    double warmup = 0.0;
    std::vector<int> sweep;          // empty without --sweep
    std::vector<std::pair<std::string, std::string>> settings;  // the non-secret ones
};

std::string TimelineRunLine(const TimelineRun& run);
std::string TimelineSecondLine(const SecondRecord& second);
std::string TimelineCsvHeader();
std::string TimelineCsvRow(const SecondRecord& second);

class TimelineWriter {
public:
    // Creates (or empties) FILE; false with the reason when it cannot be written.
    bool Open(const std::string& path, std::string& error);
    bool IsOpen() const { return m_out.is_open(); }
    bool IsCsv() const { return m_csv; }

    void WriteRun(const TimelineRun& run);
    void WriteSecond(const SecondRecord& second);
    // A "step", "summary" or "sweep" line as --json prints it (left out of a CSV file).
    void WriteEvent(const std::string& jsonLine);
    // False once a line could not be written (a full disk); later lines are still tried.
    bool Good() const { return m_good; }

private:
    void Put(const std::string& line);

    std::ofstream m_out;
    bool m_csv = false;
    bool m_good = true;
};
