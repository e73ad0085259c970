#include "app/qt/RunDialog.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "app/qt/ProgramIcon.h"
#include "app/qt/TestApp.h"

namespace zodiva::gui {

bool HaveDisplay() {
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char* value = std::getenv(name);
        if (value && *value)
            return true;
    }
    return false;
}

namespace {

QtMessageHandler previousHandler = nullptr;

// The toolkit ends the process with abort() when its window system plug-in cannot start
// (a DISPLAY that does not answer, a missing plug-in). While the application object is
// being made, such a fatal message becomes a plain message and exit code 2 instead.
void StartUpMessageHandler(QtMsgType type, const QMessageLogContext& context,
                           const QString& text) {
    if (type != QtFatalMsg) {
        if (previousHandler)
            previousHandler(type, context, text);
        return;
    }
    const char* display = std::getenv("DISPLAY");
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    std::fprintf(stderr,
                 "zodiva: cannot open the dialog: the window system did not answer "
                 "(DISPLAY=%s, QT_QPA_PLATFORM=%s).\n"
                 "Check that the display is running, or run from a terminal with: "
                 "zodiva --headless [--demo] [options]\n",
                 display ? display : "(not set)", platform ? platform : "(not set)");
    std::fflush(stderr);
    _exit(2);
}

}  // namespace

}  // namespace zodiva::gui

int RunDialog(int argc, char** argv, const CommandLineOptions& options) {
    if (!zodiva::gui::HaveDisplay()) {
        // Without a display the window system plug-in would abort the process.
        std::fprintf(stderr,
                     "zodiva: no display to open the dialog on (DISPLAY, WAYLAND_DISPLAY and "
                     "QT_QPA_PLATFORM are not set).\n"
                     "Run it from a terminal with: zodiva --headless [--demo] [options]\n");
        return 2;
    }
    zodiva::gui::previousHandler = qInstallMessageHandler(zodiva::gui::StartUpMessageHandler);
    QApplication app(argc, argv);
    qInstallMessageHandler(zodiva::gui::previousHandler);
    QApplication::setApplicationName(QStringLiteral("zodiva"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QGuiApplication::setDesktopFileName(QStringLiteral("zodiva"));
    QApplication::setWindowIcon(zodiva::gui::ProgramIcon());
    zodiva::gui::TestApp testApp(options);
    return testApp.Run();
}
