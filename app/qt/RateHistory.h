#pragma once
// What the dialog's rate chart shows: the total rate once a second over the last two minutes
// of a download, and after Stop the line that sums the download up. Kept apart from the
// chart widget so that it is the same whether or not the dialog is built with Qt Charts.
#include <cstdint>
#include <deque>
#include <string>

namespace zodiva::gui {

class RateHistory {
public:
    static constexpr double kWindowSeconds = 120.0;

    struct Point {
        double seconds = 0.0;  // since Go
        double megabytesPerSecond = 0.0;
    };

    // Go: the last download's points go.
    void Clear() { points_.clear(); }
    // One reading of the total rate (KiB/s, as the engine publishes it); points older than
    // the window before it are dropped. A reading earlier than the last one is ignored.
    void Add(double secondsSinceGo, double kibPerSecond);

    const std::deque<Point>& Points() const { return points_; }
    // The x range to show: the last kWindowSeconds, from 0 until that much has passed.
    double WindowStart() const;
    double WindowEnd() const { return WindowStart() + kWindowSeconds; }
    // The highest rate among the points (0 when there is none).
    double Peak() const;

private:
    std::deque<Point> points_;
};

// The one line shown under the chart after Stop, e.g. "Last download: 62 s, average
// 5120.00KBps (5.24 MB/s), 340 articles, 2 failures".
std::string DownloadSummaryText(double seconds, std::uint64_t bytes, std::uint64_t articles,
                                std::uint64_t failures);

}  // namespace zodiva::gui
