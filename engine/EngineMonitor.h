#pragma once
// Everything a front end may watch of a download while it runs and after it ended, apart from
// the totals of EngineCounters: every connection's activity, the failures by kind, latencies
// per command, the time to the first article text, and the status rows of all connections.
//
// Use (front end's thread):
//   auto monitor = std::make_shared<EngineMonitor>();
//   thread->SetMonitor(monitor);          // CQWThread, before Start
//   thread->Start(); ...                  // as before
//   each second:  monitor->ReadConnections(rows, platform::CurrentFileTime());
//                 monitor->Run().Failures(FailureKind::kLookup) ...
//                 StatusRow row; while (monitor->StatusRows().TryPop(row)) show(row);
//
// Thread rules: the engine threads write, any thread reads, readers never lock and an engine
// thread never waits for a reader. The monitor is shared: it stays readable after Stop (final
// figures for the summary), and with several engine threads (EngineGroup) they all publish
// into one. Connection slots are added by the engine threads when they create connections
// (the adders take turns; readers do not wait for them); their addresses never change.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "nntp/ConnectionMonitor.h"

// How many connections are in each activity, and the shortest delay still to run.
struct ActivityCounts {
    std::array<std::uint64_t, static_cast<std::size_t>(ConnectionActivity::kCount)> count{};
    // Among the connections that are delaying: the fewest seconds left (0 when none delays).
    std::int64_t shortestDelaySecondsLeft = 0;
    // ... and the most seconds left.
    std::int64_t longestDelaySecondsLeft = 0;
    // Among the connections that are delaying: the most seconds since a delay was armed
    // (0 when none delays).
    std::int64_t oldestDelaySeconds = 0;
    // Among the connections talking to the server: the longest wait for data so far, the
    // one nearest its receive time-out (0 when none waits).
    std::int64_t oldestWaitSeconds = 0;

    std::uint64_t Of(ConnectionActivity activity) const {
        return count[static_cast<std::size_t>(activity)];
    }
};

class EngineMonitor {
public:
    // The most rows a list of status rows should keep (the oldest dropped beyond it).
    static constexpr int kStatusRowLimit = 1000;

    EngineMonitor();
    ~EngineMonitor();
    EngineMonitor(const EngineMonitor&) = delete;
    EngineMonitor& operator=(const EngineMonitor&) = delete;

    RunMonitor& Run() { return m_run; }
    const RunMonitor& Run() const { return m_run; }
    // Rows of all connections, oldest first; drain it with TryPop.
    StatusRowQueue& StatusRows() { return m_run.StatusRows(); }

    // --- engine thread ------------------------------------------------------------------
    // `count` new slots numbered from firstNumber on, or on from the slots added so far when
    // firstNumber is 0 (the first connection is 1); null when count is 0 or the monitor has no
    // room for another batch (the connections then go unwatched; nothing else changes).
    // Several engine threads may add at once.
    ConnectionMonitor* AddConnections(std::size_t count, std::int32_t firstNumber = 0);

    // --- any thread ---------------------------------------------------------------------
    std::size_t ConnectionCount() const { return m_count.load(std::memory_order_acquire); }
    // Replaces `out` with one snapshot per connection, in connection-number order.
    void ReadConnections(std::vector<ConnectionSnapshot>& out, std::int64_t nowFileTime) const;
    ActivityCounts CountActivities(std::int64_t nowFileTime) const;

private:
    struct Batch {
        std::size_t first = 0;  // index of its first slot among all slots
        std::size_t size = 0;
        std::unique_ptr<ConnectionMonitor[]> slots;
    };
    static constexpr std::size_t kMaxBatches = 256;

    template <typename Visit>
    void ForEachSlot(Visit visit) const;

    RunMonitor m_run;
    std::mutex m_addLock;  // taken by adders only
    std::array<std::atomic<Batch*>, kMaxBatches> m_batches{};
    std::atomic<std::size_t> m_batchCount{0};
    std::atomic<std::size_t> m_count{0};
};
