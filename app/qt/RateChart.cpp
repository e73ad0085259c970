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
      m_series(new QLineSeries),
      m_time(new QValueAxis),
      m_rate(new QValueAxis) {
    setObjectName(QStringLiteral("RateChart"));
    m_series->setObjectName(QStringLiteral("RateSeries"));
    m_series->setName(QStringLiteral("Total rate"));
    QPen pen(QColor(0x1f, 0x77, 0xb4));
    pen.setWidth(2);
    m_series->setPen(pen);
    QChart* chart = this->chart();  // owned by the view; it owns the series and the axes
    chart->addSeries(m_series);
    chart->legend()->hide();
    chart->setMargins(QMargins(0, 0, 0, 0));
    chart->setBackgroundVisible(false);  // the dialog's own background, as its other controls
    QFont small = font();
    for (QValueAxis* axis : {m_time, m_rate}) {
        axis->setLabelsFont(small);
        axis->setTitleFont(small);
    }
    m_time->setTitleText(QStringLiteral("seconds since Go"));
    m_time->setLabelFormat(QStringLiteral("%d"));
    m_time->setTickCount(RateHistory::kTimeTicks);
    m_rate->setTitleText(QStringLiteral("MB/s"));
    m_rate->setLabelFormat(QStringLiteral("%.0f"));
    m_rate->setTickCount(5);
    chart->addAxis(m_time, Qt::AlignBottom);
    chart->addAxis(m_rate, Qt::AlignLeft);
    m_series->attachAxis(m_time);
    m_series->attachAxis(m_rate);
    setRenderHint(QPainter::Antialiasing);
    Show(RateHistory());
}

void RateChart::Show(const RateHistory& history) {
    QList<QPointF> points;
    points.reserve(static_cast<qsizetype>(history.Points().size()));
    for (const RateHistory::Point& point : history.Points())
        points.append(QPointF(point.seconds, point.megabytesPerSecond));
    m_series->replace(points);
    m_time->setRange(history.WindowStart(), history.WindowEnd());
    // The same round steps as the native Windows chart.
    const RateAxis axis = history.Axis();
    m_rate->setRange(0.0, axis.top);
    m_rate->setTickCount(axis.ticks);
    m_rate->setLabelFormat(QStringLiteral("%.%1f").arg(axis.decimals));
}

int RateChart::PointCount() const {
    return static_cast<int>(m_series->count());
}

}  // namespace zodiva::gui
