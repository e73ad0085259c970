#pragma once
// --sweep LIST: the same run at several numbers of connections, one step after another, to
// find where the server saturates. LIST is "1,4,16,64", or "A..B" (A, 2A, 4A, ... up to B,
// and B itself), or both mixed ("1,2,8..64"); the steps must grow.
//
// After the steps: the knee, the fewest connections that reach within 5 % of the best rate
// (more connections beyond it buy little), and the capacity, the most connections whose
// step met every --check.
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

struct SweepParseError {
    std::size_t column = 0;  // 1-based, in the list
    std::string message;
};

// Parses LIST into growing connection counts from 1 to `maxConnections`.
bool ParseSweepList(const std::string& text, int maxConnections, std::vector<int>& steps,
                    SweepParseError& error);
// "--sweep '1,,4': expected a number at column 3" and the list with a caret under the fault.
std::string DescribeSweepError(const std::string& text, const SweepParseError& error);

// What the knee and the capacity are judged on: one per step.
struct StepOutcome {
    int connections = 0;
    double rate = 0.0;  // any unit, the same for every step
    bool checksPass = true;
};

// Within this fraction of the best rate a step counts as reaching it.
inline constexpr double kKneeTolerance = 0.05;

// The fewest connections whose rate is within 5 % of the best step's; none when no step
// received anything.
std::optional<int> SweepKnee(const std::vector<StepOutcome>& steps);
// The most connections whose step passed every check; none without checks or when no step
// passed.
std::optional<int> SweepCapacity(const std::vector<StepOutcome>& steps, bool checksGiven);
