#include "app/core/MonitorView.h"

#include <algorithm>

#include "app/core/IntervalActivity.h"
#include "app/core/SafeText.h"

namespace {

// Built front to back by appending: a literal put before a temporary string shifts its bytes
// with an overlapping copy (and gcc 12 warns about it in release).
std::string DelayText(std::int64_t shortest, std::int64_t longest) {
    std::string text = "(";
    text += std::to_string(shortest);
    if (shortest != longest) {
        text += "-";
        text += std::to_string(longest);
    }
    text += " s)";
    return text;
}

}  // namespace

std::string StateSummary(const ActivityCounts& counts) {
    std::string summary;
    const auto add = [&summary](std::uint64_t count, const std::string& name) {
        if (count == 0)
            return;
        if (!summary.empty())
            summary += ", ";
        summary += std::to_string(count) + " " + name;
    };
    for (std::size_t i = 0; i < static_cast<std::size_t>(ConnectionActivity::kCount); ++i) {
        const auto activity = static_cast<ConnectionActivity>(i);
        switch (activity) {
            case ConnectionActivity::kFetchingHeader:
                add(counts.Of(ConnectionActivity::kFetchingHeader) +
                        counts.Of(ConnectionActivity::kFetchingBody),
                    "fetching");
                break;
            case ConnectionActivity::kFetchingBody:
                break;
            case ConnectionActivity::kDelaying: {
                std::string delaying = "delaying ";
                delaying += DelayText(counts.shortestDelaySecondsLeft,
                                      counts.longestDelaySecondsLeft);
                add(counts.count[i], delaying);
                break;
            }
            default:
                add(counts.count[i], ActivityName(activity));
        }
    }
    return summary;
}

std::uint64_t ConnectionsUp(const ActivityCounts& counts) {
    std::uint64_t up = 0;
    for (ConnectionActivity activity :
         {ConnectionActivity::kAwaitingGreeting, ConnectionActivity::kLoggingIn,
          ConnectionActivity::kSelectingGroup, ConnectionActivity::kIdle,
          ConnectionActivity::kFetchingHeader, ConnectionActivity::kFetchingBody})
        up += counts.Of(activity);
    return up;
}

std::string StateText(const ConnectionSnapshot& snapshot) {
    std::string text = ActivityName(snapshot.activity);
    if (snapshot.activity == ConnectionActivity::kDelaying)
        text += " (" + std::to_string(snapshot.delaySecondsLeft) + " s)";
    return text;
}

void ConnectionTable::Update(const std::vector<ConnectionSnapshot>& snapshots, double seconds) {
    const double interval = m_first ? 0.0 : seconds - m_lastSeconds;
    m_rows.resize(snapshots.size());
    m_lastBytes.resize(snapshots.size(), 0);
    m_totalBytes = 0;
    for (std::size_t i = 0; i < snapshots.size(); ++i) {
        const ConnectionSnapshot& snapshot = snapshots[i];
        ConnectionRow& row = m_rows[i];
        const std::uint64_t before = m_lastBytes[i];
        row.number = snapshot.number;
        row.state = StateText(snapshot);
        row.rateKiB = interval > 0 && snapshot.bytes >= before
                          ? static_cast<double>(snapshot.bytes - before) / 1024.0 / interval
                          : 0.0;
        row.articles = snapshot.articles;
        row.lastReply = ShowSafely(snapshot.lastStatusLine);
        m_lastBytes[i] = snapshot.bytes;
        m_totalBytes += snapshot.bytes;
    }
    m_lastSeconds = seconds;
    m_first = false;
}

void AddEngineDetails(const RunMonitor& run, RunSummary& summary) {
    summary.engineDetails = true;
    summary.connectionsReachedGroup = static_cast<std::int64_t>(run.ConnectionsReachedGroup());
    summary.missingArticles = run.MissingArticles();
    summary.emptyGroupConnections = static_cast<std::int64_t>(run.EmptyGroupConnections());
    const std::int64_t firstArticle = run.MicrosecondsToFirstArticleText();
    summary.secondsToFirstArticle =
        firstArticle >= 0 ? static_cast<double>(firstArticle) / 1e6 : -1.0;
    summary.failures.clear();
    for (std::size_t i = 0; i < static_cast<std::size_t>(FailureKind::kCount); ++i) {
        const auto kind = static_cast<FailureKind>(i);
        summary.failures.push_back(
            {FailureName(kind), FailureKey(kind), run.Failures(kind), run.FailureReason(kind)});
    }
    summary.latencies.clear();
    for (std::size_t i = 0; i < static_cast<std::size_t>(CommandKind::kCount); ++i) {
        const auto kind = static_cast<CommandKind>(i);
        const LatencySnapshot latency = run.Latency(kind);
        if (latency.Count() > 0)
            summary.latencies.push_back(LatencyFiguresOf(CommandKey(kind), latency));
    }
}

std::string NoArticleReason(const RunMonitor& run, bool serverSet) {
    std::string reason = "no article was completed";
    const FailureKind most = run.MostFrequentFailure();
    if (most != FailureKind::kCount) {
        reason += "; most frequent failure: " + std::string(FailureName(most)) + " (" +
                  std::to_string(run.Failures(most)) + (run.Failures(most) == 1 ? " time)" : " times)");
    }
    const std::uint64_t empty = run.EmptyGroupConnections();
    if (empty > 0) {
        reason += "; empty group: the server has no article in it (found on " +
                  std::to_string(empty) + (empty == 1 ? " connection)" : " connections)");
    }
    const std::uint64_t missing = run.MissingArticles();
    if (missing > 0) {
        reason += "; " + std::to_string(missing) +
                  (missing == 1 ? " article was missing" : " articles were missing") +
                  " on the server (423/430)";
    }
    if (!serverSet) {
        reason +=
            "; no news server is set (give --server HOST[:PORT], or zodiva-reg set news_server "
            "HOST)";
    } else if (most == FailureKind::kCount && missing == 0 && empty == 0) {
        reason += "; no failure was counted";
    }
    return reason;
}
