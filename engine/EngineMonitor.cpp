#include "engine/EngineMonitor.h"

#include <algorithm>

EngineMonitor::EngineMonitor() {
    for (auto& batch : m_batches) {
        batch.store(nullptr, std::memory_order_relaxed);
    }
}

EngineMonitor::~EngineMonitor() {
    for (auto& batch : m_batches) {
        delete batch.load(std::memory_order_relaxed);
    }
}

ConnectionMonitor* EngineMonitor::AddConnections(std::size_t count, std::int32_t firstNumber) {
    std::lock_guard<std::mutex> lock(m_addLock);
    const std::size_t batches = m_batchCount.load(std::memory_order_relaxed);
    if (count == 0 || batches >= kMaxBatches) {
        return nullptr;
    }
    auto batch = std::make_unique<Batch>();
    batch->first = m_count.load(std::memory_order_relaxed);
    batch->size = count;
    batch->slots = std::make_unique<ConnectionMonitor[]>(count);
    const std::size_t numberBase =
        firstNumber > 0 ? static_cast<std::size_t>(firstNumber) - 1 : batch->first;
    for (std::size_t i = 0; i < count; ++i) {
        batch->slots[i].SetNumber(static_cast<std::int32_t>(numberBase + i + 1));
    }
    ConnectionMonitor* first = batch->slots.get();
    // Published batch first, count after: a reader that sees the count finds every slot.
    m_batches[batches].store(batch.release(), std::memory_order_release);
    m_batchCount.store(batches + 1, std::memory_order_release);
    m_count.store(m_count.load(std::memory_order_relaxed) + count, std::memory_order_release);
    return first;
}

template <typename Visit>
void EngineMonitor::ForEachSlot(Visit visit) const {
    const std::size_t total = m_count.load(std::memory_order_acquire);
    const std::size_t batches = m_batchCount.load(std::memory_order_acquire);
    for (std::size_t b = 0; b < batches; ++b) {
        const Batch* batch = m_batches[b].load(std::memory_order_acquire);
        if (batch == nullptr) {
            break;
        }
        for (std::size_t i = 0; i < batch->size && batch->first + i < total; ++i) {
            visit(batch->slots[i]);
        }
    }
}

void EngineMonitor::ReadConnections(std::vector<ConnectionSnapshot>& out,
                                    std::int64_t nowFileTime) const {
    out.clear();
    out.reserve(ConnectionCount());
    ForEachSlot([&](const ConnectionMonitor& slot) { out.push_back(slot.Read(nowFileTime)); });
    // Engines of a group add their batches in whatever order their threads run.
    const auto byNumber = [](const ConnectionSnapshot& a, const ConnectionSnapshot& b) {
        return a.number < b.number;
    };
    if (!std::is_sorted(out.begin(), out.end(), byNumber)) {
        std::sort(out.begin(), out.end(), byNumber);
    }
}

ActivityCounts EngineMonitor::CountActivities(std::int64_t nowFileTime) const {
    ActivityCounts counts;
    bool anyDelay = false;
    ForEachSlot([&](const ConnectionMonitor& slot) {
        const ConnectionActivity activity = slot.Activity();
        ++counts.count[static_cast<std::size_t>(activity)];
        if (IsTalkingToServer(activity)) {
            counts.oldestWaitSeconds =
                std::max(counts.oldestWaitSeconds, slot.Read(nowFileTime).waitSeconds);
            return;
        }
        if (activity != ConnectionActivity::kDelaying) {
            return;
        }
        const ConnectionSnapshot snapshot = slot.Read(nowFileTime);
        counts.oldestDelaySeconds = std::max(counts.oldestDelaySeconds, snapshot.delayAgeSeconds);
        const std::int64_t left = snapshot.delaySecondsLeft;
        if (!anyDelay || left < counts.shortestDelaySecondsLeft) {
            counts.shortestDelaySecondsLeft = left;
        }
        if (!anyDelay || left > counts.longestDelaySecondsLeft) {
            counts.longestDelaySecondsLeft = left;
        }
        anyDelay = true;
    });
    return counts;
}
