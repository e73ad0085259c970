#include "app/core/RateHistory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// 1, 2, 5 or 10 times a power of ten near `x`: the first such number not below it when
// `ceiling`, else the nearest one.
double NiceNumber(double x, bool ceiling) {
    const double power = std::pow(10.0, std::floor(std::log10(x)));
    const double fraction = x / power;
    double nice = 10.0;
    if (ceiling) {
        if (fraction <= 1.0)
            nice = 1.0;
        else if (fraction <= 2.0)
            nice = 2.0;
        else if (fraction <= 5.0)
            nice = 5.0;
    } else {
        if (fraction < 1.5)
            nice = 1.0;
        else if (fraction < 3.0)
            nice = 2.0;
        else if (fraction < 7.0)
            nice = 5.0;
    }
    return nice * power;
}

int Clamp(double value, int low, int high) {
    return static_cast<int>(
        std::lround(std::clamp(value, static_cast<double>(low), static_cast<double>(high))));
}

}  // namespace

RateAxis RateAxisFor(double peakMegabytesPerSecond) {
    // Four steps asked for; a round step may take one more or one fewer to reach the top.
    constexpr int kWantedTicks = 5;
    const double wanted = std::max(1.0, peakMegabytesPerSecond * 1.1);
    const double step = NiceNumber(NiceNumber(wanted, true) / (kWantedTicks - 1), false);
    const double steps = std::ceil(wanted / step);
    RateAxis axis;
    axis.top = steps * step;
    axis.ticks = static_cast<int>(steps) + 1;
    axis.decimals = axis.top < 4 ? 1 : 0;
    return axis;
}

void RateHistory::Add(double secondsSinceGo, double kibPerSecond) {
    if (!m_points.empty() && secondsSinceGo < m_points.back().seconds)
        return;
    m_points.push_back({secondsSinceGo, std::max(0.0, kibPerSecond) * 1024.0 / 1e6});
    while (m_points.front().seconds < secondsSinceGo - kWindowSeconds) m_points.pop_front();
}

double RateHistory::WindowStart() const {
    return m_points.empty() ? 0.0 : std::max(0.0, m_points.back().seconds - kWindowSeconds);
}

double RateHistory::Peak() const {
    double peak = 0.0;
    for (const Point& point : m_points) peak = std::max(peak, point.megabytesPerSecond);
    return peak;
}

std::vector<PlotPoint> PlotPoints(const RateHistory& history, const RateAxis& axis,
                                  const PlotArea& area) {
    std::vector<PlotPoint> points;
    if (area.width <= 0 || area.height <= 0 || axis.top <= 0)
        return points;
    const int right = area.left + area.width - 1;
    const int bottom = area.top + area.height - 1;
    const double start = history.WindowStart();
    points.reserve(history.Points().size());
    for (const RateHistory::Point& point : history.Points()) {
        const double across = (point.seconds - start) / RateHistory::kWindowSeconds;
        const double up = point.megabytesPerSecond / axis.top;
        points.push_back({Clamp(area.left + across * (area.width - 1), area.left, right),
                          Clamp(bottom - up * (area.height - 1), area.top, bottom)});
    }
    return points;
}

std::string DownloadSummaryText(double seconds, std::uint64_t bytes, std::uint64_t articles,
                                std::uint64_t failures) {
    const double average = seconds > 0 ? static_cast<double>(bytes) / seconds : 0.0;
    char text[200];
    std::snprintf(text, sizeof text,
                  "Last download: %.0f s, average %.2fKBps (%.2f MB/s), %llu article%s, "
                  "%llu failure%s",
                  seconds, average / 1024.0, average / 1e6,
                  static_cast<unsigned long long>(articles), articles == 1 ? "" : "s",
                  static_cast<unsigned long long>(failures), failures == 1 ? "" : "s");
    return text;
}
