// The dialog's views of a running download: the status list (rows handed over by the engine
// without waiting, shown at the next tick, the oldest dropped beyond the limit) and the
// connections table (one row per connection, refreshed in place).
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include "GuiFixture.h"
#include "app/qt/DialogTemplate.h"
#include "app/qt/MonitorModels.h"
#include "support/SettingsStore.h"

using namespace zodiva::gui;
using guitest::DialogSession;

namespace {

// A loopback port that nothing listens on: bound once to learn a free number, then closed.
int ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(fd);
        return -1;
    }
    close(fd);
    return ntohs(address.sin_port);
}

QString Row(const QAbstractItemModel& model, int row, int column = 0) {
    return model.data(model.index(row, column), Qt::DisplayRole).toString();
}

}  // namespace

class MonitorViewsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<guitest::PlatformHoldings> holdings_;
    std::unique_ptr<DialogSession> session_;

    void Go(const QString& connections) {
        session_->Edit(kIdConnections)->setText(connections);
        QTest::mouseClick(session_->Button(kIdGo), Qt::LeftButton);
    }
    // The tests tick the dialog themselves, so "within one tick" means one call.
    void StopTheDialogsTimer() {
        session_->dialog->findChild<QTimer*>(QStringLiteral("RateTimer"))->stop();
    }

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

    void aFailedConnectIsInTheStatusListOneTickAfterIt() {
        const int port = ClosedPort();
        QVERIFY(port > 0);
        session_->logic->Settings().SetInt("news_port", port);
        StopTheDialogsTimer();
        Go(QStringLiteral("1"));
        QVERIFY(session_->logic->IsRunning());
        const auto monitor = session_->logic->Monitor();
        QVERIFY(monitor != nullptr);
        // The event: the engine has handed its row over.
        QTRY_VERIFY_WITH_TIMEOUT(monitor->StatusRows().Pushed() >= 1, 10000);
        const StatusRowsModel& rows = session_->dialog->StatusRows();
        QCOMPARE(rows.rowCount(), 0);
        session_->dialog->OnTimer();  // one tick
        QVERIFY(rows.rowCount() >= 1);
        const QString row = Row(rows, 0);
        QVERIFY2(row.contains(QStringLiteral("#1  Failed to connect to server \"127.0.0.1\" port ") +
                              QString::number(port)),
                 qPrintable(row));
        QCOMPARE(session_->dialog->StatusListView()->model()->rowCount(), rows.rowCount());
        // Stop does not empty the list: what went wrong stays readable.
        QTest::mouseClick(session_->Button(kIdStop), Qt::LeftButton);
        session_->dialog->OnTimer();
        QVERIFY(rows.rowCount() >= 1);
    }

    void theConnectionsTableHoldsTwoHundredConnectionsAndUpdatesInPlace() {
        auto answer = guitest::AnswerNextMessageBox(session_->dialog.get(), QMessageBox::Yes);
        StopTheDialogsTimer();
        Go(QStringLiteral("200"));
        QVERIFY(answer->seen);
        const auto monitor = session_->logic->Monitor();
        QVERIFY(monitor != nullptr);
        QTRY_COMPARE_WITH_TIMEOUT(monitor->ConnectionCount(), size_t(200), 15000);
        session_->dialog->OnTimer();
        const ConnectionsModel& table = session_->dialog->Connections();
        QCOMPARE(table.rowCount(), 200);
        QCOMPARE(table.columnCount(), int(ConnectionsModel::kColumnCount));
        QCOMPARE(Row(table, 0, ConnectionsModel::kNumber), QStringLiteral("1"));
        QCOMPARE(Row(table, 199, ConnectionsModel::kNumber), QStringLiteral("200"));
        QVERIFY(!Row(table, 0, ConnectionsModel::kState).isEmpty());
        QVERIFY(Row(table, 0, ConnectionsModel::kRate).endsWith(QStringLiteral("B/s")));
        QCOMPARE(table.headerData(ConnectionsModel::kLastReply, Qt::Horizontal, Qt::DisplayRole)
                     .toString(),
                 QStringLiteral("Last reply"));

        // The next tick changes the figures in place: no reset, no rows added or removed, so
        // the view keeps its scroll position and redraws only what it shows.
        QSignalSpy resets(&table, &QAbstractItemModel::modelReset);
        QSignalSpy inserts(&table, &QAbstractItemModel::rowsInserted);
        QSignalSpy changes(&table, &QAbstractItemModel::dataChanged);
        session_->dialog->ConnectionsView()->scrollToBottom();
        session_->dialog->OnTimer();
        QCOMPARE(resets.count(), 0);
        QCOMPARE(inserts.count(), 0);
        QCOMPARE(changes.count(), 1);
        QCOMPARE(table.rowCount(), 200);
        QTRY_COMPARE_WITH_TIMEOUT(session_->server->OpenConnections(), size_t(200), 20000);
    }

    void aNewDownloadStartsTheViewsAfresh() {
        StopTheDialogsTimer();
        Go(QStringLiteral("3"));
        QTRY_COMPARE_WITH_TIMEOUT(session_->logic->Monitor()->ConnectionCount(), size_t(3), 10000);
        session_->dialog->OnTimer();
        QCOMPARE(session_->dialog->Connections().rowCount(), 3);
        Go(QStringLiteral("2"));
        QTRY_COMPARE_WITH_TIMEOUT(session_->logic->Monitor()->ConnectionCount(), size_t(2), 10000);
        session_->dialog->OnTimer();
        QCOMPARE(session_->dialog->Connections().rowCount(), 2);
    }
};

// The status list's model on its own: the limit holds, the oldest go first.
class StatusRowsModelTest : public QObject {
    Q_OBJECT
private slots:
    void keepsTheNewestRowsUpToItsLimit() {
        StatusRowsModel rows(3);
        rows.AddRows({QStringLiteral("A"), QStringLiteral("B"), QStringLiteral("C")});
        rows.AddRows({QStringLiteral("D")});
        QCOMPARE(rows.rowCount(), 3);
        QCOMPARE(Row(rows, 0), QStringLiteral("B"));
        QCOMPARE(Row(rows, 2), QStringLiteral("D"));
        // A batch larger than the limit keeps its own newest rows.
        rows.AddRows({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                      QStringLiteral("4"), QStringLiteral("5")});
        QCOMPARE(rows.rowCount(), 3);
        QCOMPARE(Row(rows, 0), QStringLiteral("3"));
        QCOMPARE(Row(rows, 2), QStringLiteral("5"));
        rows.Clear();
        QCOMPARE(rows.rowCount(), 0);
    }
};

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    int failures = 0;
    {
        StatusRowsModelTest model;
        failures += QTest::qExec(&model, argc, argv);
    }
    {
        MonitorViewsTest views;
        failures += QTest::qExec(&views, argc, argv);
    }
    return failures;
}

#include "monitor_views_test.moc"
