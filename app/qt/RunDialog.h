#pragma once
#include "app/core/CommandLine.h"

// Runs zodiva as a desktop program: the dialog, until it is closed. Without a display it
// says that --headless is the way to run from a terminal and returns 2.
int RunDialog(int argc, char** argv, const CommandLineOptions& options);

namespace zodiva::gui {
// True when a window system can be reached: DISPLAY, WAYLAND_DISPLAY or QT_QPA_PLATFORM set.
bool HaveDisplay();
}  // namespace zodiva::gui
