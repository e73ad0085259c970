#include "app/core/IntervalMeter.h"

#include <algorithm>

void IntervalMeter::Start(double seconds, std::uint64_t bytes, std::uint64_t articles) {
    m_lastSeconds = seconds;
    m_lastBytes = bytes;
    m_lastArticles = articles;
}

IntervalFigures IntervalMeter::Measure(double seconds, std::uint64_t bytes,
                                       std::uint64_t articles, bool countInSummary) {
    IntervalFigures figures;
    figures.seconds = std::max(0.0, seconds - m_lastSeconds);
    // Counters only grow; a reading that went back (never expected) counts as nothing.
    figures.bytes = bytes >= m_lastBytes ? bytes - m_lastBytes : 0;
    figures.articles = articles >= m_lastArticles ? articles - m_lastArticles : 0;
    if (figures.seconds > 0.0) {
        figures.rateKiB = static_cast<double>(figures.bytes) / 1024.0 / figures.seconds;
        figures.articlesPerSecond = static_cast<double>(figures.articles) / figures.seconds;
    }
    if (countInSummary && figures.seconds > 0.0) {
        m_measuredSeconds += figures.seconds;
        m_measuredBytes += figures.bytes;
        m_peakRate = std::max(m_peakRate, figures.rateKiB);
    }
    Start(seconds, bytes, articles);
    return figures;
}

double IntervalMeter::AverageRate() const {
    if (m_measuredSeconds <= 0.0)
        return 0.0;
    // Never above the peak, also after rounding of the division.
    return std::min(m_peakRate, static_cast<double>(m_measuredBytes) / 1024.0 / m_measuredSeconds);
}

double IntervalMeter::PeakRate() const {
    return m_peakRate;
}
