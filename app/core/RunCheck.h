#pragma once
// --check EXPR: a target a run must meet, written METRIC OP VALUE[UNIT], for example
// "p99(body) < 50ms", "rate >= 100MB/s", "failures.refused == 0". Parsed once before anything
// runs (a fault is reported with its column), then judged on each summary.
//
// Metrics and their units (the first is the one a value without unit is read in):
//   rate                     B/s, KB/s, MB/s, GB/s (10^3 steps), KiB/s, MiB/s (2^10 steps)
//   articles, articles_per_s, failures, failures.KIND, missing      no unit
//   pNN(CMD), max(CMD)       ms, us, s; NN is 50, 90, 99 or 99.9
//   engine_cpu               no unit; the fraction of one core (0 to 1)
#include <cstddef>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <vector>

#include "app/core/RunSummary.h"

enum class CheckMetric {
    kRate,
    kArticles,
    kArticlesPerSecond,
    kFailures,     // every kind together
    kFailureKind,  // failures.KIND
    kMissing,
    kPercentile,   // pNN(CMD)
    kMax,          // max(CMD)
    kEngineCpu,
};

enum class CheckOperator { kLess, kLessOrEqual, kGreater, kGreaterOrEqual, kEqual, kNotEqual };

struct RunCheck {
    std::string expr;  // as the user wrote it
    CheckMetric metric = CheckMetric::kRate;
    std::string name;         // the failure kind or the command, as written
    double percentile = 0.0;  // 0.5, 0.9, 0.99, 0.999 for kPercentile
    CheckOperator op = CheckOperator::kLess;
    double threshold = 0.0;  // in the unit written (or the metric's first unit)
    std::string unit;        // the unit the value is compared and shown in; empty: none
    double unitScale = 1.0;  // the unit in the metric's base (bytes/s, microseconds)
};

struct CheckParseError {
    std::size_t column = 0;  // 1-based, in the expression
    std::string message;
};

// Parses one expression; on false, `error` says what is wrong and where.
bool ParseRunCheck(const std::string& text, RunCheck& check, CheckParseError& error);
// "--check 'p99(bdy) < 5ms': unknown command 'bdy' at column 5 (...)" and, on the next
// lines, the expression with a caret under the fault.
std::string DescribeCheckError(const std::string& text, const CheckParseError& error);

// The failure kinds and commands a check may name, as they are spelt in the JSON.
std::vector<std::string> CheckableFailureKinds();
const std::vector<std::string>& CheckableCommands();

struct CheckResult {
    std::string expr;
    std::optional<double> value;  // in the check's unit; none when nothing was measured
    std::string unit;
    bool pass = false;
};

// The check's figure in `summary`, in the check's unit; none when the summary has no such
// figure (a command without samples, an engine CPU that was not measured).
std::optional<double> CheckValue(const RunCheck& check, const RunSummary& summary);
// A check passes when its figure was measured and the comparison holds: a target is met only
// by a measurement.
CheckResult JudgeCheck(const RunCheck& check, const RunSummary& summary);
std::vector<CheckResult> JudgeChecks(const std::vector<RunCheck>& checks,
                                     const RunSummary& summary);
bool AllPass(const std::vector<CheckResult>& results);

// [{"expr":"…","value":12.3,"pass":true},…] (the value to 6 significant digits, as the
// table shows it)
nlohmann::ordered_json ChecksJson(const std::vector<CheckResult>& results);
// The table printed after the summary: expression, measured value, PASS or FAIL.
std::string ChecksText(const std::vector<CheckResult>& results);
