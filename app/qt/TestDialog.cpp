#include "app/qt/TestDialog.h"

#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
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
#include "platform/Messages.h"

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
      rateTimer_(this) {
    setObjectName(QStringLiteral("TestDialog"));
    setWindowIcon(ProgramIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setWindowFlag(Qt::WindowMinimizeButtonHint, true);
    if (bridge_)
        bridge_->SetOwnerWindow(this);
    ConnectControls();
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
    logic_.Go(text, confirm);
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
    logic_.Stop();
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
    if (event->type() == QEvent::FontChange)
        layout_.Apply();
    QDialog::changeEvent(event);
}

void TestDialog::done(int result) {
    StopEngine();
    QDialog::done(result);
}

}  // namespace zodiva::gui
