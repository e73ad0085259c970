#include "app/core/IntervalMeter.h"

#include <algorithm>

void IntervalMeter::Start(double seconds, std::uint64_t bytes, std::uint64_t articles) {
    lastSeconds_ = seconds;
    lastBytes_ = bytes;
    lastArticles_ = articles;
}

IntervalFigures IntervalMeter::Measure(double seconds, std::uint64_t bytes,
                                       std::uint64_t articles, bool countInSummary) {
    IntervalFigures figures;
    figures.seconds = std::max(0.0, seconds - lastSeconds_);
    // Counters only grow; a reading that went back (never expected) counts as nothing.
    figures.bytes = bytes >= lastBytes_ ? bytes - lastBytes_ : 0;
    figures.articles = articles >= lastArticles_ ? articles - lastArticles_ : 0;
    if (figures.seconds > 0.0) {
        figures.rateKiB = static_cast<double>(figures.bytes) / 1024.0 / figures.seconds;
        figures.articlesPerSecond = static_cast<double>(figures.articles) / figures.seconds;
    }
    if (countInSummary && figures.seconds > 0.0) {
        measuredSeconds_ += figures.seconds;
        measuredBytes_ += figures.bytes;
        peakRate_ = std::max(peakRate_, figures.rateKiB);
    }
    Start(seconds, bytes, articles);
    return figures;
}

double IntervalMeter::AverageRate() const {
    if (measuredSeconds_ <= 0.0)
        return 0.0;
    // Never above the peak, also after rounding of the division.
    return std::min(peakRate_, static_cast<double>(measuredBytes_) / 1024.0 / measuredSeconds_);
}

double IntervalMeter::PeakRate() const {
    return peakRate_;
}
