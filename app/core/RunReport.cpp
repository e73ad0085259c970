#include "app/core/RunReport.h"

#include <cstdio>
#include <ctime>

#include "app/core/JsonObject.h"
#include "app/core/MonitorView.h"
#include "app/core/SafeText.h"

namespace {

// "  2 refused, 1 time_out, 3 missing" for the seconds that had any.
std::string TextActivity(const IntervalActivity& activity) {
    std::string text;
    for (const auto& [kind, count] : activity.failures)
        text += (text.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
    if (activity.missing > 0)
        text += (text.empty() ? "" : ", ") + std::to_string(activity.missing) + " missing";
    return text.empty() ? text : "  [" + text + "]";
}

// The connections per state, and beside them how long the oldest delay has run and how long
// the longest wait for the server has lasted (toward the receive time-out), in seconds.
JsonObject StatesJson(const RateSample& sample) {
    JsonObject states = CountsJson(sample.stateCounts);
    states.Signed("oldest_delay_s", sample.oldestDelaySeconds)
        .Signed("oldest_wait_s", sample.oldestWaitSeconds);
    return states;
}

}  // namespace

void SetSampleStates(const ActivityCounts& counts, RateSample& sample) {
    sample.states = StateSummary(counts);
    sample.stateCounts.clear();
    for (std::size_t i = 0; i < static_cast<std::size_t>(ConnectionActivity::kCount); ++i) {
        const auto activity = static_cast<ConnectionActivity>(i);
        sample.stateCounts.emplace_back(ActivityKey(activity), counts.count[i]);
    }
    sample.delaying = counts.Of(ConnectionActivity::kDelaying) > 0;
    sample.shortestDelayLeft = counts.shortestDelaySecondsLeft;
    sample.longestDelayLeft = counts.longestDelaySecondsLeft;
    sample.oldestDelaySeconds = counts.oldestDelaySeconds;
    sample.oldestWaitSeconds = counts.oldestWaitSeconds;
}

std::string ConnectionsText(long long connections) {
    return std::to_string(connections) + (connections == 1 ? " connection" : " connections");
}

std::string KBpsText(double kibPerSecond) {
    return FormatNumber("%.2fKBps", kibPerSecond);
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
        JsonObject line;
        line.Text("event", "rate");
        if (sample.step > 0) {
            line.Signed("step", sample.step).Count("connections", sample.connections);
        }
        line.Text("time", sample.utcTime)
            .Number("elapsed_s", sample.elapsedSeconds, 3)
            .Number("interval_s", interval.seconds, 3)
            .Number("rate_kib_s", interval.rateKiB, 2)
            .Text("text", KBpsText(interval.rateKiB))
            .Text("rate", HumanRate(interval.rateKiB))
            .Number("rate_mb_s", interval.rateKiB * 1024.0 / 1e6, 3)
            .Number("rate_bytes_per_s", interval.rateKiB * 1024.0, 0)
            .Count("bytes", interval.bytes)
            .Count("articles", interval.articles)
            .Number("articles_per_s", interval.articlesPerSecond, 1)
            .Number("engine_rate_kib_s", sample.engineRate, 2)
            .Member("states", StatesJson(sample));
        if (sample.delaying) {
            line.Member("delay_left_s", JsonObject()
                                            .Signed("min", sample.shortestDelayLeft)
                                            .Signed("max", sample.longestDelayLeft));
        }
        line.Member("failures", CountsJson(sample.activity.failures))
            .Count("missing", sample.activity.missing)
            .Member("latency", LatencyJson(sample.activity.latencies, false));
        if (sample.activity.engineCpu >= 0)
            line.Number("engine_cpu", sample.activity.engineCpu, 3);
        else
            line.Null("engine_cpu");
        return line.Line();
    }
    std::string text = FormatNumber("%6.1fs  ", sample.elapsedSeconds) +
                       HumanRate(interval.rateKiB) + "  " + KBpsText(interval.rateKiB) + "  " +
                       FormatNumber("%.1f articles/s", interval.articlesPerSecond);
    if (!sample.states.empty())
        text += "  " + sample.states;
    return text + TextActivity(sample.activity) + "\n";
}

std::string FormatSummary(const RunSummary& summary, bool json) {
    if (!json)
        return SummaryText(summary);
    JsonObject line;
    line.Text("event", "summary").Flag("summary", true).Merge(SummaryJson(summary));
    return line.Line();
}
