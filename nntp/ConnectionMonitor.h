#pragma once
// What a connection tells the world while it works, published for other threads to read
// without a lock and without ever making the engine thread wait.
//
//  - ConnectionMonitor: one per connection. What it is doing (looking up, connecting, ...,
//    delaying with the seconds left), bytes received, articles completed, the last status
//    line the server sent. Written by the engine thread only; read with Read() from any
//    thread.
//  - RunMonitor: one per download, shared by its connections. Failures by kind, connections
//    that reached the group, latency per command kind, the time to the first article text,
//    and the queue of status rows. Written by the engine thread, read from any thread.
//
// Every figure is an atomic (relaxed unless stated); the last status line and the failure
// reasons are SequencedTexts, so a reader never sees a half-written line and the writer never
// waits.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

#include <string>

#include "support/LatencyHistogram.h"
#include "support/SequencedText.h"
#include "support/StatusRowQueue.h"

// What a connection is doing. Fetching overview lines counts as fetching the header.
enum class ConnectionActivity : std::uint8_t {
    kNotConnected,      // no connection (not started yet, or dropped)
    kLookingUp,         // resolving the server's (or proxy's) name
    kConnecting,        // connect started, also through the proxy
    kAwaitingGreeting,  // connected, waiting for the server's first line
    kLoggingIn,         // AUTHINFO USER or PASS outstanding
    kSelectingGroup,    // GROUP outstanding
    kIdle,              // greeted, nothing outstanding (between commands)
    kFetchingHeader,    // HEAD sent or header lines arriving
    kFetchingBody,      // BODY sent or body lines arriving
    kDelaying,          // waiting before a retry; see ConnectionSnapshot::delaySecondsLeft
    kCount
};
// "not connected", "looking up", "connecting", "waiting for greeting", "logging in",
// "selecting group", "idle", "fetching header", "fetching body", "delaying".
const char* ActivityName(ConnectionActivity activity);
// The activities in which a connection waits on the server, under the receive time-out.
bool IsTalkingToServer(ConnectionActivity activity);

// Why a connection failed, as counted by RunMonitor.
enum class FailureKind : std::uint8_t {
    kLookup,           // the server's name could not be resolved
    kRefused,          // the connect failed (refused, unreachable, ...) on a direct connection
    kTimeout,          // no reply within the receive time-out, or the connect timed out
    kGreetingRefused,  // the greeting was not 2xx
    kLoginRefused,     // user name or password rejected
    kGroupRefused,     // GROUP answered with an error, or with numbers that make no sense
    kErrorReply,       // an error reply to HEAD, BODY or XOVER (a missing article is not one)
    kClosedByServer,   // the server closed or reset the connection
    kProxy,            // the connect through the SOCKS5 proxy failed
    kTls,              // the TLS handshake failed (certificate, protocol, closed, timed out)
    kCount
};
// "lookup", "refused", "time-out", "greeting refused", "login refused", "group refused",
// "error reply", "closed by server", "proxy", "tls handshake".
const char* FailureName(FailureKind kind);

// Commands whose latency is measured: from the moment the command was sent (for the greeting:
// from the moment the connection was made) to its status line, or to the final dot of its text.
enum class CommandKind : std::uint8_t {
    kGreeting,
    kAuthinfo,  // USER and PASS alike
    kGroup,
    kHead,
    kBodyStatus,
    kBodyText,  // BODY sent to the body's final dot
    kHeadText,  // HEAD sent to the header's final dot
    kArticle,   // HEAD sent to the body's final dot: the whole article
    kCount
};
// "greeting", "authinfo", "group", "head", "body", "body_text", "head_text", "article".
const char* CommandName(CommandKind kind);

// The last status line is kept up to this many characters (without its CR LF).
inline constexpr std::size_t kLastStatusLineSize = 128;
// A failure's reason is kept up to this many characters, its NUL included.
inline constexpr std::size_t kFailureReasonSize = 160;

// One connection as a reader sees it.
struct ConnectionSnapshot {
    std::int32_t number = 0;  // 1..N
    ConnectionActivity activity = ConnectionActivity::kNotConnected;
    // While delaying: whole seconds until the retry at the earliest (the delay ends at the
    // first 2-second tick after it); 0 otherwise.
    std::int64_t delaySecondsLeft = 0;
    // While delaying: whole seconds since the delay was armed; 0 otherwise.
    std::int64_t delayAgeSeconds = 0;
    // While talking to the server (waiting for the greeting, a reply or more text): whole
    // seconds since the last wait for data began, the figure the receive time-out compares
    // with its limit; -1 otherwise.
    std::int64_t waitSeconds = -1;
    std::uint64_t bytes = 0;     // received since the connection was made
    std::uint64_t articles = 0;  // bodies received to their end line
    bool reachedGroup = false;   // GROUP was answered with 211 at least once
    // The last status line the server sent (greeting or reply), CR LF removed, control bytes
    // as the server sent them: escape them before showing it. Empty before the first.
    char lastStatusLine[kLastStatusLineSize] = {};
};

class ConnectionMonitor {
public:
    ConnectionMonitor() = default;
    ConnectionMonitor(const ConnectionMonitor&) = delete;
    ConnectionMonitor& operator=(const ConnectionMonitor&) = delete;

