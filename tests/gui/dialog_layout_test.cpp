// The dialogs' layout, the About box and its ways in, the message boxes from other threads,
// and the start without a display. None of these needs a download.
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QListView>
#include <QTableView>
#include <QTest>
#include <atomic>
#include <cstdlib>
#include <optional>
#include <thread>

#include "GuiFixture.h"
#include "app/qt/AboutDialog.h"
#include "app/qt/DialogTemplate.h"
#include "app/qt/DialogUnits.h"
#include "app/qt/RunDialog.h"
#include "platform/Messages.h"

using namespace zodiva::gui;

namespace {

AboutDialog* VisibleAboutDialog() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* about = qobject_cast<AboutDialog*>(widget);
        if (about && about->isVisible())
            return about;
    }
    return nullptr;
}

QString WidgetText(QWidget* widget) {
    if (auto* label = qobject_cast<QLabel*>(widget))
        return label->text();
    if (auto* button = qobject_cast<QAbstractButton*>(widget))
        return button->text();
    if (auto* edit = qobject_cast<QLineEdit*>(widget))
        return edit->text();
    return QString();
}

bool KindMatches(ControlKind kind, QWidget* widget) {
    switch (kind) {
        case ControlKind::Static:
        case ControlKind::Icon:
            return qobject_cast<QLabel*>(widget) != nullptr;
        case ControlKind::Edit:
            return qobject_cast<QLineEdit*>(widget) != nullptr;
        case ControlKind::AutoCheckBox:
            return qobject_cast<QCheckBox*>(widget) != nullptr;
        case ControlKind::PushButton:
        case ControlKind::DefPushButton: {
            auto* button = qobject_cast<QPushButton*>(widget);
            return button && button->isDefault() == (kind == ControlKind::DefPushButton);
        }
    }
    return false;
}

// Every control of `dialogTemplate` on `dialog`: kind, text, and its rectangle converted
// from dialog units with the dialog font's base units.
// `extraHeight`: dialog units the dialog adds below its template's area.
void VerifyLayout(QWidget& dialog, const DialogTemplate& dialogTemplate, int extraHeight = 0) {
    const DialogBaseUnits units = BaseUnitsForFont(dialog.font());
    QVERIFY(units.cx > 0 && units.cy > 0);
    int index = 0;
    for (const ControlTemplate& control : dialogTemplate.controls) {
        const QString name = ControlObjectName(control, index++);
        auto* widget = dialog.findChild<QWidget*>(name);
        QVERIFY2(widget, qPrintable(name));
        QVERIFY2(KindMatches(control.kind, widget), qPrintable(name));
        if (control.kind == ControlKind::Icon) {
            auto* label = qobject_cast<QLabel*>(widget);
            QVERIFY(!label->pixmap().isNull());
            QCOMPARE(widget->pos(),
                     DialogUnitsToPixels(units, control.x, control.y, 0, 0).topLeft());
            continue;
        }
        QCOMPARE(WidgetText(widget), QString::fromUtf8(control.text));
        if (control.id == kIdRate)
            continue;  // grows with its text; checked on its own
        QCOMPARE(widget->geometry(),
                 DialogUnitsToPixels(units, control.x, control.y, control.width, control.height));
    }
    QCOMPARE(dialog.size(),
             DialogUnitsToPixels(units, 0, 0, dialogTemplate.width, dialogTemplate.height + extraHeight)
                 .size());
}

// The status list and the connections table sit below every control of the template, one
// above the other, inside the dialog.
void VerifyMonitorViewsBelowTheControls(TestDialog& dialog) {
    const DialogBaseUnits units = dialog.Layout().BaseUnits();
    const int templateBottom =
        DialogUnitsToPixels(units, 0, 0, 0, TestDialogTemplate().height).height();
    const QRect list = dialog.StatusListView()->geometry();
    const QRect table = dialog.ConnectionsView()->geometry();
    QVERIFY(list.top() >= templateBottom);
    QVERIFY(table.top() > list.bottom());
    QVERIFY(dialog.rect().contains(list));
    QVERIFY(dialog.rect().contains(table));
    QVERIFY(list.height() > 3 * dialog.fontMetrics().height());
    // Below the table: the rate chart (when built with Qt Charts), then the download's summary.
    int above = table.bottom();
    if (QWidget* chart = dialog.RateChartWidget()) {
        QVERIFY(chart->geometry().top() > above);
        QVERIFY(dialog.rect().contains(chart->geometry()));
        QVERIFY(chart->height() > 4 * dialog.fontMetrics().height());
        above = chart->geometry().bottom();
    }
    const QRect summary = dialog.DownloadSummary()->geometry();
    QVERIFY(summary.top() > above);
    QVERIFY(dialog.rect().contains(summary));
    QVERIFY(summary.height() >= dialog.fontMetrics().height());
}

}  // namespace

