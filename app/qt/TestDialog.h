#pragma once
// The program's one dialog (template 102): the number of connections, Go, Click Me with its
// counter, Stop, "Write to disk", and the total receive rate refreshed once a second; below
// them the status rows, the connections table and a chart of the rate's last two minutes. It
// renders the dialog logic and forwards its controls to it; the engine runs on its own
// thread, so the window stays responsive during a download.
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

#include "app/core/MonitorView.h"
#include "app/core/RateHistory.h"
#include "app/qt/MonitorModels.h"
#include "app/qt/TemplateLayout.h"

class TestDialogLogic;
class QLabel;
class QListView;
class QMenu;
class QTableView;

namespace zodiva::gui {

class MessageBoxBridge;
class RateChart;

// Built with Qt Charts, the dialog draws the rate of the last two minutes below the
// connections table; without, that place is left out and the rest stays as it is.
#if defined(ZODIVA_WITH_CHARTS)
constexpr bool kHaveRateChart = true;
#else
constexpr bool kHaveRateChart = false;
#endif

class TestDialog : public QDialog {
    Q_OBJECT
public:
    // `logic` holds the loaded settings and must outlive the dialog. `bridge` (may be null)
    // is told when the GUI thread waits for the engine thread, and shows its boxes over this
    // dialog.
    TestDialog(TestDialogLogic& logic, MessageBoxBridge* bridge, QWidget* parent = nullptr);
    ~TestDialog() override;

    const TemplateLayout& Layout() const { return m_layout; }
    // The context menu as it is offered on a right click, for tests.
    QMenu* CreateContextMenu();

    // Period of the rate display.
    static constexpr int kRateTimerMilliseconds = 1000;
    // Below the template's controls: the status rows, the connections table, the rate chart
    // and the line that sums up the last download, in dialog units.
    static constexpr int kStatusListHeight = monitor_area::kStatusList;
    static constexpr int kConnectionsHeight = monitor_area::kConnections;
    static constexpr int kRateChartHeight = kHaveRateChart ? monitor_area::kRateChart : 0;
    static constexpr int kDownloadSummaryHeight = monitor_area::kDownloadSummary;
    static constexpr int kMonitorAreaHeight = kStatusListHeight + kConnectionsHeight +
                                              (kHaveRateChart ? kRateChartHeight + 4 : 0) +
                                              kDownloadSummaryHeight + 16;

    QListView* StatusListView() const { return m_statusView; }
    QTableView* ConnectionsView() const { return m_connectionsView; }
    const StatusRowsModel& StatusRows() const { return m_statusRows; }
    const ConnectionsModel& Connections() const { return m_connections; }
    // The rate readings the chart shows (kept after Stop until the next Go).
    const RateHistory& Rates() const { return m_rates; }
    // The chart, or nullptr when the dialog is built without Qt Charts.
    RateChart* RateChartView() const { return m_rateChart; }
    QWidget* RateChartWidget() const;
    // Empty until a download is stopped; then its average rate, articles and failures.
    QLabel* DownloadSummary() const { return m_downloadSummary; }

public slots:
    void OnGo();
    void OnStop();
    void OnClickMe();
    void OnWriteToDisk();
    void OnTimer();
    void ShowAbout();

    // OK, Cancel and the window's close button all end here; the download stops first.
    void done(int result) override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ShowSettings();
    void ConnectControls();
    void StopEngine();
    void FitRateToText(QLabel& rate);
    void CreateMonitorViews();
    void PlaceMonitorViews();
    void ShowMonitor();
    void ShowRate();
    void ShowDownloadSummary(double seconds);

    TestDialogLogic& m_logic;
    MessageBoxBridge* m_bridge;
    // Before the layout: making the layout changes the font, and the font change places these.
    QListView* m_statusView = nullptr;
    QTableView* m_connectionsView = nullptr;
    RateChart* m_rateChart = nullptr;
    QLabel* m_downloadSummary = nullptr;
    TemplateLayout m_layout;
    QTimer m_rateTimer;
    StatusRowsModel m_statusRows;
    ConnectionsModel m_connections;
    ConnectionTable m_table;
    std::vector<ConnectionSnapshot> m_snapshots;
    std::shared_ptr<EngineMonitor> m_shownMonitor;
    QElapsedTimer m_monitorClock;
    RateHistory m_rates;
    QElapsedTimer m_downloadClock;  // since the running download's Go
};

// The Click Me counter as the box reads it: an optional minus sign and decimal digits,
// surrounding blanks allowed; anything else, or a value beyond the signed 32-bit range,
// is 0.
int ReadSignedNumber(const QString& text);

}  // namespace zodiva::gui
