#include "app/metrics/MetricsSnapshot.h"

#include <algorithm>
#include <numeric>

namespace {

template <typename Value, typename AddFn>
void AddByLabel(Labelled<Value>& into, const Labelled<Value>& from, AddFn add) {
    for (const auto& [label, value] : from) {
        auto found = std::find_if(into.begin(), into.end(),
                                  [&](const auto& entry) { return entry.first == label; });
        if (found == into.end()) {
            into.emplace_back(label, value);
        } else {
            add(found->second, value);
        }
    }
}

}  // namespace

std::uint64_t DurationHistogram::Count() const {
    return std::accumulate(counts.begin(), counts.end(), std::uint64_t{0});
}

bool DurationHistogram::Add(const DurationHistogram& other) {
    if (other.upperBoundsSeconds != upperBoundsSeconds || other.counts.size() != counts.size()) {
        return false;
    }
    for (std::size_t i = 0; i < counts.size(); ++i) {
        counts[i] += other.counts[i];
    }
    sumSeconds += other.sumSeconds;
    return true;
}

void MetricsSnapshot::AddCounters(const MetricsSnapshot& other) {
    receivedBytes += other.receivedBytes;
    engineCpuSeconds += other.engineCpuSeconds;
    articlesCompleted += other.articlesCompleted;
    missingArticles += other.missingArticles;
    AddByLabel(failuresByKind, other.failuresByKind,
               [](std::uint64_t& into, std::uint64_t from) { into += from; });
    // The engine's buckets never change within a process; a histogram that does not match is
    // kept as it is rather than mixed with other bounds.
    AddByLabel(commandDurations, other.commandDurations,
               [](DurationHistogram& into, const DurationHistogram& from) { into.Add(from); });
}
