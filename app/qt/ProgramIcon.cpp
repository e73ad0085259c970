#include "app/qt/ProgramIcon.h"

// The resources live in a static library; nothing would pull their registration into the
// program unless it is named once.
static void InitProgramResources() {
    Q_INIT_RESOURCE(zodiva);
}

namespace zodiva::gui {

QIcon ProgramIcon() {
    static const bool initialised = (InitProgramResources(), true);
    (void)initialised;
    return QIcon(QStringLiteral(":/zodiva/zodiva.png"));
}

}  // namespace zodiva::gui
