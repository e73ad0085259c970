#include "app/core/RunReport.h"

#include <cstdio>
#include <ctime>

#include "app/core/SafeText.h"

namespace {

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}

std::string Milliseconds(std::uint64_t microseconds) {
    return Format("%.1f", static_cast<double>(microseconds) / 1000.0);
}

std::string JsonLatencies(const std::vector<LatencyLine>& lines) {
    std::string json = "{";
    for (const LatencyLine& line : lines) {
        if (json.size() > 1)
            json += ",";
        json += JsonQuote(line.command) + ":{\"count\":" + std::to_string(line.count) +
                ",\"p50_ms\":" + Milliseconds(line.p50) + ",\"p90_ms\":" + Milliseconds(line.p90) +
                ",\"p99_ms\":" + Milliseconds(line.p99) + ",\"max_ms\":" + Milliseconds(line.max) +
                "}";
    }
    return json + "}";
}

std::string JsonFailures(const std::vector<FailureCount>& failures) {
    std::string json = "{";
    for (const FailureCount& failure : failures) {
        if (json.size() > 1)
            json += ",";
        json += JsonQuote(failure.kind) + ":" + std::to_string(failure.count);
    }
    return json + "}";
}

std::string Row(const std::string& label, const std::string& value) {
    std::string line = "  " + label;
    line.resize(22, ' ');
    return line + value + "\n";
}

std::string TextLatencies(const std::vector<LatencyLine>& lines) {
    if (lines.empty())
        return std::string();
    std::string text = "  latency (ms)        count      p50      p90      p99      max\n";
    for (const LatencyLine& line : lines) {
        char row[160];
        std::snprintf(row, sizeof row, "    %-16s %8llu %8s %8s %8s %8s\n", line.command.c_str(),
                      static_cast<unsigned long long>(line.count), Milliseconds(line.p50).c_str(),
                      Milliseconds(line.p90).c_str(), Milliseconds(line.p99).c_str(),
                      Milliseconds(line.max).c_str());
        text += row;
    }
    return text;
}

std::string TextFailures(const std::vector<FailureCount>& failures) {
    std::string listed;
    for (const FailureCount& failure : failures) {
        if (failure.count == 0)
            continue;
        if (!listed.empty())
            listed += ", ";
        listed += std::to_string(failure.count) + " " + failure.kind;
    }
    return listed.empty() ? "none" : listed;
}

}  // namespace

std::string KBpsText(double kibPerSecond) {
    return Format("%.2fKBps", kibPerSecond);
}

std::string UtcTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string FormatSample(const RateSample& sample, bool json) {
    const IntervalFigures& interval = sample.interval;
    if (json) {
        return "{\"event\":\"rate\",\"time\":" + JsonQuote(sample.utcTime) +
               ",\"elapsed_s\":" + Format("%.3f", sample.elapsedSeconds) +
               ",\"interval_s\":" + Format("%.3f", interval.seconds) +
               ",\"rate_kib_s\":" + Format("%.2f", interval.rateKiB) +
               ",\"text\":" + JsonQuote(KBpsText(interval.rateKiB)) +
               ",\"rate\":" + JsonQuote(HumanRate(interval.rateKiB)) +
               ",\"articles_per_s\":" + Format("%.1f", interval.articlesPerSecond) +
               ",\"engine_rate_kib_s\":" + Format("%.2f", sample.engineRate) +
               ",\"states\":" + JsonQuote(sample.states) + "}\n";
    }
    std::string line = Format("%6.1fs  ", sample.elapsedSeconds) + HumanRate(interval.rateKiB) +
                       "  " + KBpsText(interval.rateKiB) + "  " +
                       Format("%.1f articles/s", interval.articlesPerSecond);
    if (!sample.states.empty())
        line += "  " + sample.states;
    return line + "\n";
}

std::string FormatSummary(const RunSummary& summary, bool json) {
    const std::string bytes = std::to_string(summary.bytesReceived);
    const std::string articles = std::to_string(summary.articlesCompleted);
    const std::string connections = std::to_string(summary.connections);
    if (json) {
        std::string line = "{\"event\":\"summary\",\"summary\":true,\"duration_s\":" +
                           Format("%.3f", summary.durationSeconds) +
                           ",\"average_kib_s\":" + Format("%.2f", summary.averageRate) +
                           ",\"peak_kib_s\":" + Format("%.2f", summary.peakRate) +
                           ",\"bytes_received\":" + bytes + ",\"articles_completed\":" + articles +
                           ",\"connections\":" + connections;
        if (summary.connectionsUp >= 0)
            line += ",\"connections_up\":" + std::to_string(summary.connectionsUp);
        if (summary.engineDetails) {
            line += ",\"connections_reached_group\":" +
                    std::to_string(summary.connectionsReachedGroup);
            line += ",\"first_article_s\":" +
                    (summary.secondsToFirstArticle >= 0
                         ? Format("%.3f", summary.secondsToFirstArticle)
                         : std::string("null"));
            line += ",\"failures\":" + JsonFailures(summary.failures) +
                    ",\"latency\":" + JsonLatencies(summary.latencies);
        }
        if (summary.diskSpaceLow)
            line += ",\"disk_space_low\":true";
        return line + ",\"stopped_by\":" + JsonQuote(summary.stoppedBy) + "}\n";
    }
    std::string text = "Summary\n";
    text += Row("duration", Format("%.1f s", summary.durationSeconds));
    text += Row("average rate",
                Format("%.2f KiB/s", summary.averageRate) + " (" + HumanRate(summary.averageRate) + ")");
    text += Row("peak rate",
                Format("%.2f KiB/s", summary.peakRate) + " (" + HumanRate(summary.peakRate) + ")");
    text += Row("bytes received", bytes);
    text += Row("articles completed", articles);
    text += Row("connections", summary.connectionsUp >= 0
                                   ? connections + " (" + std::to_string(summary.connectionsUp) +
                                         " up when the run stopped)"
                                   : connections);
    if (summary.engineDetails) {
        text += Row("reached the group", std::to_string(summary.connectionsReachedGroup));
        text += Row("first article",
                    summary.secondsToFirstArticle >= 0
                        ? Format("%.3f s after Go", summary.secondsToFirstArticle)
                        : std::string(summary.articlesCompleted > 0 ? "not measured"
                                                                    : "none received"));
        text += Row("failures", TextFailures(summary.failures));
        text += TextLatencies(summary.latencies);
    }
    if (summary.diskSpaceLow)
        text += Row("disk space", "ran short: article files were not written and old log "
                                  "copies were reused meanwhile");
    text += Row("stopped by", summary.stoppedBy);
    return text;
}
