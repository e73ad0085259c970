#include "app/qt/AboutDialog.h"

#include <QEvent>
#include <QPushButton>

#include "app/qt/ProgramIcon.h"

namespace zodiva::gui {

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent), layout_(*this, AboutDialogTemplate(), ProgramIcon()) {
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowIcon(ProgramIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setModal(true);
    if (auto* ok = layout_.ControlAs<QPushButton>(kIdOk)) {
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
}

void AboutDialog::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        layout_.Apply();
    QDialog::changeEvent(event);
}

}  // namespace zodiva::gui
