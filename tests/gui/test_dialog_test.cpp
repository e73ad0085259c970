// The dialog with the real engine thread downloading from an in-process news server.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <csignal>
#include <thread>

#include "GuiFixture.h"
#include "app/qt/DialogTemplate.h"
#include "app/qt/TestApp.h"
#include "platform/Messages.h"
#include "platform/Winsock.h"
#include "support/SettingsStore.h"

using namespace zodiva::gui;
using guitest::DialogSession;
using guitest::RateValue;

// Waits for the rate display to show a download that moves data (the engine's rate is
// refreshed every two seconds, the display every second).
#define WAIT_FOR_RATE() QTRY_VERIFY_WITH_TIMEOUT(RateValue(session_->Rate()->text()) > 0, 20000)

class TestDialogTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<guitest::PlatformHoldings> holdings_;
    std::unique_ptr<DialogSession> session_;

    void Go(const QString& connections) {
        session_->Edit(kIdConnections)->setText(connections);
        QTest::mouseClick(session_->Button(kIdGo), Qt::LeftButton);
    }
    int StoredInt(const char* key) { return session_->logic->Settings().GetInt(key, -12345); }
    QTimer* RateTimer() {
        return session_->dialog->findChild<QTimer*>(QStringLiteral("RateTimer"));
    }

