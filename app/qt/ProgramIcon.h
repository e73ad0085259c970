#pragma once
#include <QIcon>

namespace zodiva::gui {

// The program icon (resource 128): the title bar, the About box and the desktop entry.
QIcon ProgramIcon();

}  // namespace zodiva::gui
