#pragma once
// Reads what the engine thread publishes into the metrics' vocabulary. The one place that
// knows both the engine's counters and the label values of the exposition.
#include <cstdint>
#include <string>

#include "app/metrics/MetricsSnapshot.h"

class EngineCounters;
class EngineMonitor;
class LatencySnapshot;

// A snapshot of a running or finished download; safe on any thread. `monitor` may be null
// (then only the totals are known).
MetricsSnapshot ReadEngineMetrics(const EngineCounters& counters, const EngineMonitor* monitor,
                                  std::int64_t nowFileTime);
// The snapshot before any download: every figure zero, every label present.
MetricsSnapshot EmptyEngineMetrics();

// The engine's latency buckets merged into the coarser ones of the exposition. Every bound
// of the exposition is a bound of the engine's buckets, so no count is estimated.
DurationHistogram ToDurationHistogram(const LatencySnapshot& latency);
