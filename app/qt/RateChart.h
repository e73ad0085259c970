#pragma once
// The dialog's live rate chart (Qt Charts): the total rate of the last two minutes, one point
// a second, redrawn from a RateHistory at the dialog's once-a-second tick.
#include <QtCharts/QChartView>

class QLineSeries;
class QValueAxis;

class RateHistory;

namespace zodiva::gui {

class RateChart : public QChartView {
    Q_OBJECT
public:
    explicit RateChart(QWidget* parent = nullptr);

    void Show(const RateHistory& history);
    // The points drawn now, for tests.
    int PointCount() const;

private:
    QLineSeries* m_series;
    QValueAxis* m_time;
    QValueAxis* m_rate;
};

}  // namespace zodiva::gui
