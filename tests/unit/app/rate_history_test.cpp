// The rate chart's model, which both dialogs draw: the readings kept, the axes' scale, where
// the points land in a drawing's pixels, and the line that sums a download up.
#include "app/core/RateHistory.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

TEST(RateHistoryTest, KeepsTheLastTwoMinutesInMegabytesPerSecond) {
    RateHistory history;
    EXPECT_EQ(history.WindowStart(), 0.0);
    EXPECT_EQ(history.WindowEnd(), 120.0);
    for (int second = 1; second <= 130; ++second) history.Add(second, 1000.0 * second);
    // 10..130: a point exactly 120 s before the newest is still inside.
    ASSERT_EQ(history.Points().size(), 121u);
    EXPECT_EQ(history.Points().front().seconds, 10.0);
    EXPECT_EQ(history.WindowStart(), 10.0);
    EXPECT_EQ(history.WindowEnd(), 130.0);
    EXPECT_DOUBLE_EQ(history.Peak(), 130000.0 * 1024 / 1e6);
    // A reading from before the newest (a clock step) is left out; a negative rate is 0.
    history.Add(129.5, 5.0);
    EXPECT_EQ(history.Points().size(), 121u);
    history.Add(131, -3.0);
    EXPECT_EQ(history.Points().back().megabytesPerSecond, 0.0);
    history.Clear();
    EXPECT_TRUE(history.Points().empty());
    EXPECT_EQ(history.Peak(), 0.0);
}

// Steps of 1, 2 or 5 times a power of ten, the top a whole number of steps at or above a
// tenth more than the peak, never below 1 MB/s.
TEST(RateHistoryTest, TheRateAxisEndsOnARoundStepAboveThePeak) {
    struct Case {
        double peak;
        double top;
        int ticks;
        int decimals;
    };
    const Case cases[] = {
        {0.0, 1.0, 6, 1},     // nothing yet: 0 to 1 in fifths
        {0.3, 1.0, 6, 1},     // a slow line stays low rather than filling the height
        {0.95, 1.5, 4, 1},    // 1.045: past 1, so in halves
        {3.0, 4.0, 5, 0},     // from 4 on, whole numbers
        {75.0, 100.0, 6, 0},  // 82.5
        {90.9, 100.0, 6, 0},  // 99.99: still inside
        {91.0, 150.0, 4, 0},  // 100.1: the next round step
        {1000.0, 1500.0, 4, 0},
    };
    for (const Case& c : cases) {
        const RateAxis axis = RateAxisFor(c.peak);
        EXPECT_DOUBLE_EQ(axis.top, c.top) << c.peak;
        EXPECT_EQ(axis.ticks, c.ticks) << c.peak;
        EXPECT_EQ(axis.decimals, c.decimals) << c.peak;
        EXPECT_GE(axis.top, std::max(1.0, c.peak * 1.1)) << c.peak;
        EXPECT_DOUBLE_EQ(axis.Step() * (axis.ticks - 1), axis.top) << c.peak;
    }
    RateHistory history;
    history.Add(1, 80.0 * 1e6 / 1024);  // 80 MB/s
    EXPECT_DOUBLE_EQ(history.Axis().top, 100.0);
}

TEST(RateHistoryTest, PointsLandInThePlotWithTimeAcrossAndRateUp) {
    const PlotArea area{10, 20, 241, 101};    // x 10..250, y 20..120
    const RateAxis axis = RateAxisFor(90.0);  // 0..100 MB/s
    RateHistory history;
    EXPECT_TRUE(PlotPoints(history, axis, area).empty());
    const double kib = 1e6 / 1024;  // KiB/s in 1 MB/s
    history.Add(0, 0);
    history.Add(60, 50 * kib);
    history.Add(120, 100 * kib);
    auto points = PlotPoints(history, axis, area);
    ASSERT_EQ(points.size(), 3u);
    // Go at the left edge and the bottom row; the window's middle at half height.
    EXPECT_EQ(points[0].x, 10);
    EXPECT_EQ(points[0].y, 120);
    EXPECT_EQ(points[1].x, 130);
    EXPECT_EQ(points[1].y, 70);
    EXPECT_EQ(points[2].x, 250);
    EXPECT_EQ(points[2].y, 20);

    // Past two minutes the window slides: the newest stays at the right edge.
    history.Add(150, 10 * kib);
    points = PlotPoints(history, axis, area);
    ASSERT_EQ(points.size(), 3u);     // 0 s has gone
    EXPECT_EQ(points.front().x, 70);  // 60 s, a quarter into 30..150
    EXPECT_EQ(points.back().x, 250);
    EXPECT_EQ(points.back().y, 110);

    // A scale that was not made for these points keeps them inside the plot.
    const RateAxis low = RateAxisFor(0.0);
    for (const PlotPoint& point : PlotPoints(history, low, area)) {
        EXPECT_GE(point.y, 20);
        EXPECT_LE(point.y, 120);
    }
    EXPECT_TRUE(PlotPoints(history, axis, PlotArea{0, 0, 0, 50}).empty());
}

TEST(RateHistoryTest, SummarySaysAverageRateArticlesAndFailures) {
    EXPECT_EQ(DownloadSummaryText(10.0, 52428800, 340, 2),
              "Last download: 10 s, average 5120.00KBps (5.24 MB/s), 340 articles, 2 failures");
    EXPECT_EQ(DownloadSummaryText(0.0, 100, 1, 1),
              "Last download: 0 s, average 0.00KBps (0.00 MB/s), 1 article, 1 failure");
}

}  // namespace
