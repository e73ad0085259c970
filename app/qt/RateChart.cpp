#include "app/qt/RateChart.h"

#include <QtCharts/QChart>
#include <QtCharts/QLineSeries>
#include <QtCharts/QValueAxis>

#include "app/core/RateHistory.h"

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
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->setBackgroundVisible(false);  // the dialog's own background, as its other controls
    QFont small = font();
    for (QValueAxis* axis : {time_, rate_}) {
        axis->setLabelsFont(small);
        axis->setTitleFont(small);
    }
    time_->setTitleText(QStringLiteral("seconds since Go"));
    time_->setLabelFormat(QStringLiteral("%d"));
    time_->setTickCount(RateHistory::kTimeTicks);
    rate_->setTitleText(QStringLiteral("MB/s"));
    rate_->setLabelFormat(QStringLiteral("%.0f"));
    rate_->setTickCount(5);
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
    // The same round steps as the native Windows chart.
    const RateAxis axis = history.Axis();
    rate_->setRange(0.0, axis.top);
    rate_->setTickCount(axis.ticks);
    rate_->setLabelFormat(QStringLiteral("%.%1f").arg(axis.decimals));
}

int RateChart::PointCount() const {
    return static_cast<int>(series_->count());
}

}  // namespace zodiva::gui