class DialogUnitsTest : public QObject {
    Q_OBJECT
private slots:
    void mulDivRoundsHalvesAwayFromZero() {
        QCOMPARE(MulDivRounded(15, 6, 4), 23);   // 22.5
        QCOMPARE(MulDivRounded(14, 6, 4), 21);   // 21.0
        QCOMPARE(MulDivRounded(13, 6, 4), 20);   // 19.5
        QCOMPARE(MulDivRounded(15, 13, 8), 24);  // 24.375
        QCOMPARE(MulDivRounded(33, 13, 8), 54);  // 53.625
        QCOMPARE(MulDivRounded(-15, 6, 4), -23);
        QCOMPARE(MulDivRounded(5, 3, 0), 0);
        QCOMPARE(MulDivRounded(1000000000, 3, 2), 1500000000);  // no 32-bit overflow inside
    }

    void edgesAreConvertedNotSizes() {
        // The reference font's base units: 6 x 13 pixels.
        const DialogBaseUnits units{6, 13};
        QCOMPARE(DialogUnitsToPixels(units, 15, 15, 232, 18), QRect(23, 24, 348, 30));
        QCOMPARE(DialogUnitsToPixels(units, 0, 0, 320, 200), QRect(0, 0, 480, 325));
        // Two controls that touch in dialog units touch in pixels.
        const QRect left = DialogUnitsToPixels(units, 1, 1, 1, 1);
        const QRect right = DialogUnitsToPixels(units, 2, 1, 1, 1);
        QCOMPARE(left.right() + 1, right.left());
    }

    void baseUnitsFollowTheFont() {
        QFont small = DialogFont("MS Sans Serif", 8);
        QFont large = DialogFont("MS Sans Serif", 16);
        const DialogBaseUnits a = BaseUnitsForFont(small);
        const DialogBaseUnits b = BaseUnitsForFont(large);
        QVERIFY(a.cx > 0 && a.cy > 0);
        QVERIFY(b.cx > a.cx);
        QVERIFY(b.cy > a.cy);
        // The average width rounds the 52 letters' mean to the nearest pixel.
        const int letters = QFontMetrics(small).horizontalAdvance(
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
        QVERIFY(qAbs(a.cx * 52 - letters) <= 52);
    }
};

class LayoutTest : public QObject {
    Q_OBJECT
private slots:
    void testDialogHasEveryControlOfItsTemplate() {
        guitest::Workspace workspace;
        TestDialogLogic logic;
        logic.LoadSettings();
        TestDialog dialog(logic, nullptr);
        QCOMPARE(dialog.windowTitle(), QStringLiteral("zodiva"));
        QCOMPARE(TestDialogTemplate().controls.size(), std::size_t(15));
        auto* edit = dialog.Layout().ControlAs<QLineEdit>(kIdConnections);
        edit->clear();  // the template's text is empty; the settings fill it in later
        VerifyLayout(dialog, TestDialogTemplate(), TestDialog::kMonitorAreaHeight);
        VerifyMonitorViewsBelowTheControls(dialog);
    }

    void layoutKeepsItsProportionsAtAnotherFontSize() {
        guitest::Workspace workspace;
        TestDialogLogic logic;
        logic.LoadSettings();
        TestDialog dialog(logic, nullptr);
        const QSize before = dialog.size();
        QFont larger = dialog.font();
        larger.setPointSize(larger.pointSize() * 2);
        dialog.setFont(larger);
        QVERIFY(dialog.width() > before.width() * 3 / 2);
        QVERIFY(dialog.height() > before.height() * 3 / 2);
        dialog.Layout().ControlAs<QLineEdit>(kIdConnections)->clear();
        VerifyLayout(dialog, TestDialogTemplate(), TestDialog::kMonitorAreaHeight);
        VerifyMonitorViewsBelowTheControls(dialog);
    }

