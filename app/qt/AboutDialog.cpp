#include "app/qt/AboutDialog.h"

#include <QEvent>
#include <QPushButton>

#include "app/qt/ProgramIcon.h"

namespace zodiva::gui {

AboutDialog::AboutDialog(QWidget* parent)
    : QDialog(parent), m_layout(*this, AboutDialogTemplate(), ProgramIcon()) {
    setObjectName(QStringLiteral("AboutDialog"));
    setWindowIcon(ProgramIcon());
    setWindowFlag(Qt::WindowContextHelpButtonHint, false);
    setModal(true);
    if (auto* ok = m_layout.ControlAs<QPushButton>(kIdOk)) {
        connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    }
}

void AboutDialog::changeEvent(QEvent* event) {
    if (event->type() == QEvent::FontChange)
        m_layout.Apply();
    QDialog::changeEvent(event);
}

}  // namespace zodiva::gui
