#include "app/core/RunSummary.h"

#include <cstdio>

#include "app/core/JsonObject.h"
#include "app/core/SafeText.h"

namespace {

constexpr double kBytesPerKiB = 1024.0;
constexpr double kBytesPerMB = 1e6;

std::string Row(const std::string& label, const std::string& value) {
    std::string line = "  " + label;
    line.resize(22, ' ');
    return line + value + "\n";
}

// "[::1]:119" for an IPv6 address, "host:119" otherwise.
std::string HostAndPort(const std::string& host, int port) {
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

std::string ServerText(const RunSetup& setup) {
    std::string text = HostAndPort(setup.server, setup.port);
    text += setup.tls ? " (TLS, " : " (plain, ";
    text += setup.proxy.empty() ? "direct)" : "through the SOCKS5 proxy " + setup.proxy + ")";
    return text;
}

std::string RateText(double bytesPerSecond) {
    return FormatNumber("%.2f KiB/s", bytesPerSecond / kBytesPerKiB) + " (" +
           HumanRate(bytesPerSecond / kBytesPerKiB) + ")";
}

std::string TextFailures(const std::vector<FailureFigures>& failures) {
    std::string listed;
    for (const FailureFigures& failure : failures) {
        if (failure.count == 0)
            continue;
        if (!listed.empty())
            listed += ", ";
        listed += std::to_string(failure.count) + " " + failure.kind;
        if (!failure.reason.empty())
            listed += " (" + ShowSafely(failure.reason) + ")";
    }
    return listed.empty() ? "none" : listed;
}

std::string TextLatencies(const std::vector<LatencyFigures>& lines) {
    if (lines.empty())
        return std::string();
    std::string text =
        "  latency (ms)        count      p50      p90      p99    p99.9      max\n";
    for (const LatencyFigures& line : lines) {
        char row[200];
        std::snprintf(row, sizeof row, "    %-16s %8llu %8s %8s %8s %8s %8s\n",
                      line.command.c_str(), static_cast<unsigned long long>(line.count),
                      MillisecondsText(line.p50).c_str(), MillisecondsText(line.p90).c_str(),
                      MillisecondsText(line.p99).c_str(), MillisecondsText(line.p999).c_str(),
                      MillisecondsText(line.max).c_str());
        text += row;
    }
    return text;
}

JsonObject FailuresJson(const std::vector<FailureFigures>& failures, bool reasons) {
    JsonObject json;
    for (const FailureFigures& failure : failures) {
        if (!reasons)
            json.Count(failure.key, failure.count);
        else if (!failure.reason.empty())
            json.Text(failure.key, failure.reason);
    }
    return json;
}

// Microseconds as milliseconds with one decimal, as the text table shows them.
nlohmann::ordered_json Milliseconds(std::uint64_t microseconds) {
    return RoundedNumber(static_cast<double>(microseconds) / 1000.0, 1);
}

}  // namespace

std::string MillisecondsText(std::uint64_t microseconds) {
    return FormatNumber("%.1f", static_cast<double>(microseconds) / 1000.0);
}

JsonObject LatencyJson(const std::vector<LatencyFigures>& lines, bool allPercentiles) {
    JsonObject json;
    for (const LatencyFigures& line : lines) {
        JsonObject figures;
        figures.Count("count", line.count).Member("p50_ms", Milliseconds(line.p50));
        if (allPercentiles)
            figures.Member("p90_ms", Milliseconds(line.p90));
        figures.Member("p99_ms", Milliseconds(line.p99));
        if (allPercentiles)
            figures.Member("p99_9_ms", Milliseconds(line.p999))
                .Member("max_ms", Milliseconds(line.max));
        json.Member(line.command, figures);
    }
    return json;
}

JsonObject SettingsJson(const std::vector<std::pair<std::string, std::string>>& settings) {
    JsonObject json;
    for (const auto& [key, value] : settings) json.Text(key, value);
    return json;
}

std::uint64_t RunSummary::TotalFailures() const {
    std::uint64_t total = 0;
    for (const FailureFigures& failure : failures)
        total += failure.count;
    return total;
}

const FailureFigures* RunSummary::Failure(std::string_view key) const {
    for (const FailureFigures& failure : failures) {
        if (failure.key == key)
            return &failure;
    }
    return nullptr;
}

const LatencyFigures* RunSummary::Latency(std::string_view command) const {
    for (const LatencyFigures& line : latencies) {
        if (line.command == command)
            return &line;
    }
    return nullptr;
}

JsonObject SummaryJson(const RunSummary& summary) {
    JsonObject json;
    // The members a script read first come first, in the order they always had.
    json.Number("duration_s", summary.durationSeconds, 3)
        .Number("average_kib_s", summary.averageBytesPerSecond / kBytesPerKiB, 2)
        .Number("peak_kib_s", summary.peakBytesPerSecond / kBytesPerKiB, 2)
        .Count("bytes_received", summary.bytesReceived)
        .Count("articles_completed", summary.articlesCompleted)
        .Count("connections", summary.connections);
    if (summary.connectionsUp >= 0)
        json.Signed("connections_up", summary.connectionsUp);
    if (summary.engineDetails) {
        json.Signed("connections_reached_group", summary.connectionsReachedGroup);
        if (summary.secondsToFirstArticle >= 0)
            json.Number("first_article_s", summary.secondsToFirstArticle, 3);
        else
            json.Null("first_article_s");
        json.Member("failures", FailuresJson(summary.failures, false))
            .Member("latency", LatencyJson(summary.latencies, true));
    }
    if (summary.diskSpaceLow)
        json.Flag("disk_space_low", true);
    const RunSetup& setup = summary.setup;
    json.Text("server", setup.server)
        .Signed("port", setup.port)
        .Flag("tls", setup.tls);
    if (setup.proxy.empty())
        json.Null("proxy");
    else
        json.Text("proxy", setup.proxy);
    json.Text("version", setup.version)
        .Text("started", setup.started)
        .Member("settings", SettingsJson(setup.settings))
        .Number("rate_bytes_per_s", summary.averageBytesPerSecond, 0)
        .Number("average_mb_s", summary.averageBytesPerSecond / kBytesPerMB, 3)
        .Number("peak_mb_s", summary.peakBytesPerSecond / kBytesPerMB, 3)
        .Number("articles_per_s", summary.articlesPerSecond, 1)
        .Count("missing", summary.missingArticles)
        .Count("failures_total", summary.TotalFailures());
    if (summary.engineDetails) {
        json.Signed("empty_group_connections", summary.emptyGroupConnections)
            .Member("reasons", FailuresJson(summary.failures, true));
    }
    json.Member("warmup_s", SignificantNumber(summary.warmupSeconds, 6));
    if (summary.engineCpu >= 0)
        json.Number("engine_cpu", summary.engineCpu, 3);
    else
        json.Null("engine_cpu");
    if (!summary.engineCpuEach.empty()) {
        auto each = nlohmann::ordered_json::array();
        for (double cpu : summary.engineCpuEach) each.push_back(RoundedNumber(cpu, 3));
        json.Member("engines_cpu", std::move(each));
    }
    json.Text("stopped_by", summary.stoppedBy);
    return json;
}

std::string SummaryText(const RunSummary& summary) {
    std::string text = "Summary\n";
    if (!summary.setup.server.empty())
        text += Row("server", ServerText(summary.setup));
    if (!summary.setup.started.empty())
        text += Row("started", summary.setup.started);
    text += Row("duration", FormatNumber("%.1f s", summary.durationSeconds));
    if (summary.warmupSeconds > 0.0)
        text += Row("warm-up",
                    FormatNumber("%g s, left out of the figures below", summary.warmupSeconds));
    text += Row("average rate", RateText(summary.averageBytesPerSecond));
    text += Row("peak rate", RateText(summary.peakBytesPerSecond));
    text += Row("bytes received", std::to_string(summary.bytesReceived));
    text += Row("articles completed", std::to_string(summary.articlesCompleted) + " (" +
                                          FormatNumber("%.1f", summary.articlesPerSecond) +
                                          " per second)");
    text += Row("missing articles", std::to_string(summary.missingArticles));
    const std::string connections = std::to_string(summary.connections);
    text += Row("connections", summary.connectionsUp >= 0
                                   ? connections + " (" + std::to_string(summary.connectionsUp) +
                                         " up when the run stopped)"
                                   : connections);
    if (summary.engineDetails) {
        text += Row("reached the group", std::to_string(summary.connectionsReachedGroup));
        if (summary.emptyGroupConnections > 0)
            text += Row("empty group", std::to_string(summary.emptyGroupConnections) +
                                           (summary.emptyGroupConnections == 1
                                                ? " connection found the group empty"
                                                : " connections found the group empty"));
        text += Row(
            "first article",
            summary.secondsToFirstArticle >= 0
                ? FormatNumber("%.3f s after Go", summary.secondsToFirstArticle)
                : std::string(summary.articlesCompleted > 0 ? "not measured" : "none received"));
        text += Row("failures", TextFailures(summary.failures));
    }
    if (summary.engineCpu >= 0)
        text += Row("engine CPU", FormatNumber("%.0f %% of one core", summary.engineCpu * 100.0));
    if (!summary.engineCpuEach.empty()) {
        std::string each;
        for (std::size_t i = 0; i < summary.engineCpuEach.size(); ++i)
            each +=
                FormatNumber(i == 0 ? "%.0f %%" : ", %.0f %%", summary.engineCpuEach[i] * 100.0);
        text += Row("engine CPU by engine", each);
    }
    if (summary.engineDetails)
        text += TextLatencies(summary.latencies);
    if (summary.diskSpaceLow)
        text += Row("disk space", "ran short: article files were not written and old log "
                                  "copies were reused meanwhile");
    text += Row("stopped by", summary.stoppedBy);
    return text;
}
