#include "app/qt/RateChart.h"

#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>
#include <cmath>

#include "app/qt/RateHistory.h"

namespace zodiva::gui {

// Made with its chart: a view made without one makes a default chart of its own, which
// setChart would release rather than delete.
RateChart::RateChart(QWidget* parent)
    : QChartView(new QChart, parent),
      series_(new QLineSeries),
      time_(new QValueAxis),
      rate_(new QValueAxis) {
    setObjectName(QStringLiteral("RateChart"));
    series_->setObjectName(QStringLiteral("RateSeries"));
    series_->setName(QStringLiteral("Total rate"));
    QPen pen(QColor(0x1f, 0x77, 0xb4));
    pen.setWidth(2);
    series_->setPen(pen);
    QChart* chart = this->chart();  // owned by the view; it owns the series and the axes
    chart->addSeries(series_);
    chart->legend()->hide();
    chart->setMargins(QMargins(2, 2, 2, 2));
    chart->setBackgroundRoundness(0);
    time_->setTitleText(QStringLiteral("seconds since Go"));
    time_->setLabelFormat(QStringLiteral("%d"));
    time_->setTickCount(7);
    rate_->setTitleText(QStringLiteral("MB/s"));
    rate_->setLabelFormat(QStringLiteral("%.0f"));
    rate_->setTickCount(4);
    chart->addAxis(time_, Qt::AlignBottom);
    chart->addAxis(rate_, Qt::AlignLeft);
    series_->attachAxis(time_);
    series_->attachAxis(rate_);
    setRenderHint(QPainter::Antialiasing);
    Show(RateHistory());
}

void RateChart::Show(const RateHistory& history) {
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(history.Points().size()));
    for (const RateHistory::Point& point : history.Points())
        points.append(QPointF(point.seconds, point.megabytesPerSecond));
    series_->replace(points);
    time_->setRange(history.WindowStart(), history.WindowEnd());
    // Whole steps on the rate axis: a tenth above the peak, rounded up to a nice number.
    const double top = std::max(1.0, history.Peak() * 1.1);
    const double magnitude = std::pow(10.0, std::floor(std::log10(top)));
    const double nice = std::ceil(top / magnitude) * magnitude;
    rate_->setRange(0.0, nice);
    rate_->setLabelFormat(nice < 3 ? QStringLiteral("%.1f") : QStringLiteral("%.0f"));
}

int RateChart::PointCount() const {
    return static_cast<int>(series_->count());
}

}  // namespace zodiva::gui
