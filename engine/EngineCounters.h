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
        totals.bytesReceived = bytes_.load(std::memory_order_relaxed);
        totals.articlesCompleted = articles_.load(std::memory_order_relaxed);
        totals.connections = connections_.load(std::memory_order_relaxed);
        totals.ticks = ticks_.load(std::memory_order_relaxed);
        return totals;
    }
    // The sum of the engines' rates as of their last ticks.
    double Rate() const {
        double total = 0.0;
        for (const auto& rate : rates_) total += rate.load(std::memory_order_relaxed);
        return total;
    }

    // The rate one engine published last.
    double EngineRate(std::size_t engine) const {
        return rates_[engine < kMaxEngines ? engine : kMaxEngines - 1].load(
            std::memory_order_relaxed);
    }
    // engine: 0 .. kMaxEngines - 1, the publishing engine's own slot.
    void PublishRate(double rate, std::size_t engine = 0) {
        rates_[engine < kMaxEngines ? engine : kMaxEngines - 1].store(rate,
                                                                      std::memory_order_relaxed);
    }
    void AddBytes(std::uint64_t bytes) { bytes_.fetch_add(bytes, std::memory_order_relaxed); }
    // Each connection counts its completed bodies straight into this total.
    std::atomic<std::uint64_t>* ArticleCounter() { return &articles_; }
    void AddConnection() { connections_.fetch_add(1, std::memory_order_relaxed); }
    void AddTick() { ticks_.fetch_add(1, std::memory_order_relaxed); }

private:
    std::array<std::atomic<double>, kMaxEngines> rates_{};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> articles_{0};
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::uint64_t> ticks_{0};
};
