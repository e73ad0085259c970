#pragma once
// Figures of one download that the engine thread publishes for the front end's thread.
// Written only by the engine thread; read from any thread without blocking it.
#include <atomic>
#include <cstdint>

struct EngineTotals {
    double rate = 0.0;                // KiB/s, the sum of the connections' rates at the last tick
    std::uint64_t bytesReceived = 0;  // every byte the connections read from their sockets
    std::uint64_t articlesCompleted = 0;  // bodies received up to their end line
    std::uint64_t connections = 0;        // connections created
    std::uint64_t ticks = 0;              // 2-second ticks the engine has relayed
};

class EngineCounters {
public:
    EngineTotals Read() const {
        EngineTotals totals;
        totals.rate = rate_.load(std::memory_order_relaxed);
        totals.bytesReceived = bytes_.load(std::memory_order_relaxed);
        totals.articlesCompleted = articles_.load(std::memory_order_relaxed);
        totals.connections = connections_.load(std::memory_order_relaxed);
        totals.ticks = ticks_.load(std::memory_order_relaxed);
        return totals;
    }
    double Rate() const { return rate_.load(std::memory_order_relaxed); }

    void PublishRate(double rate) { rate_.store(rate, std::memory_order_relaxed); }
    void AddBytes(std::uint64_t bytes) { bytes_.fetch_add(bytes, std::memory_order_relaxed); }
    // Each connection counts its completed bodies straight into this total.
    std::atomic<std::uint64_t>* ArticleCounter() { return &articles_; }
    void AddConnection() { connections_.fetch_add(1, std::memory_order_relaxed); }
    void AddTick() { ticks_.fetch_add(1, std::memory_order_relaxed); }

private:
    std::atomic<double> rate_{0.0};
    std::atomic<std::uint64_t> bytes_{0};
    std::atomic<std::uint64_t> articles_{0};
    std::atomic<std::uint64_t> connections_{0};
    std::atomic<std::uint64_t> ticks_{0};
};
