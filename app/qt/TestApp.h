#pragma once
// The application object: prepares the session from the command line, loads the settings,
// runs the dialog modally and ends when it closes.
#include <string>

#include "app/core/CommandLine.h"

namespace zodiva::gui {

class TestApp {
public:
    explicit TestApp(const CommandLineOptions& options) : m_options(options) {}

    // Needs a QApplication. Returns the process exit code: 0 after the dialog closed, 2 when
    // the options could not be applied (the reason is shown and printed).
    int Run();

private:
    void ReportStartFailure(const std::string& message) const;

    const CommandLineOptions& m_options;
};

}  // namespace zodiva::gui
