#pragma once
// The metrics of one snapshot in the text exposition format that scrapers read
// (version 0.0.4): # HELP and # TYPE before each family, one sample per line.
#include <string>

#include "app/metrics/MetricsSnapshot.h"

inline constexpr const char* kExpositionContentType = "text/plain; version=0.0.4; charset=utf-8";

// Labels every sample carries, in this order (instance and server).
using CommonLabels = Labelled<std::string>;

std::string FormatExposition(const MetricsSnapshot& snapshot, const CommonLabels& labels);

// A sample value: integers exactly, others in the shortest form that reads back the same,
// "+Inf", "-Inf" and "NaN" for the special values.
std::string FormatSampleValue(double value);
// A label value with backslash, double quote and line feed escaped.
std::string EscapeLabelValue(const std::string& value);