private slots:
    void init() {
        holdings_ = std::make_unique<guitest::PlatformHoldings>();
        session_ = std::make_unique<DialogSession>();
        QVERIFY(session_->workspace.Valid());
        QVERIFY(session_->server != nullptr);
        QVERIFY(QTest::qWaitForWindowExposed(session_->dialog.get()));
    }
    void cleanup() {
        session_.reset();
        VERIFY_NOTHING_LEFT(*holdings_);
    }

    void opensWithTheDefaultsOfAnEmptySettingsFile() {
        QCOMPARE(session_->dialog->windowTitle(), QStringLiteral("zodiva"));
        QCOMPARE(session_->Edit(kIdConnections)->text(), QStringLiteral("1"));
        QVERIFY(session_->CheckBox(kIdWriteToDisk)->isChecked());
        QCOMPARE(session_->Rate()->text(), QString());
        QCOMPARE(session_->Edit(kIdClickCount)->text(), QString());
        QVERIFY(!session_->dialog->windowIcon().isNull());
        QVERIFY(RateTimer() != nullptr);
        QCOMPARE(RateTimer()->interval(), 1000);
        QVERIFY(RateTimer()->isActive());
    }

    void goWithTwoConnectionsShowsARateAboveZero() {
        Go(QStringLiteral("2"));
        QVERIFY(session_->logic->IsRunning());
        WAIT_FOR_RATE();
        QVERIFY(session_->Rate()->text().endsWith(QStringLiteral("KBps")));
        QCOMPARE(StoredInt("DLConnections"), 2);
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(2), 10000);
    }

    void clickMeCountsWhileADownloadRuns() {
        Go(QStringLiteral("2"));
        WAIT_FOR_RATE();
        for (int expected = 1; expected <= 3; ++expected) {
            const uint64_t before = session_->server->CommandCount();
            QTest::mouseClick(session_->Button(kIdClickMe), Qt::LeftButton);
            QCOMPARE(session_->Edit(kIdClickCount)->text(), QString::number(expected));
            // The engine keeps fetching between the clicks: the download really runs.
            QTRY_VERIFY_WITH_TIMEOUT(session_->server->CommandCount() > before, 10000);
        }
        QVERIFY(session_->logic->IsRunning());
    }

    void clickMeReadsTheBoxAsASignedNumber() {
        auto* counter = session_->Edit(kIdClickCount);
        const auto clickWith = [&](const char* text) {
            counter->setText(QString::fromLatin1(text));
            QTest::mouseClick(session_->Button(kIdClickMe), Qt::LeftButton);
            return counter->text();
        };
        QCOMPARE(clickWith("41"), QStringLiteral("42"));
        QCOMPARE(clickWith(" -3 "), QStringLiteral("-2"));
        QCOMPARE(clickWith("seven"), QStringLiteral("1"));
        QCOMPARE(clickWith("12abc"), QStringLiteral("1"));
        QCOMPARE(clickWith("-"), QStringLiteral("1"));
        QCOMPARE(clickWith("99999999999"), QStringLiteral("1"));
        QCOMPARE(clickWith("2147483647"), QStringLiteral("-2147483648"));
    }

    void nineteenConnectionsStartWithoutAQuestion() {
        auto answer = guitest::AnswerNextMessageBox(session_->dialog.get(), QMessageBox::No, 3000);
        Go(QStringLiteral("19"));
        QVERIFY(session_->logic->IsRunning());
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(19), 15000);
        QVERIFY(!answer->seen);
    }

    void twentyConnectionsAskAndNoStartsNothing() {
        Go(QStringLiteral("2"));
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(2), 10000);
        const uint64_t acceptedBefore = session_->server->ConnectionsAccepted();

        auto answer = guitest::AnswerNextMessageBox(session_->dialog.get(), QMessageBox::No);
        Go(QStringLiteral("20"));
        QVERIFY(answer->seen);
        QCOMPARE(answer->text,
                 QStringLiteral("Are you sure you want to make 20 connections to the server?"));
        QCOMPARE(answer->title, QStringLiteral("zodiva"));
        QCOMPARE(answer->buttons, int(QMessageBox::Yes | QMessageBox::No));
        QCOMPARE(answer->icon, int(QMessageBox::Question));

        QVERIFY(!session_->logic->IsRunning());
        QCOMPARE(StoredInt("DLConnections"), 20);
        // The previous download was stopped by that Go, and nothing new connected.
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(0), 10000);
        QCOMPARE(session_->server->ConnectionsAccepted(), acceptedBefore);
        QTRY_COMPARE_WITH_TIMEOUT(session_->Rate()->text(), QString(), 3000);
    }

    void twentyConnectionsAnsweredYesStart() {
        auto answer = guitest::AnswerNextMessageBox(session_->dialog.get(), QMessageBox::Yes);
        Go(QStringLiteral("20"));
        QVERIFY(answer->seen);
        QVERIFY(session_->logic->IsRunning());
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(20), 15000);
    }

    void stopEmptiesTheRateAtTheNextTick() {
        Go(QStringLiteral("2"));
        WAIT_FOR_RATE();
        QSignalSpy ticks(RateTimer(), &QTimer::timeout);
        QTest::mouseClick(session_->Button(kIdStop), Qt::LeftButton);
        QVERIFY(!session_->logic->IsRunning());
        QVERIFY(ticks.wait(3000));
        QCOMPARE(session_->Rate()->text(), QString());
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(0), 10000);
        // Stop with nothing running does nothing.
        QTest::mouseClick(session_->Button(kIdStop), Qt::LeftButton);
        QVERIFY(!session_->logic->IsRunning());
    }

    void writeToDiskStoresOneAndZero() {
        auto* box = session_->CheckBox(kIdWriteToDisk);
        QVERIFY(box->isChecked());
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(!box->isChecked());
        QCOMPARE(StoredInt("writetodisk"), 0);
        QTest::mouseClick(box, Qt::LeftButton);
        QVERIFY(box->isChecked());
        QCOMPARE(StoredInt("writetodisk"), 1);
    }

    void goTwiceLeavesExactlyOneEngine() {
        Go(QStringLiteral("2"));
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(2), 10000);
        Go(QStringLiteral("2"));
        QVERIFY(session_->logic->IsRunning());
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->ConnectionsAccepted(), uint64_t(4), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(2), 10000);
        WAIT_FOR_RATE();
        // The second engine's two connections are all there is.
        QCOMPARE(session_->server->OpenConnections(), size_t(2));
        QCOMPARE(session_->server->ConnectionsAccepted(), uint64_t(4));
    }

    void textThatIsNotAnUnsignedNumberIsStoredAsZero_data() {
        QTest::addColumn<QString>("typed");
        QTest::newRow("negative") << QStringLiteral("-5");
        QTest::newRow("letters") << QStringLiteral("abc");
        QTest::newRow("plus sign") << QStringLiteral("+3");
    }
    void textThatIsNotAnUnsignedNumberIsStoredAsZero() {
        QFETCH(QString, typed);
        Go(typed);
        QCOMPARE(StoredInt("DLConnections"), 0);
        // An engine without connections runs and shows a zero rate.
        QVERIFY(session_->logic->IsRunning());
        QTRY_COMPARE_WITH_TIMEOUT(session_->Rate()->text(), QStringLiteral("0.00KBps"), 3000);
        QCOMPARE(session_->server->ConnectionsAccepted(), uint64_t(0));
    }

    void closingTheDialogStopsTheEngineFirst() {
        Go(QStringLiteral("2"));
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(2), 10000);
        QTest::mouseClick(session_->Button(kIdOk), Qt::LeftButton);
        QVERIFY(!session_->dialog->isVisible());
        QVERIFY(!session_->logic->IsRunning());
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(0), 10000);

        session_->dialog->show();
        Go(QStringLiteral("1"));
        QVERIFY(session_->logic->IsRunning());
        QTest::mouseClick(session_->Button(kIdCancel), Qt::LeftButton);
        QVERIFY(!session_->logic->IsRunning());

        session_->dialog->show();
        Go(QStringLiteral("1"));
        QVERIFY(session_->dialog->close());
        QVERIFY(!session_->logic->IsRunning());
    }

    void socketLibraryFailureShowsTheErrorAndLeavesTheDialogUsable() {
        const auto previous = platform::SetWsaStartupHook([](WORD) { return 10092; });
        auto answer = guitest::AnswerNextMessageBox(session_->dialog.get(), QMessageBox::Ok);
        Go(QStringLiteral("2"));
        QTRY_VERIFY_WITH_TIMEOUT(answer->seen, 10000);
        platform::SetWsaStartupHook(previous);
        QCOMPARE(answer->text, QStringLiteral("Could not initialize WINSOCK 1.1.  Exiting."));
        QCOMPARE(answer->title, QStringLiteral("Quorrel - Error"));
        QCOMPARE(answer->buttons, int(QMessageBox::Ok));
        QVERIFY(!session_->logic->IsRunning());
        QSignalSpy ticks(RateTimer(), &QTimer::timeout);
        QVERIFY(ticks.wait(3000));
        QCOMPARE(session_->Rate()->text(), QString());
        QTest::mouseClick(session_->Button(kIdClickMe), Qt::LeftButton);
        QCOMPARE(session_->Edit(kIdClickCount)->text(), QStringLiteral("1"));
        // And the next Go works.
        Go(QStringLiteral("1"));
        QVERIFY(session_->logic->IsRunning());
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(1), 10000);
    }
};

