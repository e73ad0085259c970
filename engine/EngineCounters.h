#pragma once
// Figures of one download that the engine threads publish for the front end's thread. A
// download may run on several engine threads (EngineGroup): they share one set of counters,
// each adding its bytes, articles, connections and ticks, and each publishing its own rate in
// a slot of its own. Read from any thread without blocking a writer.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

struct EngineTotals {
    double rate = 0.0;                // KiB/s, the sum of the connections' rates at the last tick
    std::uint64_t bytesReceived = 0;  // every byte the connections read from their sockets
    std::uint64_t articlesCompleted = 0;  // bodies received up to their end line
    std::uint64_t connections = 0;        // connections created
    std::uint64_t ticks = 0;              // 2-second ticks the engines have relayed, together
};

class EngineCounters {
public:
    // The most engine threads one download may have.
    static constexpr std::size_t kMaxEngines = 64;

    EngineTotals Read() const {
        EngineTotals totals;
        totals.rate = Rate();
        totals.bytesReceived = m_bytes.load(std::memory_order_relaxed);
        totals.articlesCompleted = m_articles.load(std::memory_order_relaxed);
        totals.connections = m_connections.load(std::memory_order_relaxed);
        totals.ticks = m_ticks.load(std::memory_order_relaxed);
        return totals;
    }
    // The sum of the engines' rates as of their last ticks.
    double Rate() const {
        double total = 0.0;
        for (const auto& rate : m_rates) total += rate.load(std::memory_order_relaxed);
        return total;
    }

    // The rate one engine published last.
    double EngineRate(std::size_t engine) const {
        return m_rates[engine < kMaxEngines ? engine : kMaxEngines - 1].load(
            std::memory_order_relaxed);
    }
    // engine: 0 .. kMaxEngines - 1, the publishing engine's own slot.
    void PublishRate(double rate, std::size_t engine = 0) {
        m_rates[engine < kMaxEngines ? engine : kMaxEngines - 1].store(rate,
                                                                       std::memory_order_relaxed);
    }
    void AddBytes(std::uint64_t bytes) { m_bytes.fetch_add(bytes, std::memory_order_relaxed); }
    // Each connection counts its completed bodies straight into this total.
    std::atomic<std::uint64_t>* ArticleCounter() { return &m_articles; }
    void AddConnection() { m_connections.fetch_add(1, std::memory_order_relaxed); }
    void AddTick() { m_ticks.fetch_add(1, std::memory_order_relaxed); }

private:
    std::array<std::atomic<double>, kMaxEngines> m_rates{};
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::uint64_t> m_articles{0};
    std::atomic<std::uint64_t> m_connections{0};
    std::atomic<std::uint64_t> m_ticks{0};
};
