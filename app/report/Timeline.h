#pragma once
// A run's timeline as zodiva --timeline writes it (one JSON object per line: a run line, a line
// per second, step lines of a sweep, a summary or sweep line last), read back for the report.
// A killed run's file ends early; unknown keys and events are skipped, so newer files still
// read.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace report {

// One command's latency in one second; a negative figure was not given.
struct SecondLatency {
    double count = 0;
    double p50Ms = -1;
    double p99Ms = -1;
};

struct Second {
    double t = 0;       // seconds since the step's Go
    double runTime = 0; // seconds since the run's first Go: a sweep's steps follow each other
    int step = 1;
    double connections = -1;
    double bytes = 0;
    double rateBytesPerSecond = 0;
    double articles = 0;
    std::map<std::string, double> states;
    std::map<std::string, SecondLatency> latency;
    std::map<std::string, double> failures;
    double missing = 0;
    double engineCpu = -1;  // fraction of one core; negative when not measured
    bool warmup = false;
};

struct Timeline {
    std::string file;   // as named on the command line
    std::string label;  // the legend's name: the file's name, or --label
    nlohmann::ordered_json run = nlohmann::ordered_json::object();
    std::vector<Second> seconds;
    std::vector<nlohmann::ordered_json> steps;     // a sweep's step lines, in order
    std::optional<nlohmann::ordered_json> summary; // the summary line of a run
    std::optional<nlohmann::ordered_json> sweep;   // the sweep line of a sweep
    bool lastLineCut = false;              // a killed run's half-written last line was left out

    bool IsSweep() const;
    // Neither a summary nor a sweep line: the run was stopped before it could write one.
    bool EndedEarly() const { return !summary && !sweep; }
};

struct ReadResult {
    bool ok = false;
    std::string error;  // "FILE:LINE: what is wrong" when !ok
    std::string note;   // something the reader should know, e.g. a cut last line
};

// Reads `text` (the file's whole content) as the timeline named `file`.
ReadResult ParseTimeline(const std::string& file, const std::string& text, Timeline& out);
// Reads the file `path`; a file that cannot be read is an error naming it.
ReadResult ReadTimelineFile(const std::string& path, Timeline& out);

// A number of a JSON object, or `fallback` when the key is absent, null or not a number.
double NumberOr(const nlohmann::ordered_json& object, const char* key, double fallback);

}  // namespace report
