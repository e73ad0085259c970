#include "app/qt/TestDialog.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QHeaderView>
#include <QLineEdit>
#include <QListView>
#include <QTableView>
#include <QMenu>
#include <QPushButton>
#include <QShortcut>
#include <algorithm>
#include <climits>
#include <memory>
#include <optional>

#include "app/core/TestDialogLogic.h"
#include "app/qt/AboutDialog.h"
#include "app/qt/MessageBoxBridge.h"
#include "app/qt/ProgramIcon.h"
#if defined(ZODIVA_WITH_CHARTS)
#include "app/qt/RateChart.h"
#endif
#include "app/core/StatusRowFolder.h"
#include "platform/Messages.h"
#include "platform/Time.h"

namespace zodiva::gui {

int ReadSignedNumber(const QString& text) {
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty())
        return 0;
    int pos = 0;
    const bool negative = trimmed[0] == QLatin1Char('-');
    if (negative)
        pos = 1;
    if (pos == trimmed.size())
        return 0;
    long long value = 0;
    for (; pos < trimmed.size(); ++pos) {
        const QChar c = trimmed[pos];
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return 0;
        value = value * 10 + (c.unicode() - u'0');
        if (value > static_cast<long long>(INT_MAX) + 1)
            return 0;
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        return 0;
    return static_cast<int>(value);
}

TestDialog::TestDialog(TestDialogLogic& logic, MessageBoxBridge* bridge, QWidget* parent)
    : QDialog(parent),
      m_logic(logic),
      m_bridge(bridge),
      m_layout(*this, TestDialogTemplate(), ProgramIcon()),
      m_rateTimer(this),
      m_statusRows(EngineMonitor::kStatusRowLimit, this),
      m_connections(this) {
    setObjectName(QStringLiteral("TestDialog"));
    setWindowIcon(ProgramIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    if (m_bridge)
        m_bridge->SetOwnerWindow(this);
    ConnectControls();
    CreateMonitorViews();
    ShowSettings();
    m_rateTimer.setObjectName(QStringLiteral("RateTimer"));
    m_rateTimer.setInterval(kRateTimerMilliseconds);
    connect(&m_rateTimer, &QTimer::timeout, this, &TestDialog::OnTimer);
    m_rateTimer.start();
}

TestDialog::~TestDialog() {
    StopEngine();
    if (m_bridge)
        m_bridge->SetOwnerWindow(nullptr);
}

void TestDialog::ConnectControls() {
    const auto button = [this](int id) { return m_layout.ControlAs<QPushButton>(id); };
    connect(button(kIdGo), &QPushButton::clicked, this, &TestDialog::OnGo);
    connect(button(kIdStop), &QPushButton::clicked, this, &TestDialog::OnStop);
    connect(button(kIdClickMe), &QPushButton::clicked, this, &TestDialog::OnClickMe);
    connect(button(kIdOk), &QPushButton::clicked, this, &QDialog::accept);
    connect(button(kIdCancel), &QPushButton::clicked, this, &QDialog::reject);
    connect(m_layout.ControlAs<QCheckBox>(kIdWriteToDisk), &QCheckBox::clicked, this,
            &TestDialog::OnWriteToDisk);
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &TestDialog::ShowAbout);
}

void TestDialog::CreateMonitorViews() {
    m_statusView = new QListView(this);
    m_statusView->setObjectName(QStringLiteral("StatusList"));
    m_statusView->setModel(&m_statusRows);
    m_statusView->setUniformItemSizes(true);
    m_statusView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_connectionsView = new QTableView(this);
    m_connectionsView->setObjectName(QStringLiteral("ConnectionsTable"));
    m_connectionsView->setModel(&m_connections);
    m_connectionsView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_connectionsView->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_connectionsView->verticalHeader()->hide();
    // Fixed row heights and column widths: a thousand rows cost only the visible ones.
    m_connectionsView->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_connectionsView->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    m_connectionsView->horizontalHeader()->setStretchLastSection(true);
#if defined(ZODIVA_WITH_CHARTS)
    m_rateChart = new RateChart(this);
#endif
    m_downloadSummary = new QLabel(this);
    m_downloadSummary->setObjectName(QStringLiteral("DownloadSummary"));
    m_downloadSummary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_layout.SetExtraHeight(kMonitorAreaHeight);
    m_layout.Apply();
    PlaceMonitorViews();
}

// Below the template's area, with the template's margins.
void TestDialog::PlaceMonitorViews() {
    const DialogBaseUnits units = m_layout.BaseUnits();
    const int top = TestDialogTemplate().height;
    const int width = TestDialogTemplate().width - 30;
    m_statusView->setGeometry(DialogUnitsToPixels(units, 15, top, width, kStatusListHeight));
    int y = top + kStatusListHeight + 4;
    m_connectionsView->setGeometry(DialogUnitsToPixels(units, 15, y, width, kConnectionsHeight));
    y += kConnectionsHeight + 4;
#if defined(ZODIVA_WITH_CHARTS)
    m_rateChart->setGeometry(DialogUnitsToPixels(units, 15, y, width, kRateChartHeight));
    y += kRateChartHeight + 4;
#endif
    m_downloadSummary->setGeometry(
        DialogUnitsToPixels(units, 15, y, width, kDownloadSummaryHeight));
    const QFontMetrics metrics = fontMetrics();
    m_connectionsView->setColumnWidth(ConnectionsModel::kNumber,
                                      metrics.horizontalAdvance("00000") + 8);
    m_connectionsView->setColumnWidth(ConnectionsModel::kState,
                                      metrics.horizontalAdvance("waiting for greeting") + 12);
    m_connectionsView->setColumnWidth(ConnectionsModel::kRate,
                                      metrics.horizontalAdvance("1023.9 MB/s") + 12);
    m_connectionsView->setColumnWidth(ConnectionsModel::kArticles,
                                      metrics.horizontalAdvance("0000000") + 12);
}

// Once a second, on the GUI thread: the rows the engine queued since the last tick, and every
// connection's figures. The engine never waits for this; it only fills its queue.
void TestDialog::ShowMonitor() {
    const std::shared_ptr<EngineMonitor> monitor = m_logic.Monitor();
    if (monitor != m_shownMonitor) {
        // A new download: its rows and connections start afresh.
        m_shownMonitor = monitor;
        m_table = ConnectionTable();
        m_statusRows.Clear();
    }
    if (!monitor)
        return;
    QStringList rows;
    auto row = std::make_unique<StatusRow>();
    while (monitor->StatusRows().TryPop(*row))
        rows.append(QString::fromStdString(FormatStatusRow(*row)).trimmed());
    if (!rows.isEmpty()) {
        m_statusRows.AddRows(rows);
        m_statusView->scrollToBottom();
    }
    if (!m_monitorClock.isValid())
        m_monitorClock.start();
    monitor->ReadConnections(m_snapshots, platform::CurrentFileTime());
    m_table.Update(m_snapshots, static_cast<double>(m_monitorClock.nsecsElapsed()) / 1e9);
    m_connections.SetRows(m_table.Rows());
}

void TestDialog::ShowSettings() {
    m_layout.ControlAs<QLineEdit>(kIdConnections)
        ->setText(QString::number(m_logic.ConnectionsForDisplay()));
    m_layout.ControlAs<QCheckBox>(kIdWriteToDisk)->setChecked(m_logic.WriteToDisk());
}

void TestDialog::OnGo() {
    const std::string text = m_layout.ControlAs<QLineEdit>(kIdConnections)->text().toStdString();
    // The question goes through the platform's message box, which shows it over this dialog.
    const auto confirm = [](const std::string& question) {
        return MessageBoxA(nullptr, question.c_str(), TestDialogLogic::kApplicationTitle,
                           MB_YESNO | MB_ICONQUESTION) == IDYES;
    };
    std::optional<MessageBoxBridge::GuiThreadBlocked> blocked;
    if (m_bridge)
        blocked.emplace(*m_bridge);
    // A new Go ends what the chart and the summary showed of the last download.
    m_rates.Clear();
    m_downloadSummary->clear();
    ShowRate();
    if (m_logic.Go(text, confirm) == TestDialogLogic::GoResult::kStarted)
        m_downloadClock.start();
}

void TestDialog::OnStop() {
    StopEngine();
}

void TestDialog::StopEngine() {
    if (!m_logic.IsRunning())
        return;
    std::optional<MessageBoxBridge::GuiThreadBlocked> blocked;
    if (m_bridge)
        blocked.emplace(*m_bridge);
    const double seconds = static_cast<double>(m_downloadClock.elapsed()) / 1000.0;
    m_logic.Stop();
    m_downloadClock.invalidate();
    ShowDownloadSummary(seconds);
}

// The download's totals stay readable after Stop: the engine's counters and monitor outlive
// its thread.
void TestDialog::ShowDownloadSummary(double seconds) {
    const EngineTotals totals = m_logic.Totals();
    const std::shared_ptr<EngineMonitor> monitor = m_logic.Monitor();
    const std::uint64_t failures = monitor ? monitor->Run().TotalFailures() : 0;
    m_downloadSummary->setText(QString::fromStdString(
        DownloadSummaryText(seconds, totals.bytesReceived, totals.articlesCompleted, failures)));
}

QWidget* TestDialog::RateChartWidget() const {
#if defined(ZODIVA_WITH_CHARTS)
    return m_rateChart;
#else
    return nullptr;
#endif
}

// Once a second while a download runs; after Stop the chart keeps its last picture.
void TestDialog::ShowRate() {
    if (m_logic.IsRunning() && m_downloadClock.isValid())
        m_rates.Add(static_cast<double>(m_downloadClock.elapsed()) / 1000.0, m_logic.TotalRate());
#if defined(ZODIVA_WITH_CHARTS)
    m_rateChart->Show(m_rates);
#endif
}

void TestDialog::OnClickMe() {
    auto* counter = m_layout.ControlAs<QLineEdit>(kIdClickCount);
    // Wraps like the original's int arithmetic, without its undefined overflow.
    const unsigned next = static_cast<unsigned>(ReadSignedNumber(counter->text())) + 1u;
    counter->setText(QString::number(static_cast<int>(next)));
}

void TestDialog::OnWriteToDisk() {
    m_logic.SetWriteToDisk(m_layout.ControlAs<QCheckBox>(kIdWriteToDisk)->isChecked());
}

void TestDialog::OnTimer() {
    auto* rate = m_layout.ControlAs<QLabel>(kIdRate);
    rate->setText(QString::fromStdString(m_logic.RateText()));
    FitRateToText(*rate);
    ShowMonitor();
    ShowRate();
}

// A loopback download easily reaches six-digit rates, which the static's 48 units cannot
// hold; a clipped number would read as a different one. The static keeps its place and
// grows to the right, up to the dialog's edge.
void TestDialog::FitRateToText(QLabel& rate) {
    const ControlTemplate* control = FindControl(TestDialogTemplate(), kIdRate);
    const DialogBaseUnits units = m_layout.BaseUnits();
    QRect rect =
        DialogUnitsToPixels(units, control->x, control->y, control->width, control->height);
    const int needed = rate.fontMetrics().horizontalAdvance(rate.text()) + 1;
    if (needed > rect.width())
        rect.setWidth(std::min(needed, width() - rect.left()));
    rate.setGeometry(rect);
}

void TestDialog::ShowAbout() {
    AboutDialog about(this);
    about.exec();
}

QMenu* TestDialog::CreateContextMenu() {
    auto* menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("ContextMenu"));
    // The entries of the window menu, then the About entry after a separator, last.
    QAction* minimize = menu->addAction(QStringLiteral("Mi&nimize"), this, &QWidget::showMinimized);
    minimize->setObjectName(QStringLiteral("MinimizeAction"));
    QAction* close = menu->addAction(QStringLiteral("&Close"), this, &QDialog::reject);
    close->setShortcut(QKeySequence(Qt::ALT | Qt::Key_F4));
    close->setObjectName(QStringLiteral("CloseAction"));
    menu->addSeparator();
    QAction* about =
        menu->addAction(QString::fromUtf8(kAboutMenuText), this, &TestDialog::ShowAbout);
    about->setObjectName(QStringLiteral("AboutAction"));
    about->setData(kAboutCommandId);
    about->setShortcut(QKeySequence(Qt::Key_F1));
    return menu;
}

void TestDialog::contextMenuEvent(QContextMenuEvent* event) {
    std::unique_ptr<QMenu> menu(CreateContextMenu());
    menu->exec(event->globalPos());
}

void TestDialog::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange) {
        m_layout.Apply();
        if (m_statusView)
            PlaceMonitorViews();
    }
    QDialog::changeEvent(event);
}

void TestDialog::done(int result) {
    StopEngine();
    QDialog::done(result);
}

}  // namespace zodiva::gui
