#pragma once
// Reads what the engine thread publishes into the metrics' vocabulary. The one place that
// knows both the engine's counters and the label values of the exposition.
#include "app/metrics/MetricsSnapshot.h"
#include "engine/EngineCounters.h"

// A snapshot of a running or finished download; safe on any thread.
MetricsSnapshot ReadEngineMetrics(const EngineCounters& counters);
// The snapshot before any download: every figure zero.
MetricsSnapshot EmptyEngineMetrics();
