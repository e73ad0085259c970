#include "app/metrics/Exposition.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace {

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

constexpr Family kBuildInfo{"zodiva_build_info", "gauge",
                            "Always 1; the version label names the build."};
constexpr Family kUp{"zodiva_up", "gauge", "1 while a download runs, 0 otherwise."};
constexpr Family kTargetConnections{"zodiva_target_connections", "gauge",
                                    "Connections the running download was asked to make."};
constexpr Family kEngineCpu{"zodiva_engine_cpu_seconds_total", "counter",
                            "CPU time used by the engine thread."};
constexpr Family kReceivedBytes{"zodiva_received_bytes_total", "counter",
                                "Bytes read from the news server's connections."};
constexpr Family kArticles{"zodiva_articles_completed_total", "counter",
                           "Article bodies received up to their end line."};
constexpr Family kMissing{"zodiva_missing_articles_total", "counter",
                          "Articles the server answered 423 or 430 for (skipped, not failed)."};
constexpr Family kConnections{"zodiva_connections", "gauge",
                              "Connections in each state at the engine's last tick."};
constexpr Family kFailures{"zodiva_failures_total", "counter",
                           "Failed connections and refused commands, by kind."};
constexpr Family kDurations{"zodiva_command_duration_seconds", "histogram",
                            "Time from sending a command to its status line, by command."};
constexpr Family kRate{"zodiva_rate_kib_per_second", "gauge",
                       "Receive rate in KiB/s over the engine's last 2-second tick."};

void Header(std::string& out, const Family& family) {
    out += "# HELP ";
    out += family.name;
    out += ' ';
    out += family.help;
    out += "\n# TYPE ";
    out += family.name;
    out += ' ';
    out += family.type;
    out += '\n';
}

std::string LabelSet(const CommonLabels& common, const CommonLabels& extra) {
    std::string text;
    for (const CommonLabels* list : {&common, &extra}) {
        for (const auto& [name, value] : *list) {
            text += text.empty() ? "{" : ",";
            text += name + "=\"" + EscapeLabelValue(value) + "\"";
        }
    }
    return text.empty() ? text : text + "}";
}

void Sample(std::string& out, const std::string& name, const std::string& labels, double value) {
    out += name;
    out += labels;
    out += ' ';
    out += FormatSampleValue(value);
    out += '\n';
}

void IntegerSample(std::string& out, const std::string& name, const std::string& labels,
             std::uint64_t value) {
    out += name + labels + ' ' + std::to_string(value) + '\n';
}

void Histogram(std::string& out, const CommonLabels& common, const std::string& command,
               const DurationHistogram& histogram) {
    const std::string bucket = std::string(kDurations.name) + "_bucket";
    std::uint64_t cumulative = 0;
    for (std::size_t i = 0; i < histogram.upperBoundsSeconds.size(); ++i) {
        cumulative += i < histogram.counts.size() ? histogram.counts[i] : 0;
        const std::string le = FormatSampleValue(histogram.upperBoundsSeconds[i]);
        IntegerSample(out, bucket, LabelSet(common, {{"command", command}, {"le", le}}), cumulative);
    }
    const std::uint64_t total = histogram.Count();
    IntegerSample(out, bucket, LabelSet(common, {{"command", command}, {"le", "+Inf"}}), total);
    const std::string labels = LabelSet(common, {{"command", command}});
    Sample(out, std::string(kDurations.name) + "_sum", labels, histogram.sumSeconds);
    IntegerSample(out, std::string(kDurations.name) + "_count", labels, total);
}

}  // namespace

std::string FormatSampleValue(double value) {
    if (std::isnan(value)) {
        return "NaN";
    }
    if (std::isinf(value)) {
        return value > 0 ? "+Inf" : "-Inf";
    }
    char text[64];
    const auto result = std::to_chars(text, text + sizeof(text), value);
    return std::string(text, result.ptr);
}

std::string EscapeLabelValue(const std::string& value) {
    std::string escaped;
    escaped.reserve(value.size());
    for (char c : value) {
        switch (c) {
            case '\\':
                escaped += "\\\\";
                break;
            case '"':
                escaped += "\\\"";
                break;
            case '\n':
                escaped += "\\n";
                break;
            default:
                escaped += c;
        }
    }
    return escaped;
}

std::string FormatExposition(const MetricsSnapshot& snapshot, const CommonLabels& labels) {
    std::string out;
    const std::string common = LabelSet(labels, {});
    Header(out, kBuildInfo);
    IntegerSample(out, kBuildInfo.name, LabelSet(labels, {{"version", snapshot.version}}), 1);
    Header(out, kUp);
    IntegerSample(out, kUp.name, common, snapshot.up ? 1 : 0);
    Header(out, kTargetConnections);
    IntegerSample(out, kTargetConnections.name, common, snapshot.targetConnections);
    Header(out, kEngineCpu);
    Sample(out, kEngineCpu.name, common, snapshot.engineCpuSeconds);
    Header(out, kReceivedBytes);
    IntegerSample(out, kReceivedBytes.name, common, snapshot.receivedBytes);
    Header(out, kArticles);
    IntegerSample(out, kArticles.name, common, snapshot.articlesCompleted);
    Header(out, kMissing);
    IntegerSample(out, kMissing.name, common, snapshot.missingArticles);
    Header(out, kRate);
    Sample(out, kRate.name, common, snapshot.rateKiBPerSecond);
    if (!snapshot.connectionsByState.empty()) {
        Header(out, kConnections);
        for (const auto& [state, count] : snapshot.connectionsByState) {
            IntegerSample(out, kConnections.name, LabelSet(labels, {{"state", state}}), count);
        }
    }
    if (!snapshot.failuresByKind.empty()) {
        Header(out, kFailures);
        for (const auto& [kind, count] : snapshot.failuresByKind) {
            IntegerSample(out, kFailures.name, LabelSet(labels, {{"kind", kind}}), count);
        }
    }
    if (!snapshot.commandDurations.empty()) {
        Header(out, kDurations);
        for (const auto& [command, histogram] : snapshot.commandDurations) {
            Histogram(out, labels, command, histogram);
        }
    }
    return out;
}
