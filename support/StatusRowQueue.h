#pragma once
// Status rows on their way from the engine thread to a front end: a bounded queue that never
// makes either side wait. Pushing into a full queue drops the row and counts it; popping an
// empty queue returns false. Any number of threads may push and pop at once.
//
// Each slot holds a whole row, so neither side allocates; a row is the text a status list
// composed (at most kStatusRowMaxLength characters), the system time it was added at and the
// number (1..N) of the connection that added it.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "support/ErrorText.h"

struct StatusRow {
    std::int64_t fileTime = 0;   // system time, 100-ns units since 1601 (GetSystemTimeAsFileTime)
    std::int32_t connection = 0; // 1..N; 0 for a row of the engine itself
    char text[kStatusRowSize] = {};
};

class StatusRowQueue {
public:
    static constexpr std::size_t kDefaultCapacity = 1024;

    // capacity is rounded up to a power of two.
    explicit StatusRowQueue(std::size_t capacity = kDefaultCapacity);
    ~StatusRowQueue();
    StatusRowQueue(const StatusRowQueue&) = delete;
    StatusRowQueue& operator=(const StatusRowQueue&) = delete;

    // False (and the row counted as dropped) when the queue is full. text is cut at
    // kStatusRowMaxLength characters.
    bool TryPush(std::int64_t fileTime, std::int32_t connection, const char* text);
    // The oldest row, or false when there is none.
    bool TryPop(StatusRow& row);

    std::size_t Capacity() const { return m_mask + 1; }
    // Rows pushed (dropped ones not included) and rows dropped because the queue was full.
    std::uint64_t Pushed() const { return m_pushed.load(std::memory_order_relaxed); }
    std::uint64_t Dropped() const { return m_dropped.load(std::memory_order_relaxed); }

private:
    struct Slot {
        std::atomic<std::size_t> sequence{0};
        StatusRow row;
    };

    std::unique_ptr<Slot[]> m_slots;
    std::size_t m_mask = 0;
    alignas(64) std::atomic<std::size_t> m_head{0};  // next slot to pop
    alignas(64) std::atomic<std::size_t> m_tail{0};  // next slot to push
    alignas(64) std::atomic<std::uint64_t> m_pushed{0};
    std::atomic<std::uint64_t> m_dropped{0};
};
