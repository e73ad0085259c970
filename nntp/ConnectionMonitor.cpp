#include "nntp/ConnectionMonitor.h"

#include <cstring>

#include "platform/Time.h"

namespace {

constexpr const char* kActivityNames[] = {
    "not connected",   "looking up", "connecting",      "waiting for greeting", "logging in",
    "selecting group", "idle",       "fetching header", "fetching body",        "delaying"};
static_assert(std::size(kActivityNames) == static_cast<std::size_t>(ConnectionActivity::kCount));

constexpr const char* kFailureNames[] = {"lookup",           "refused",          "time-out",
                                         "greeting refused", "login refused",    "group refused",
                                         "error reply",      "closed by server", "proxy",
                                         "tls handshake"};
static_assert(std::size(kFailureNames) == static_cast<std::size_t>(FailureKind::kCount));

// snake_case, as they appear as JSON keys and metric labels.
constexpr const char* kCommandNames[] = {"greeting",  "authinfo",  "group",  "head",
                                         "body",      "body_text", "head_text", "article"};
static_assert(std::size(kCommandNames) == static_cast<std::size_t>(CommandKind::kCount));

}  // namespace

const char* ActivityName(ConnectionActivity activity) {
    const auto index = static_cast<std::size_t>(activity);
    return index < std::size(kActivityNames) ? kActivityNames[index] : "unknown";
}

const char* FailureName(FailureKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kFailureNames) ? kFailureNames[index] : "none";
}

const char* CommandName(CommandKind kind) {
    const auto index = static_cast<std::size_t>(kind);
    return index < std::size(kCommandNames) ? kCommandNames[index] : "unknown";
}

bool IsTalkingToServer(ConnectionActivity activity) {
    switch (activity) {
        case ConnectionActivity::kAwaitingGreeting:
        case ConnectionActivity::kLoggingIn:
        case ConnectionActivity::kSelectingGroup:
        case ConnectionActivity::kFetchingHeader:
        case ConnectionActivity::kFetchingBody:
            return true;
        default:
            return false;
    }
}

// --- ConnectionMonitor ----------------------------------------------------------------------

void ConnectionMonitor::SetDelay(std::int64_t startFileTime, std::int32_t seconds) {
    m_delayStart.store(startFileTime, std::memory_order_relaxed);
    m_delaySeconds.store(seconds, std::memory_order_relaxed);
    SetActivity(ConnectionActivity::kDelaying);
}

bool ConnectionMonitor::MarkReachedGroup() {
    if (m_reachedGroup.load(std::memory_order_relaxed)) {
        return false;
    }
    m_reachedGroup.store(true, std::memory_order_relaxed);
    return true;
}

void ConnectionMonitor::SetLastStatusLine(const char* line) {
    m_line.Store(line);
}

ConnectionSnapshot ConnectionMonitor::Read(std::int64_t nowFileTime) const {
    ConnectionSnapshot snapshot;
    snapshot.number = m_number.load(std::memory_order_relaxed);
    snapshot.activity = Activity();
    snapshot.bytes = m_bytes.load(std::memory_order_relaxed);
    snapshot.articles = m_articles.load(std::memory_order_relaxed);
    snapshot.reachedGroup = m_reachedGroup.load(std::memory_order_relaxed);
    if (snapshot.activity == ConnectionActivity::kDelaying) {
        // The delay ends at the first tick at which more whole seconds than its length have
        // passed. A clock set back makes the elapsed time negative: then the whole delay is
        // still ahead, not more than that.
        const std::int64_t seconds = m_delaySeconds.load(std::memory_order_relaxed);
        std::int64_t elapsed = (nowFileTime - m_delayStart.load(std::memory_order_relaxed)) /
                               platform::kFileTimeUnitsPerSecond;
        if (elapsed < 0) {
            elapsed = 0;
        }
        const std::int64_t left = seconds + 1 - elapsed;
        snapshot.delaySecondsLeft = left > 0 ? left : 0;
        snapshot.delayAgeSeconds = elapsed;
    }
    if (IsTalkingToServer(snapshot.activity)) {
        const std::int64_t start = m_waitStart.load(std::memory_order_relaxed);
        const std::int64_t waited = (nowFileTime - start) / platform::kFileTimeUnitsPerSecond;
        snapshot.waitSeconds = start == 0 || waited < 0 ? 0 : waited;
    }

    m_line.Load(snapshot.lastStatusLine);
    return snapshot;
}

// --- RunMonitor -----------------------------------------------------------------------------

RunMonitor::RunMonitor() {
    for (auto& failures : m_failures) {
        failures.store(0, std::memory_order_relaxed);
    }
}

void RunMonitor::SetFailureReason(FailureKind kind, const char* text) {
    const auto index = static_cast<std::size_t>(kind);
    if (index < m_reasons.size()) {
        m_reasons[index].Store(text);
    }
}

std::string RunMonitor::FailureReason(FailureKind kind) const {
    const auto index = static_cast<std::size_t>(kind);
    if (index >= m_reasons.size()) {
        return std::string();
    }
    char text[kFailureReasonSize];
    m_reasons[index].Load(text);
    return text;
}

void RunMonitor::MarkStart(std::int64_t monotonicTime) {
    m_start.store(monotonicTime, std::memory_order_relaxed);
}

void RunMonitor::MarkArticleText(std::int64_t monotonicTime) {
    if (m_firstArticleText.load(std::memory_order_relaxed) >= 0) {
        return;
    }
    std::int64_t microseconds = (monotonicTime - m_start.load(std::memory_order_relaxed)) / 10;
    if (microseconds < 0) {
        microseconds = 0;
    }
    std::int64_t none = -1;
    m_firstArticleText.compare_exchange_strong(none, microseconds, std::memory_order_relaxed);
}

std::int64_t RunMonitor::MicrosecondsToFirstArticleText() const {
    return m_firstArticleText.load(std::memory_order_relaxed);
}

std::uint64_t RunMonitor::TotalFailures() const {
    std::uint64_t total = 0;
    for (const auto& failures : m_failures) {
        total += failures.load(std::memory_order_relaxed);
    }
    return total;
}

FailureKind RunMonitor::MostFrequentFailure() const {
    FailureKind most = FailureKind::kCount;
    std::uint64_t highest = 0;
    for (std::size_t i = 0; i < m_failures.size(); ++i) {
        const std::uint64_t count = m_failures[i].load(std::memory_order_relaxed);
        if (count > highest) {
            highest = count;
            most = static_cast<FailureKind>(i);
        }
    }
    return most;
}
