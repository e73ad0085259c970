#include "app/qt/TestApp.h"

#include <QMessageBox>
#include <cstdio>

#include "app/core/SessionSetup.h"
#include "app/core/TestDialogLogic.h"
#include "app/qt/MessageBoxBridge.h"
#include "app/qt/TerminationSignals.h"
#include "app/qt/TestDialog.h"

namespace zodiva::gui {

int TestApp::Run() {
    // Declared first so that it is destroyed last: the demo server must outlive the engine,
    // which the dialog and the logic stop when they go.
    SessionSetup setup;
    std::string error;
    if (!setup.PrepareEnvironment(m_options, error)) {
        ReportStartFailure(error);
        return 2;
    }
    for (const std::string& warning : setup.Warnings())
        std::fprintf(stderr, "zodiva: warning: %s\n", warning.c_str());
    MessageBoxBridge bridge;
    TestDialogLogic logic;
    logic.LoadSettings();
    if (!setup.ApplySettings(m_options, logic, error) ||
        !setup.StartMetrics(m_options, logic, error)) {
        ReportStartFailure(error);
        return 2;
    }
    if (m_options.metrics) {
        std::fprintf(stderr, "zodiva: metrics on %s\n", setup.MetricsUrl().c_str());
    }
    {
        TestDialog dialog(logic, &bridge);
        TerminationSignals terminationSignals;
        CloseAllWindowsOnSignal(terminationSignals);
        dialog.exec();
    }
    logic.Stop();
    setup.StopDemo();
    return 0;
}

void TestApp::ReportStartFailure(const std::string& message) const {
    std::fprintf(stderr, "zodiva: %s\n", message.c_str());
    QMessageBox::critical(nullptr, QStringLiteral("zodiva"), QString::fromStdString(message));
}

}  // namespace zodiva::gui
