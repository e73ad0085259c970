#include "app/core/Timeline.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/core/JsonObject.h"
#include "app/core/RunCheck.h"
#include "app/core/SafeText.h"

namespace {

double Milliseconds(std::uint64_t microseconds) {
    return static_cast<double>(microseconds) / 1000.0;
}

std::string Ms(std::uint64_t microseconds) {
    return FormatPrintf("%.3f", Milliseconds(microseconds));
}

std::string Cpu(const std::optional<double>& cpu) {
    return cpu ? FormatPrintf("%.3f", *cpu) : std::string();
}

std::vector<ConnectionActivity> Activities() {
    std::vector<ConnectionActivity> activities;
    for (std::size_t i = 0; i < static_cast<std::size_t>(ConnectionActivity::kCount); ++i)
        activities.push_back(static_cast<ConnectionActivity>(i));
    return activities;
}

std::uint64_t CountOf(const std::vector<std::pair<std::string, std::uint64_t>>& counts,
                      const std::string& name) {
    for (const auto& [key, count] : counts) {
        if (key == name)
            return count;
    }
    return 0;
}

const LatencyFigures* LatencyOf(const SecondRecord& second, const std::string& command) {
    for (const LatencyFigures& latency : second.latency) {
        if (latency.command == command)
            return &latency;
    }
    return nullptr;
}

}  // namespace

SecondRecord MakeSecondRecord(const RateSample& sample) {
    SecondRecord second;
    second.t = sample.elapsedSeconds;
    second.bytes = sample.interval.bytes;
    second.articles = sample.interval.articles;
    second.rateBytesPerSecond = sample.interval.seconds > 0.0
                                    ? static_cast<double>(sample.interval.bytes) / sample.interval.seconds
                                    : 0.0;
    second.states = sample.stateCounts;  // the keys of --json's "states"
    second.latency = sample.activity.latencies;
    second.failures = sample.activity.failures;
    second.missing = sample.activity.missing;
    if (sample.activity.engineCpu >= 0)
        second.engineCpu = sample.activity.engineCpu;
    return second;
}

std::string TimelineRunLine(const TimelineRun& run) {
    nlohmann::ordered_json sweep = nullptr;
    if (!run.sweep.empty())
        sweep = run.sweep;
    JsonObject line;
    line.Text("event", "run")
        .Text("version", run.version)
        .Text("server", run.server)
        .Signed("port", run.port)
        .Flag("tls", run.tls)
        .Member("proxy", run.proxy ? JsonString(*run.proxy) : nullptr)
        .Text("started", run.started)
        .Count("connections", run.connections)
        .Member("seconds", run.seconds ? SignificantNumber(*run.seconds, 6) : nullptr)
        .Member("warmup", SignificantNumber(run.warmup, 6))
        .Member("sweep", std::move(sweep))
        .Member("settings", SettingsJson(run.settings));
    return line.Line();
}

std::string TimelineSecondLine(const SecondRecord& second) {
    JsonObject latency;
    for (const LatencyFigures& line : second.latency) {
        latency.Member(line.command, JsonObject()
                                         .Count("count", line.count)
                                         .Number("p50_ms", Milliseconds(line.p50), 3)
                                         .Number("p99_ms", Milliseconds(line.p99), 3));
    }
    JsonObject line;
    line.Text("event", "second")
        .Number("t", second.t, 3)
        .Signed("step", second.step)
        .Count("connections", second.connections)
        .Count("bytes", second.bytes)
        .Number("rate_bytes_per_s", second.rateBytesPerSecond, 1)
        .Count("articles", second.articles)
        .Member("states", CountsJson(second.states))
        .Member("latency", latency)
        .Member("failures", CountsJson(second.failures))
        .Count("missing", second.missing)
        .Member("engine_cpu", second.engineCpu ? RoundedNumber(*second.engineCpu, 3) : nullptr)
        .Flag("warmup", second.warmup);
    return line.Line();
}

std::string TimelineCsvHeader() {
    std::string header = "t,step,connections,bytes,rate_bytes_per_s,articles,missing,engine_cpu,warmup";
    for (ConnectionActivity activity : Activities())
        header += ",states_" + ActivityKey(activity);
    for (const std::string& command : CheckableCommands())
        header += ",latency_" + command + "_count,latency_" + command + "_p50_ms,latency_" +
                  command + "_p99_ms";
    for (const std::string& kind : CheckableFailureKinds())
        header += ",failures_" + kind;
    return header + "\n";
}

std::string TimelineCsvRow(const SecondRecord& second) {
    std::string row = FormatPrintf("%.3f", second.t) + "," + std::to_string(second.step) + "," +
                      std::to_string(second.connections) + "," + std::to_string(second.bytes) +
                      "," + FormatPrintf("%.1f", second.rateBytesPerSecond) + "," +
                      std::to_string(second.articles) + "," + std::to_string(second.missing) + "," +
                      Cpu(second.engineCpu) + "," + (second.warmup ? "true" : "false");
    for (ConnectionActivity activity : Activities())
        row += "," + std::to_string(CountOf(second.states, ActivityKey(activity)));
    // A command without samples in the second has no latency: its cells stay empty.
    for (const std::string& command : CheckableCommands()) {
        const LatencyFigures* latency = LatencyOf(second, command);
        row += latency ? "," + std::to_string(latency->count) + "," + Ms(latency->p50) + "," +
                             Ms(latency->p99)
                       : std::string(",0,,");
    }
    for (const std::string& kind : CheckableFailureKinds())
        row += "," + std::to_string(CountOf(second.failures, kind));
    return row + "\n";
}

bool TimelineWriter::Open(const std::string& path, std::string& error) {
    m_csv = path.size() >= 4 && path.compare(path.size() - 4, 4, ".csv") == 0;
    errno = 0;
    m_out.open(path, std::ios::out | std::ios::trunc | std::ios::binary);
    if (!m_out.is_open()) {
        const int code = errno;
        error = "--timeline: cannot write '" + ShowSafely(path) + "'" +
                (code != 0 ? std::string(": ") + std::strerror(code) : std::string());
        return false;
    }
    if (m_csv)
        Put(TimelineCsvHeader());
    return true;
}

void TimelineWriter::WriteRun(const TimelineRun& run) {
    if (!m_csv)
        Put(TimelineRunLine(run));
}

void TimelineWriter::WriteSecond(const SecondRecord& second) {
    Put(m_csv ? TimelineCsvRow(second) : TimelineSecondLine(second));
}

void TimelineWriter::WriteEvent(const std::string& jsonLine) {
    if (!m_csv)
        Put(jsonLine);
}

void TimelineWriter::Put(const std::string& line) {
    if (!m_out.is_open())
        return;
    m_out.clear();
    m_out << line;
    m_out.flush();
    if (!m_out)
        m_good = false;
}
