#pragma once
// What the dialogs' rate chart shows: the total rate once a second over the last two minutes
// of a download, the axes it is drawn on, and after Stop the line that sums the download up.
// Kept apart from any toolkit, so that the Qt chart and the native Windows one draw the same
// points on the same scale, and so that it is tested without a window.
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

// The rate axis: 0 to `top` MB/s in `ticks - 1` equal steps, labelled with `decimals`
// decimals.
struct RateAxis {
    double top = 1.0;
    int ticks = 5;
    int decimals = 1;

    double Step() const { return top / (ticks - 1); }
};

// Round steps with a little room above the peak (MB/s); at least 0 to 1 MB/s, so that an
// idle download shows a flat line at the bottom rather than a magnified noise.
RateAxis RateAxisFor(double peakMegabytesPerSecond);

class RateHistory {
public:
    static constexpr double kWindowSeconds = 120.0;
    // Labels on the time axis, the first at the window's start and the last at its end.
    static constexpr int kTimeTicks = 7;

    struct Point {
        double seconds = 0.0;  // since Go
        double megabytesPerSecond = 0.0;
    };

    // Go: the last download's points go.
    void Clear() { m_points.clear(); }
    // One reading of the total rate (KiB/s, as the engine publishes it); points older than
    // the window before it are dropped. A reading earlier than the last one is ignored.
    void Add(double secondsSinceGo, double kibPerSecond);

    const std::deque<Point>& Points() const { return m_points; }
    // The x range to show: the last kWindowSeconds, from 0 until that much has passed.
    double WindowStart() const;
    double WindowEnd() const { return WindowStart() + kWindowSeconds; }
    // The highest rate among the points (0 when there is none).
    double Peak() const;
    RateAxis Axis() const { return RateAxisFor(Peak()); }

private:
    std::deque<Point> m_points;
};

// Where a toolkit that draws in whole pixels puts the chart's lines: the plot's rectangle,
// y growing downwards.
struct PlotArea {
    int left = 0;
    int top = 0;
    int width = 0;
    int height = 0;
};

struct PlotPoint {
    int x = 0;
    int y = 0;
};

// The history's points in `area`: the window's start on the left edge, its end on the right
// one, 0 on the bottom row and the axis's top on the top row; nothing lands outside.
std::vector<PlotPoint> PlotPoints(const RateHistory& history, const RateAxis& axis,
                                  const PlotArea& area);

// The one line shown under the chart after Stop, e.g. "Last download: 62 s, average
// 5120.00KBps (5.24 MB/s), 340 articles, 2 failures".
std::string DownloadSummaryText(double seconds, std::uint64_t bytes, std::uint64_t articles,
                                std::uint64_t failures);
