#include "app/core/SweepReport.h"

#include <algorithm>
#include <cstdio>

#include "app/core/JsonObject.h"
#include "app/core/RunReport.h"
#include "app/core/SafeText.h"

namespace {

// MB/s as 10^6 bytes per second; the summary keeps its rate in KiB/s.
double MegabytesPerSecond(const RunSummary& summary) {
    return summary.averageBytesPerSecond / 1e6;
}

// "0.2/3.1" in milliseconds, "-" without samples.
std::string P50P99(const RunSummary& summary, const char* command) {
    const LatencyFigures* line = summary.Latency(command);
    if (line == nullptr || line->count == 0)
        return "-";
    return FormatPrintf("%.1f", static_cast<double>(line->p50) / 1000.0) + "/" +
           FormatPrintf("%.1f", static_cast<double>(line->p99) / 1000.0);
}

std::string CpuText(const RunSummary& summary) {
    return summary.engineCpu >= 0 ? FormatPrintf("%.0f %%", summary.engineCpu * 100.0)
                                  : std::string("-");
}

std::string Verdict(const SweepStep& step) {
    return AllPass(step.checks) ? "PASS" : "FAIL";
}

nlohmann::ordered_json Optional(std::optional<int> value) {
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

}  // namespace

JsonObject StepJson(const RunSummary& summary, int step, const std::vector<CheckResult>& checks,
                    bool checksGiven) {
    JsonObject line;
    line.Text("event", "step").Count("step", static_cast<std::uint64_t>(step)).Merge(SummaryJson(summary));
    if (checksGiven)
        line.Member("checks", ChecksJson(checks));
    return line;
}

std::string StepRowText(const SweepStep& step, int number, int of) {
    const RunSummary& summary = step.summary;
    char row[256];
    std::snprintf(row, sizeof row,
                  "step %d of %d  %s  %.2f MB/s  %.1f articles/s  body p50/p99 %s ms  "
                  "failures %llu  missing %llu",
                  number, of, ConnectionsText(step.connections).c_str(), MegabytesPerSecond(summary),
                  summary.articlesPerSecond, P50P99(summary, "body").c_str(),
                  static_cast<unsigned long long>(summary.TotalFailures()),
                  static_cast<unsigned long long>(summary.missingArticles));
    std::string text = row;
    if (summary.engineCpu >= 0)
        text += "  engine CPU " + CpuText(summary);
    if (!step.checks.empty())
        text += "  checks " + Verdict(step);
    return text + "\n";
}

std::string SweepTableText(const std::vector<SweepStep>& steps, std::optional<int> knee,
                           std::optional<int> capacity, bool checksGiven) {
    std::string text =
        "Sweep (latencies p50/p99 in ms)\n"
        "  connections       MB/s  articles/s         head         body      article  "
        "failures   missing  engine CPU";
    text += checksGiven ? "  checks\n" : "\n";
    double best = 0.0;
    for (const SweepStep& step : steps) {
        const RunSummary& summary = step.summary;
        best = std::max(best, MegabytesPerSecond(summary));
        char row[256];
        std::snprintf(row, sizeof row, "  %11d %10.2f %11.1f %12s %12s %12s %9llu %9llu %11s",
                      step.connections, MegabytesPerSecond(summary), summary.articlesPerSecond,
                      P50P99(summary, "head").c_str(), P50P99(summary, "body").c_str(),
                      P50P99(summary, "article").c_str(),
                      static_cast<unsigned long long>(summary.TotalFailures()),
                      static_cast<unsigned long long>(summary.missingArticles),
                      CpuText(summary).c_str());
        text += row;
        text += checksGiven ? "  " + Verdict(step) + "\n" : "\n";
    }
    text += knee ? "  knee        " + ConnectionsText(*knee) +
                       ": the fewest within 5 % of the best rate (" + FormatPrintf("%.2f", best) +
                       " MB/s)\n"
                 : "  knee        none: no step received anything\n";
    if (checksGiven) {
        text += capacity ? "  capacity    " + ConnectionsText(*capacity) +
                               ": the most that met every check\n"
                         : "  capacity    none: no step met every check\n";
    }
    return text;
}

std::string SweepJson(const std::vector<SweepStep>& steps, std::optional<int> knee,
                      std::optional<int> capacity) {
    auto each = nlohmann::ordered_json::array();
    for (const SweepStep& step : steps) each.push_back(step.json.Value());
    JsonObject line;
    line.Text("event", "sweep")
        .Member("steps", std::move(each))
        .Member("knee", Optional(knee))
        .Member("capacity", Optional(capacity));
    return line.Line();
}

std::string BusyEngineWarning(double engineCpu) {
    if (!(engineCpu > kBusyEngineCpu))
        return std::string();
    return "the engine used " + FormatPrintf("%.0f", engineCpu * 100.0) +
           " % of a core: zodiva, not the server, may be the limit; see --engines or more "
           "processes";
}