    void everyTextFitsItsControl() {
        guitest::Workspace workspace;
        TestDialogLogic logic;
        logic.LoadSettings();
        TestDialog dialog(logic, nullptr);
        for (QLabel* label : dialog.findChildren<QLabel*>()) {
            if (label->text().isEmpty())
                continue;
            const QRect needed = label->fontMetrics().boundingRect(
                QRect(0, 0, label->width(), 10000), Qt::TextWordWrap, label->text());
            QVERIFY2(needed.height() <= label->height() + 1,
                     qPrintable(label->text() + QStringLiteral(" needs %1 px, has %2")
                                                    .arg(needed.height())
                                                    .arg(label->height())));
        }
    }

    void aboutBoxHasItsTemplate() {
        AboutDialog about;
        QCOMPARE(about.windowTitle(), QStringLiteral("About zodiva"));
        VerifyLayout(about, AboutDialogTemplate());
        QCOMPARE(about.findChild<QWidget*>(QStringLiteral("static1"))->property("controlId"),
                 QVariant(kIdStatic));
        auto* version = qobject_cast<QLabel*>(about.findChild<QWidget*>(QStringLiteral("static1")));
        QCOMPARE(version->text(), QStringLiteral("zodiva Version 1.0"));
        about.show();
        QVERIFY(QTest::qWaitForWindowExposed(&about));
        QTest::mouseClick(about.Layout().ControlAs<QPushButton>(kIdOk), Qt::LeftButton);
        QCOMPARE(about.result(), int(QDialog::Accepted));
        QVERIFY(!about.isVisible());
    }
};

class AboutEntryTest : public QObject {
    Q_OBJECT
    std::unique_ptr<guitest::Workspace> workspace_;
    std::unique_ptr<TestDialogLogic> logic_;
    std::unique_ptr<TestDialog> dialog_;

private slots:
    void init() {
        workspace_ = std::make_unique<guitest::Workspace>();
        logic_ = std::make_unique<TestDialogLogic>();
        logic_->LoadSettings();
        dialog_ = std::make_unique<TestDialog>(*logic_, nullptr);
        dialog_->show();
        QVERIFY(QTest::qWaitForWindowActive(dialog_.get()));
    }
    void cleanup() {
        dialog_.reset();
        logic_.reset();
        workspace_.reset();
    }

    void contextMenuEndsWithTheAboutEntryAfterASeparator() {
        std::unique_ptr<QMenu> menu(dialog_->CreateContextMenu());
        const QList<QAction*> actions = menu->actions();
        QVERIFY(actions.size() >= 3);
        QAction* about = actions.last();
        QCOMPARE(about->text(), QStringLiteral("&About zodiva..."));
        QCOMPARE(about->data().toInt(), kAboutCommandId);
        QVERIFY(actions[actions.size() - 2]->isSeparator());
    }

    void rightClickOffersTheMenuAndItsEntryOpensTheAboutBox() {
        bool menuSeen = false;
        bool aboutSeen = false;
        guitest::WhenReady(
            dialog_.get(),
            [] { return qobject_cast<QMenu*>(QApplication::activePopupWidget()) != nullptr; },
            [&] {
                auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
                menuSeen = menu->actions().last()->text() == QStringLiteral("&About zodiva...");
                guitest::WhenReady(
                    dialog_.get(), [] { return VisibleAboutDialog() != nullptr; },
                    [&] {
                        aboutSeen = true;
                        VisibleAboutDialog()->accept();
                    });
                menu->actions().last()->trigger();
                menu->close();
            });
        const QPoint where(5, 5);
        QContextMenuEvent event(QContextMenuEvent::Mouse, where, dialog_->mapToGlobal(where));
        QApplication::sendEvent(dialog_.get(), &event);
        QTRY_VERIFY(aboutSeen);
        QVERIFY(menuSeen);
    }

    void f1OpensTheAboutBox() {
        bool aboutSeen = false;
        guitest::WhenReady(
            dialog_.get(), [] { return VisibleAboutDialog() != nullptr; },
            [&] {
                aboutSeen = true;
                QCOMPARE(VisibleAboutDialog()->windowTitle(), QStringLiteral("About zodiva"));
                VisibleAboutDialog()->accept();
            });
        QTest::keyClick(dialog_.get(), Qt::Key_F1);
        QTRY_VERIFY(aboutSeen);
    }
};

class MessageBoxTest : public QObject {
    Q_OBJECT
private slots:
    void boxOnTheGuiThreadAnswersWithTheButtonPressed() {
        MessageBoxBridge bridge;
        auto answer = guitest::AnswerNextMessageBox(&bridge, QMessageBox::No);
        const int result = MessageBoxA(nullptr, "Proceed?", "Title", MB_YESNO | MB_ICONQUESTION);
        QCOMPARE(result, IDNO);
        QVERIFY(answer->seen);
        QCOMPARE(answer->text, QStringLiteral("Proceed?"));
        QCOMPARE(answer->title, QStringLiteral("Title"));
    }

