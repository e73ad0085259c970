// The dialog's live rate chart: one reading a second during a download from the in-process
// news server, the last two minutes shown, and after Stop the chart and a line summing the
// download up kept until the next Go. (The readings and the scale alone: rate_history_test.)
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include "GuiFixture.h"
#include "app/core/RateHistory.h"
#include "app/qt/DialogTemplate.h"
#if defined(ZODIVA_WITH_CHARTS)
#include "app/qt/RateChart.h"
#endif

using namespace zodiva::gui;
using guitest::DialogSession;

namespace {

// The points the dialog draws: the chart's own series where the dialog has a chart.
int DrawnPoints(TestDialog& dialog) {
#if defined(ZODIVA_WITH_CHARTS)
    return dialog.RateChartView()->PointCount();
#else
    return static_cast<int>(dialog.Rates().Points().size());
#endif
}

}  // namespace

class RateChartTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<guitest::PlatformHoldings> holdings_;
    std::unique_ptr<DialogSession> session_;

private slots:
    void init() {
        holdings_ = std::make_unique<guitest::PlatformHoldings>();
        session_ = std::make_unique<DialogSession>();
        QVERIFY(session_->server != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(session_->dialog.get()));
    }
    void cleanup() {
        session_.reset();
        VERIFY_NOTHING_LEFT(*holdings_);
    }

    void theSeriesGrowsDuringADownloadAndStaysAfterStopUntilTheNextGo() {
        TestDialog& dialog = session_->Dialog();
        QCOMPARE(DrawnPoints(dialog), 0);
        QVERIFY(dialog.DownloadSummary()->text().isEmpty());
        session_->Edit(kIdConnections)->setText(QStringLiteral("2"));
        QTest::mouseClick(session_->Button(kIdGo), Qt::LeftButton);
        QVERIFY(session_->logic->IsRunning());
        // The dialog's own once-a-second timer adds the readings.
        QTRY_VERIFY_WITH_TIMEOUT(DrawnPoints(dialog) >= 2, 15000);
        QTRY_VERIFY_WITH_TIMEOUT(dialog.Rates().Peak() > 0, 20000);
        const int during = DrawnPoints(dialog);
        QTRY_VERIFY_WITH_TIMEOUT(DrawnPoints(dialog) > during, 5000);
        const auto& points = dialog.Rates().Points();
        for (std::size_t i = 1; i < points.size(); ++i)
            QVERIFY(points[i].seconds >= points[i - 1].seconds);

        QTest::mouseClick(session_->Button(kIdStop), Qt::LeftButton);
        QVERIFY(!session_->logic->IsRunning());
        const int atStop = DrawnPoints(dialog);
        const double peak = dialog.Rates().Peak();
        dialog.OnTimer();
        dialog.OnTimer();
        QCOMPARE(DrawnPoints(dialog), atStop);
        QCOMPARE(dialog.Rates().Peak(), peak);
        const QString summary = dialog.DownloadSummary()->text();
        QVERIFY2(summary.startsWith(QStringLiteral("Last download: ")), qPrintable(summary));
        QVERIFY2(summary.contains(QStringLiteral("KBps (")), qPrintable(summary));
        const auto articles = session_->logic->Totals().articlesCompleted;
        QVERIFY(articles > 0);
        QVERIFY2(summary.contains(QString::number(articles) + QStringLiteral(" article")),
                 qPrintable(summary));
        QVERIFY(dialog.DownloadSummary()->isVisible());
        QVERIFY(!dialog.DownloadSummary()->geometry().isEmpty());

        // The next Go starts a picture of its own.
        QTest::mouseClick(session_->Button(kIdGo), Qt::LeftButton);
        QVERIFY(session_->logic->IsRunning());
        QVERIFY(DrawnPoints(dialog) <= 1);
        QVERIFY(dialog.DownloadSummary()->text().isEmpty());
        QTest::mouseClick(session_->Button(kIdStop), Qt::LeftButton);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    RateChartTest chart;
    return QTest::qExec(&chart, argc, argv);
}

#include "rate_chart_test.moc"
