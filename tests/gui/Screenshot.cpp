// Makes the screenshot of the dialog during a download from the in-process news server:
//   QT_QPA_PLATFORM=offscreen zodiva_screenshot docs/screenshot.png
// It presses Go with three connections, the third of which the server refuses with a 502
// greeting, waits for a non-zero rate, the refusal in the status list and a quarter minute of
// the rate chart, clicks Click Me three times and writes the dialog as a PNG. Exit code 0
// when the picture shows a rate.
#include <QApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QTest>
#include <cstdio>

#include "GuiFixture.h"
#include "app/qt/DialogTemplate.h"
#include "app/qt/MonitorModels.h"
#include "app/qt/ProgramIcon.h"
#include "newsd/Script.h"

using namespace zodiva::gui;

namespace {

bool WaitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QTest::qWait(50);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s OUTPUT.png\n", argv[0]);
        return 2;
    }
    const QString output = QString::fromLocal8Bit(argv[1]);
    QApplication::setWindowIcon(ProgramIcon());
    guitest::DialogSession session;
    if (!session.server) {
        std::fprintf(stderr, "cannot start the news server on loopback\n");
        return 1;
    }
    newsd::ConnectionScript refused;
    refused.greeting = newsd::Greeting::kRejected;
    session.server->SetScript(2, refused);
    session.Edit(kIdConnections)->setText(QStringLiteral("3"));
    QTest::mouseClick(session.Button(kIdGo), Qt::LeftButton);
    if (!WaitFor([&] { return guitest::RateValue(session.Rate()->text()) > 0; }, 20000)) {
        std::fprintf(stderr, "no rate after 20 seconds: \"%s\"\n",
                     qPrintable(session.Rate()->text()));
        return 1;
    }
    // Two ticks more: the refusal is listed and every connection has a rate of its own; with
    // the rate chart, enough readings to show a line.
    QTest::qWait(2 * TestDialog::kRateTimerMilliseconds + 200);
    if (kHaveRateChart)
        WaitFor([&] { return session.Dialog().Rates().Points().size() >= 15; }, 30000);
    if (session.Dialog().StatusRows().rowCount() == 0) {
        std::fprintf(stderr, "the status list shows no row\n");
        return 1;
    }
    for (int i = 0; i < 3; ++i) QTest::mouseClick(session.Button(kIdClickMe), Qt::LeftButton);
    const QPixmap picture = session.Dialog().grab();
    session.Button(kIdStop)->click();
    // The output names a path the user gave; a relative one is relative to where the
    // program was started, not to the session's working folder.
    const QString path = QDir(session.workspace.StartDir()).absoluteFilePath(output);
    if (!picture.save(path, "PNG")) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return 1;
    }
    std::printf("wrote %s (%dx%d)\n", qPrintable(path), picture.width(), picture.height());
    return 0;
}