    // --- engine thread ------------------------------------------------------------------
    void SetNumber(std::int32_t number) { m_number.store(number, std::memory_order_relaxed); }
    void SetActivity(ConnectionActivity activity) {
        m_activity.store(static_cast<std::uint8_t>(activity), std::memory_order_relaxed);
    }
    // A retry delay of `seconds` armed at system time `startFileTime`.
    void SetDelay(std::int64_t startFileTime, std::int32_t seconds);
    // A wait for data from the server began at system time `startFileTime`.
    void SetWaitStart(std::int64_t startFileTime) {
        m_waitStart.store(startFileTime, std::memory_order_relaxed);
    }
    void AddBytes(std::uint64_t bytes) {
        m_bytes.store(m_bytes.load(std::memory_order_relaxed) + bytes, std::memory_order_relaxed);
    }
    void AddArticle() {
        m_articles.store(m_articles.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    // True the first time only.
    bool MarkReachedGroup();
    void SetLastStatusLine(const char* line);

    // --- any thread ---------------------------------------------------------------------
    // nowFileTime: the current system time, for the seconds left of a delay.
    ConnectionSnapshot Read(std::int64_t nowFileTime) const;
    ConnectionActivity Activity() const {
        return static_cast<ConnectionActivity>(m_activity.load(std::memory_order_relaxed));
    }

private:
    std::atomic<std::int32_t> m_number{0};
    std::atomic<std::uint8_t> m_activity{0};
    std::atomic<bool> m_reachedGroup{false};
    std::atomic<std::int64_t> m_delayStart{0};
    std::atomic<std::int32_t> m_delaySeconds{0};
    std::atomic<std::int64_t> m_waitStart{0};
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::uint64_t> m_articles{0};
    SequencedText<kLastStatusLineSize> m_line;
};

class RunMonitor {
public:
    RunMonitor();
    RunMonitor(const RunMonitor&) = delete;
    RunMonitor& operator=(const RunMonitor&) = delete;

    // --- engine thread ------------------------------------------------------------------
    void CountFailure(FailureKind kind) {
        m_failures[static_cast<std::size_t>(kind)].fetch_add(1, std::memory_order_relaxed);
    }
    void CountMissingArticle() { m_missingArticles.fetch_add(1, std::memory_order_relaxed); }
    // Once per connection that found the group empty ("211 0 ...").
    void CountEmptyGroup() { m_emptyGroup.fetch_add(1, std::memory_order_relaxed); }
    // The latest reason for a failure of this kind, in words ("Proxy authentication failed",
    // "481 Authentication failed"); cut to kFailureReasonSize - 1 characters, line end dropped.
    void SetFailureReason(FailureKind kind, const char* text);
    void CountConnectionReachedGroup() { m_reachedGroup.fetch_add(1, std::memory_order_relaxed); }
    void RecordLatency(CommandKind kind, std::uint64_t microseconds) {
        m_latency[static_cast<std::size_t>(kind)].Record(microseconds);
    }
    // The download started at this monotonic time (platform::MonotonicTime).
    void MarkStart(std::int64_t monotonicTime);
    // Article text arrived at this monotonic time; only the first call counts.
    void MarkArticleText(std::int64_t monotonicTime);

    // --- any thread ---------------------------------------------------------------------
    std::uint64_t Failures(FailureKind kind) const {
        return m_failures[static_cast<std::size_t>(kind)].load(std::memory_order_relaxed);
    }
    std::uint64_t TotalFailures() const;
    // The kind counted most often (the first of equals), or kCount when nothing failed.
    FailureKind MostFrequentFailure() const;
    // 423/430 replies to HEAD or BODY: articles that were skipped, not failures.
    std::uint64_t MissingArticles() const {
        return m_missingArticles.load(std::memory_order_relaxed);
    }
    std::uint64_t ConnectionsReachedGroup() const {
        return m_reachedGroup.load(std::memory_order_relaxed);
    }
    // Connections that found the group empty (each counted once).
    std::uint64_t EmptyGroupConnections() const {
        return m_emptyGroup.load(std::memory_order_relaxed);
    }
    // The latest reason given for kind, or an empty text when none was. Never torn.
    std::string FailureReason(FailureKind kind) const;
    LatencySnapshot Latency(CommandKind kind) const {
        return m_latency[static_cast<std::size_t>(kind)].Snapshot();
    }
    // Microseconds from the start to the first article text, or -1 when none has arrived.
    std::int64_t MicrosecondsToFirstArticleText() const;
    bool ArticleTextReceived() const { return MicrosecondsToFirstArticleText() >= 0; }

    // Status rows of every connection of the download, oldest first. The front end drains
    // it (TryPop); when nobody does, new rows are dropped and counted (Dropped).
    StatusRowQueue& StatusRows() { return m_rows; }

private:
    std::array<std::atomic<std::uint64_t>, static_cast<std::size_t>(FailureKind::kCount)>
        m_failures{};
    std::atomic<std::uint64_t> m_missingArticles{0};
    std::atomic<std::uint64_t> m_reachedGroup{0};
    std::atomic<std::uint64_t> m_emptyGroup{0};
    std::array<SequencedText<kFailureReasonSize>, static_cast<std::size_t>(FailureKind::kCount)>
        m_reasons;
    std::array<LatencyHistogram, static_cast<std::size_t>(CommandKind::kCount)> m_latency;
    std::atomic<std::int64_t> m_start{0};
    std::atomic<std::int64_t> m_firstArticleText{-1};  // microseconds after m_start
    StatusRowQueue m_rows;
};
