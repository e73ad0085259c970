#pragma once
// What a sweep prints: a row after each step, and at the end one table of every step with
// the knee and the capacity; in JSON a "step" object per step (the run's summary with the
// step's number, its connections and its checks) and a last "sweep" object.
#include <optional>
#include <string>
#include <vector>

#include "app/core/JsonObject.h"
#include "app/core/RunCheck.h"
#include "app/core/RunSummary.h"

struct SweepStep {
    int connections = 0;
    RunSummary summary;
    std::vector<CheckResult> checks;
    JsonObject json;  // the step's JSON object, as printed
};

// The step's object: {"event":"step","step":N,...the summary's members...,"checks":[...]}
// (checks only when some were given).
JsonObject StepJson(const RunSummary& summary, int step, const std::vector<CheckResult>& checks,
                    bool checksGiven);

// "step 2 of 3  4 connections  812.30 MB/s  6021.0 articles/s  body p50/p99 0.4/3.2 ms ..."
std::string StepRowText(const SweepStep& step, int number, int of);
std::string SweepTableText(const std::vector<SweepStep>& steps, std::optional<int> knee,
                           std::optional<int> capacity, bool checksGiven);
// Above this share of one core the engine thread may be what limits the rate.
inline constexpr double kBusyEngineCpu = 0.9;
// "the engine used 97 % of a core: zodiva, not the server, may be the limit; ..." when
// `engineCpu` is above kBusyEngineCpu; empty otherwise (also when it was not measured).
std::string BusyEngineWarning(double engineCpu);

std::string SweepJson(const std::vector<SweepStep>& steps, std::optional<int> knee,
                      std::optional<int> capacity);