    void engineThreadWaitsForTheAnswerOfTheGuiThread() {
        MessageBoxBridge bridge;
        std::atomic<int> result{0};
        auto answer = guitest::AnswerNextMessageBox(&bridge, QMessageBox::Retry);
        std::thread asker([&] {
            result = MessageBoxA(nullptr, "Lost the server", "Quorrel - Error",
                                 MB_RETRYCANCEL | MB_ICONERROR);
        });
        QTRY_VERIFY(result.load() != 0);
        asker.join();
        QCOMPARE(result.load(), IDRETRY);
        QVERIFY(answer->seen);
        QCOMPARE(answer->text, QStringLiteral("Lost the server"));
        QCOMPARE(answer->icon, int(QMessageBox::Critical));
    }

    // While the GUI thread waits for the engine thread, an OK box from the engine thread
    // cannot be shown; the asker goes on and the box appears once the GUI thread is free.
    void okBoxWhileTheGuiThreadIsBlockedDoesNotLockBothThreads() {
        MessageBoxBridge bridge;
        std::atomic<int> result{0};
        {
            MessageBoxBridge::GuiThreadBlocked blocked(bridge);
            std::thread asker([&] {
                result = MessageBoxA(nullptr, "Could not start", "Quorrel - Error", MB_OK);
            });
            asker.join();  // returns without the GUI thread's help
        }
        QCOMPARE(result.load(), IDOK);
        auto answer = guitest::AnswerNextMessageBox(&bridge, QMessageBox::Ok);
        QTRY_VERIFY(answer->seen);
        QCOMPARE(answer->text, QStringLiteral("Could not start"));
    }

    // Only the user answers a question, even while the GUI thread is marked as waiting.
    void questionFromAnotherThreadIsNotAnsweredForTheUser() {
        MessageBoxBridge bridge;
        std::atomic<int> result{0};
        auto answer = guitest::AnswerNextMessageBox(&bridge, QMessageBox::Yes);
        MessageBoxBridge::GuiThreadBlocked blocked(bridge);
        std::thread asker([&] { result = MessageBoxA(nullptr, "Sure?", "zodiva", MB_YESNO); });
        QTRY_VERIFY(result.load() != 0);
        asker.join();
        QVERIFY(answer->seen);
        QCOMPARE(result.load(), IDYES);
    }

    // Whether the asker is already waiting when the bridge goes or asks only afterwards, it
    // gets the refusing answer and never hangs.
    void closingTheBridgeReleasesAWaitingThreadWithTheRefusingAnswer() {
        std::atomic<int> result{0};
        std::thread asker;
        {
            MessageBoxBridge bridge;
            asker =
                std::thread([&] { result = MessageBoxA(nullptr, "Sure?", "zodiva", MB_YESNO); });
        }
        asker.join();
        QCOMPARE(result.load(), IDNO);
        QCoreApplication::processEvents();
        QVERIFY(guitest::VisibleMessageBox() == nullptr);
    }
};

class StartTest : public QObject {
    Q_OBJECT
private slots:
    void withoutADisplayTheProgramPointsToHeadlessAndExitsTwo() {
        const QByteArray saved = qgetenv("QT_QPA_PLATFORM");
        const QByteArray display = qgetenv("DISPLAY");
        const QByteArray wayland = qgetenv("WAYLAND_DISPLAY");
        qunsetenv("QT_QPA_PLATFORM");
        qunsetenv("DISPLAY");
        qunsetenv("WAYLAND_DISPLAY");
        QVERIFY(!HaveDisplay());
        char name[] = "zodiva";
        char* argv[] = {name, nullptr};
        CommandLineOptions options;
        const int status = RunDialog(1, argv, options);
        qputenv("QT_QPA_PLATFORM", saved);
        if (!display.isEmpty())
            qputenv("DISPLAY", display);
        if (!wayland.isEmpty())
            qputenv("WAYLAND_DISPLAY", wayland);
        QCOMPARE(status, 2);
        QVERIFY(HaveDisplay());
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int status = 0;
    {
        DialogUnitsTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        LayoutTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        AboutEntryTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        MessageBoxTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        StartTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "dialog_layout_test.moc"