// Settings that exist before the dialog opens are what it shows.
class SettingsFileTest : public QObject {
    Q_OBJECT
private slots:
    void showsTheStoredNumberAndCheckBox() {
        guitest::Workspace workspace;
        QVERIFY(workspace.WriteSettings({QStringLiteral("\"DLConnections\"=dword:00000007"),
                                         QStringLiteral("\"writetodisk\"=dword:00000000")}));
        TestDialogLogic logic;
        QVERIFY(logic.LoadSettings());
        TestDialog dialog(logic, nullptr);
        QCOMPARE(dialog.Layout().ControlAs<QLineEdit>(kIdConnections)->text(), QStringLiteral("7"));
        QVERIFY(!dialog.Layout().ControlAs<QCheckBox>(kIdWriteToDisk)->isChecked());
    }
};

// The program's own start: --demo opens the dialog pointed at the built-in news server.
class DemoStartTest : public QObject {
    Q_OBJECT
private slots:
    void demoDialogDownloadsFromTheBuiltInServer() {
        guitest::Workspace workspace;
        CommandLineOptions options;
        options.demo = true;
        options.workDir = workspace.Path().toStdString() + "/demo";
        QObject watchers;
        QString shownConnections;
        double rateSeen = -1;
        guitest::WhenReady(
            &watchers, [] { return VisibleTestDialog() != nullptr; },
            [&] {
                TestDialog* dialog = VisibleTestDialog();
                shownConnections = dialog->Layout().ControlAs<QLineEdit>(kIdConnections)->text();
                dialog->Layout().ControlAs<QLineEdit>(kIdConnections)->setText("2");
                dialog->Layout().ControlAs<QPushButton>(kIdGo)->click();
                auto* rate = dialog->Layout().ControlAs<QLabel>(kIdRate);
                guitest::WhenReady(
                    &watchers, [rate] { return RateValue(rate->text()) > 0; },
                    [&, dialog, rate] {
                        rateSeen = RateValue(rate->text());
                        dialog->Layout().ControlAs<QPushButton>(kIdOk)->click();
                    },
                    20000);
            });
        TestApp app(options);
        // Returns when the dialog closes; the watchers close it once a rate shows, and a
        // dialog that never shows one is closed by the test's time-out.
        QTimer::singleShot(30000, &watchers, [] {
            if (TestDialog* dialog = VisibleTestDialog())
                dialog->reject();
        });
        QCOMPARE(app.Run(), 0);
        QCOMPARE(shownConnections, QStringLiteral("1"));
        QVERIFY2(rateSeen > 0, "the demo download showed no rate");
        // The engine stopped with the dialog: no article file is left behind.
        const QStringList leftovers =
            QDir(QString::fromStdString(options.workDir)).entryList({QStringLiteral("*.tmp")});
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(' ')));
    }

    void terminationSignalClosesTheDialogAndStopsTheDownload() {
        guitest::Workspace workspace;
        CommandLineOptions options;
        options.demo = true;
        options.workDir = workspace.Path().toStdString() + "/demo";
        QObject watchers;
        bool downloading = false;
        guitest::WhenReady(
            &watchers, [] { return VisibleTestDialog() != nullptr; },
            [&] {
                TestDialog* dialog = VisibleTestDialog();
                dialog->Layout().ControlAs<QLineEdit>(kIdConnections)->setText("2");
                dialog->Layout().ControlAs<QPushButton>(kIdGo)->click();
                auto* rate = dialog->Layout().ControlAs<QLabel>(kIdRate);
                guitest::WhenReady(
                    &watchers, [rate] { return RateValue(rate->text()) > 0; },
                    [&] {
                        downloading = true;
                        std::raise(SIGTERM);
                    },
                    20000);
            });
        QTimer::singleShot(30000, &watchers, [] {
            if (TestDialog* dialog = VisibleTestDialog())
                dialog->reject();
        });
        TestApp app(options);
        QCOMPARE(app.Run(), 0);
        QVERIFY(downloading);
        const QStringList leftovers =
            QDir(QString::fromStdString(options.workDir)).entryList({QStringLiteral("*.tmp")});
        QVERIFY2(leftovers.isEmpty(), qPrintable(leftovers.join(' ')));
    }

private:
    static TestDialog* VisibleTestDialog() {
        for (QWidget* widget : QApplication::topLevelWidgets()) {
            auto* dialog = qobject_cast<TestDialog*>(widget);
            if (dialog && dialog->isVisible())
                return dialog;
        }
        return nullptr;
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int status = 0;
    {
        TestDialogTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        SettingsFileTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        DemoStartTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    return status;
}

#include "test_dialog_test.moc"
