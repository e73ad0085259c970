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
      logic_(logic),
      bridge_(bridge),
      layout_(*this, TestDialogTemplate(), ProgramIcon()),
      rateTimer_(this),
      statusRows_(EngineMonitor::kStatusRowLimit, this),
      connections_(this) {
    setObjectName(QStringLiteral("TestDialog"));
    setWindowIcon(ProgramIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    if (bridge_)
        bridge_->SetOwnerWindow(this);
    ConnectControls();
    CreateMonitorViews();
    ShowSettings();
    rateTimer_.setObjectName(QStringLiteral("RateTimer"));
    rateTimer_.setInterval(kRateTimerMilliseconds);
    connect(&rateTimer_, &QTimer::timeout, this, &TestDialog::OnTimer);
    rateTimer_.start();
}

TestDialog::~TestDialog() {
    StopEngine();
    if (bridge_)
        bridge_->SetOwnerWindow(nullptr);
}

void TestDialog::ConnectControls() {
    const auto button = [this](int id) { return layout_.ControlAs<QPushButton>(id); };
    connect(button(kIdGo), &QPushButton::clicked, this, &TestDialog::OnGo);
    connect(button(kIdStop), &QPushButton::clicked, this, &TestDialog::OnStop);
    connect(button(kIdClickMe), &QPushButton::clicked, this, &TestDialog::OnClickMe);
    connect(button(kIdOk), &QPushButton::clicked, this, &QDialog::accept);
    connect(button(kIdCancel), &QPushButton::clicked, this, &QDialog::reject);
    connect(layout_.ControlAs<QCheckBox>(kIdWriteToDisk), &QCheckBox::clicked, this,
            &TestDialog::OnWriteToDisk);
    auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
    connect(help, &QShortcut::activated, this, &TestDialog::ShowAbout);
}

void TestDialog::CreateMonitorViews() {
    statusView_ = new QListView(this);
    statusView_->setObjectName(QStringLiteral("StatusList"));
    statusView_->setModel(&statusRows_);
    statusView_->setUniformItemSizes(true);
    statusView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connectionsView_ = new QTableView(this);
    connectionsView_->setObjectName(QStringLiteral("ConnectionsTable"));
    connectionsView_->setModel(&connections_);
    connectionsView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connectionsView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    connectionsView_->verticalHeader()->hide();
    // Fixed row heights and column widths: a thousand rows cost only the visible ones.
    connectionsView_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    connectionsView_->verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    connectionsView_->horizontalHeader()->setStretchLastSection(true);
#if defined(ZODIVA_WITH_CHARTS)
    rateChart_ = new RateChart(this);
#endif
    downloadSummary_ = new QLabel(this);
    downloadSummary_->setObjectName(QStringLiteral("DownloadSummary"));
    downloadSummary_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout_.SetExtraHeight(kMonitorAreaHeight);
    layout_.Apply();
    PlaceMonitorViews();
}

// Below the template's area, with the template's margins.
void TestDialog::PlaceMonitorViews() {
    const DialogBaseUnits units = layout_.BaseUnits();
    const int top = TestDialogTemplate().height;
    const int width = TestDialogTemplate().width - 30;
    statusView_->setGeometry(DialogUnitsToPixels(units, 15, top, width, kStatusListHeight));
    int y = top + kStatusListHeight + 4;
    connectionsView_->setGeometry(DialogUnitsToPixels(units, 15, y, width, kConnectionsHeight));
    y += kConnectionsHeight + 4;
#if defined(ZODIVA_WITH_CHARTS)
    rateChart_->setGeometry(DialogUnitsToPixels(units, 15, y, width, kRateChartHeight));
    y += kRateChartHeight + 4;
#endif
    downloadSummary_->setGeometry(DialogUnitsToPixels(units, 15, y, width, kDownloadSummaryHeight));
    const QFontMetrics metrics = fontMetrics();
    connectionsView_->setColumnWidth(ConnectionsModel::kNumber, metrics.horizontalAdvance("00000") + 8);
    connectionsView_->setColumnWidth(ConnectionsModel::kState,
                                     metrics.horizontalAdvance("waiting for greeting") + 12);
    connectionsView_->setColumnWidth(ConnectionsModel::kRate, metrics.horizontalAdvance("1023.9 MB/s") + 12);
    connectionsView_->setColumnWidth(ConnectionsModel::kArticles, metrics.horizontalAdvance("0000000") + 12);
}

// Once a second, on the GUI thread: the rows the engine queued since the last tick, and every
// connection's figures. The engine never waits for this; it only fills its queue.
void TestDialog::ShowMonitor() {
    const std::shared_ptr<EngineMonitor> monitor = logic_.Monitor();
    if (monitor != shownMonitor_) {
        // A new download: its rows and connections start afresh.
        shownMonitor_ = monitor;
        table_ = ConnectionTable();
        statusRows_.Clear();
    }
    if (!monitor)
        return;
    QStringList rows;
    auto row = std::make_unique<StatusRow>();
    while (monitor->StatusRows().TryPop(*row))
        rows.append(QString::fromStdString(FormatStatusRow(*row)).trimmed());
    if (!rows.isEmpty()) {
        statusRows_.AddRows(rows);
        statusView_->scrollToBottom();
    }
    if (!monitorClock_.isValid())
        monitorClock_.start();
    monitor->ReadConnections(snapshots_, platform::CurrentFileTime());
    table_.Update(snapshots_, static_cast<double>(monitorClock_.nsecsElapsed()) / 1e9);
    connections_.SetRows(table_.Rows());
}

void TestDialog::ShowSettings() {
    layout_.ControlAs<QLineEdit>(kIdConnections)
        ->setText(QString::number(logic_.ConnectionsForDisplay()));
    layout_.ControlAs<QCheckBox>(kIdWriteToDisk)->setChecked(logic_.WriteToDisk());
}

void TestDialog::OnGo() {
    const std::string text = layout_.ControlAs<QLineEdit>(kIdConnections)->text().toStdString();
    // The question goes through the platform's message box, which shows it over this dialog.
    const auto confirm = [](const std::string& question) {
        return MessageBoxA(nullptr, question.c_str(), TestDialogLogic::kApplicationTitle,
                           MB_YESNO | MB_ICONQUESTION) == IDYES;
    };
    std::optional<MessageBoxBridge::GuiThreadBlocked> blocked;
    if (bridge_)
        blocked.emplace(*bridge_);
    // A new Go ends what the chart and the summary showed of the last download.
    rates_.Clear();
    downloadSummary_->clear();
    ShowRate();
    if (logic_.Go(text, confirm) == TestDialogLogic::GoResult::kStarted)
        downloadClock_.start();
}

void TestDialog::OnStop() {
    StopEngine();
}

void TestDialog::StopEngine() {
    if (!logic_.IsRunning())
        return;
    std::optional<MessageBoxBridge::GuiThreadBlocked> blocked;
    if (bridge_)
        blocked.emplace(*bridge_);
    const double seconds = static_cast<double>(downloadClock_.elapsed()) / 1000.0;
    logic_.Stop();
    downloadClock_.invalidate();
    ShowDownloadSummary(seconds);
}

// The download's totals stay readable after Stop: the engine's counters and monitor outlive
// its thread.
void TestDialog::ShowDownloadSummary(double seconds) {
    const EngineTotals totals = logic_.Totals();
    const std::shared_ptr<EngineMonitor> monitor = logic_.Monitor();
    const std::uint64_t failures = monitor ? monitor->Run().TotalFailures() : 0;
    downloadSummary_->setText(QString::fromStdString(
        DownloadSummaryText(seconds, totals.bytesReceived, totals.articlesCompleted, failures)));
}

QWidget* TestDialog::RateChartWidget() const {
#if defined(ZODIVA_WITH_CHARTS)
    return rateChart_;
#else
    return nullptr;
#endif
}

// Once a second while a download runs; after Stop the chart keeps its last picture.
void TestDialog::ShowRate() {
    if (logic_.IsRunning() && downloadClock_.isValid())
        rates_.Add(static_cast<double>(downloadClock_.elapsed()) / 1000.0, logic_.TotalRate());
#if defined(ZODIVA_WITH_CHARTS)
    rateChart_->Show(rates_);
#endif
}

void TestDialog::OnClickMe() {
    auto* counter = layout_.ControlAs<QLineEdit>(kIdClickCount);
    // Wraps like the original's int arithmetic, without its undefined overflow.
    const unsigned next = static_cast<unsigned>(ReadSignedNumber(counter->text())) + 1u;
    counter->setText(QString::number(static_cast<int>(next)));
}

void TestDialog::OnWriteToDisk() {
    logic_.SetWriteToDisk(layout_.ControlAs<QCheckBox>(kIdWriteToDisk)->isChecked());
}

void TestDialog::OnTimer() {
    auto* rate = layout_.ControlAs<QLabel>(kIdRate);
    rate->setText(QString::fromStdString(logic_.RateText()));
    FitRateToText(*rate);
    ShowMonitor();
    ShowRate();
}

// A loopback download easily reaches six-digit rates, which the static's 48 units cannot
// hold; a clipped number would read as a different one. The static keeps its place and
// grows to the right, up to the dialog's edge.
void TestDialog::FitRateToText(QLabel& rate) {
    const ControlTemplate* control = FindControl(TestDialogTemplate(), kIdRate);
    const DialogBaseUnits units = layout_.BaseUnits();
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
        layout_.Apply();
        if (statusView_)
            PlaceMonitorViews();
    }
    QDialog::changeEvent(event);
}

void TestDialog::done(int result) {
    StopEngine();
    QDialog::done(result);
}

}  // namespace zodiva::gui
