#include "app/qt/RateHistory.h"

#include <algorithm>
#include <cstdio>

namespace zodiva::gui {

void RateHistory::Add(double secondsSinceGo, double kibPerSecond) {
    if (!points_.empty() && secondsSinceGo < points_.back().seconds)
        return;
    points_.push_back({secondsSinceGo, std::max(0.0, kibPerSecond) * 1024.0 / 1e6});
    while (points_.front().seconds < secondsSinceGo - kWindowSeconds)
        points_.pop_front();
}

double RateHistory::WindowStart() const {
    return points_.empty() ? 0.0 : std::max(0.0, points_.back().seconds - kWindowSeconds);
}

double RateHistory::Peak() const {
    double peak = 0.0;
    for (const Point& point : points_) peak = std::max(peak, point.megabytesPerSecond);
    return peak;
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

}  // namespace zodiva::gui
