#pragma once
// The figures of a headless run's lines: each line shows what happened since the line
// before (bytes and articles counted by the engine, read at the line's moment), and the
// summary's average and peak come from the same intervals, so the average can never exceed
// the peak.
#include <cstdint>
#include <optional>

struct IntervalFigures {
    double seconds = 0.0;          // length of the interval
    double rateKiB = 0.0;          // KiB/s over the interval
    double articlesPerSecond = 0.0;
    std::uint64_t bytes = 0;
    std::uint64_t articles = 0;
};

class IntervalMeter {
public:
    // Starts the first interval at `seconds` (since any fixed moment, e.g. Go) with the
    // engine's totals then.
    void Start(double seconds, std::uint64_t bytes, std::uint64_t articles);
    // Ends the current interval, starts the next, and returns the interval's figures. When
    // `countInSummary` is false (a last, partial interval too short to mean anything), the
    // figures are returned but left out of the average and the peak.
    IntervalFigures Measure(double seconds, std::uint64_t bytes, std::uint64_t articles,
                            bool countInSummary = true);

    // Over every interval counted: their bytes over their time, and the highest rate of one.
    double AverageRate() const;
    double PeakRate() const;
    double MeasuredSeconds() const { return m_measuredSeconds; }
    // Where the current interval began.
    double LastSeconds() const { return m_lastSeconds; }

private:
    double m_lastSeconds = 0.0;
    std::uint64_t m_lastBytes = 0;
    std::uint64_t m_lastArticles = 0;
    double m_measuredSeconds = 0.0;
    std::uint64_t m_measuredBytes = 0;
    double m_peakRate = 0.0;
};
