#include "app/qt/RunDialog.h"

#include <QApplication>
#include <cstdio>
#include <cstdlib>

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
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("zodiva"));
    QApplication::setApplicationVersion(QStringLiteral("1.0"));
    QGuiApplication::setDesktopFileName(QStringLiteral("zodiva"));
    QApplication::setWindowIcon(zodiva::gui::ProgramIcon());
    zodiva::gui::TestApp testApp(options);
    return testApp.Run();
}
