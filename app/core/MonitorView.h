#pragma once
// What the front ends show of the engine's monitor, without any toolkit: the counts per
// connection state as one phrase, one table row per connection with its own rate, and the
// summary's failures, latencies and first-article time.
#include <cstdint>
#include <string>
#include <vector>

#include "app/core/RunSummary.h"
// The engine's header has a member named like a word that Qt defines as a macro; keep the
// macro out of it when a Qt header came first.
#pragma push_macro("slots")
#undef slots
#include "engine/EngineMonitor.h"
#pragma pop_macro("slots")

// "4 fetching, 1 delaying (27 s)": the states that have connections, in the order a
// connection goes through them; header and body fetching count as one. The delay shows the
// seconds left, as a range when the delaying connections differ.
std::string StateSummary(const ActivityCounts& counts);

// Connections past the connect, talking to the server (greeted or waiting for it).
std::uint64_t ConnectionsUp(const ActivityCounts& counts);

struct ConnectionRow {
    std::int32_t number = 0;
    std::string state;        // "fetching body", "delaying (27 s)", ...
    double rateKiB = 0.0;     // since the update before
    std::uint64_t articles = 0;
    std::string lastReply;    // the last status line, safe to show
};

// The per-connection table: each Update reads every connection's snapshot and turns its
// bytes into a rate over the time since the update before.
class ConnectionTable {
public:
    // `seconds`: a steady clock reading.
    void Update(const std::vector<ConnectionSnapshot>& snapshots, double seconds);
    const std::vector<ConnectionRow>& Rows() const { return m_rows; }
    // Every byte the connections received, as of the last update.
    std::uint64_t TotalBytes() const { return m_totalBytes; }

private:
    std::vector<ConnectionRow> m_rows;
    std::vector<std::uint64_t> m_lastBytes;
    double m_lastSeconds = 0.0;
    bool m_first = true;
    std::uint64_t m_totalBytes = 0;
};

// The state of one connection as the table shows it.
std::string StateText(const ConnectionSnapshot& snapshot);

// Failures by kind (every kind, in the engine's order), connections that reached the group,
// latencies of the kinds that have samples, and the time to the first article text.
void AddEngineDetails(const RunMonitor& run, RunSummary& summary);

// Why a run completed no article, for the user: the most frequent failure, that every
// article asked for was missing, or that nothing failed (with a hint when no news server is
// set).
std::string NoArticleReason(const RunMonitor& run, bool serverSet);
