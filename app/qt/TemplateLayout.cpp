#include "app/qt/TemplateLayout.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>

namespace zodiva::gui {
namespace {

// The program icon is drawn at the size of a large icon of the reference system.
constexpr int kIconSize = 32;

QLabel* CreateStatic(QWidget& parent, const ControlTemplate& control) {
    auto* label = new QLabel(QString::fromUtf8(control.text), &parent);
    label->setTextFormat(Qt::PlainText);  // the texts are shown as they are, never as markup
    label->setWordWrap(true);
    label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    return label;
}

QLabel* CreateIcon(QWidget& parent, const QIcon& icon) {
    auto* label = new QLabel(&parent);
    label->setPixmap(icon.pixmap(kIconSize, kIconSize));
    return label;
}

QPushButton* CreateButton(QWidget& parent, const ControlTemplate& control, bool isDefault) {
    auto* button = new QPushButton(QString::fromUtf8(control.text), &parent);
    button->setDefault(isDefault);
    return button;
}

}  // namespace

QString ControlObjectName(const ControlTemplate& control, int index) {
    if (control.id == kIdStatic)
        return QStringLiteral("static%1").arg(index);
    return QStringLiteral("control%1").arg(control.id);
}

TemplateLayout::TemplateLayout(QWidget& dialog, const DialogTemplate& dialogTemplate,
                               const QIcon& icon)
    : m_dialog(dialog), m_template(dialogTemplate), m_icon(icon) {
    m_dialog.setWindowTitle(QString::fromUtf8(m_template.title));
    m_dialog.setFont(DialogFont(m_template.fontFace, m_template.pointSize));
    int index = 0;
    for (const ControlTemplate& control : m_template.controls) {
        m_controls.push_back(CreateControl(control, index++));
    }
    Apply();
}

QWidget* TemplateLayout::CreateControl(const ControlTemplate& control, int index) {
    QWidget* widget = nullptr;
    switch (control.kind) {
        case ControlKind::Static:
            widget = CreateStatic(m_dialog, control);
            break;
        case ControlKind::Edit:
            widget = new QLineEdit(QString::fromUtf8(control.text), &m_dialog);
            break;
        case ControlKind::AutoCheckBox:
            widget = new QCheckBox(QString::fromUtf8(control.text), &m_dialog);
            break;
        case ControlKind::PushButton:
            widget = CreateButton(m_dialog, control, false);
            break;
        case ControlKind::DefPushButton:
            widget = CreateButton(m_dialog, control, true);
            break;
        case ControlKind::Icon:
            widget = CreateIcon(m_dialog, m_icon);
            break;
    }
    widget->setObjectName(ControlObjectName(control, index));
    widget->setProperty("controlId", control.id);
    return widget;
}

QWidget* TemplateLayout::Control(int id) const {
    if (id == kIdStatic)
        return nullptr;
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        if (m_template.controls[i].id == id)
            return m_controls[i];
    }
    return nullptr;
}

void TemplateLayout::Apply() {
    m_units = BaseUnitsForFont(m_dialog.font());
    for (std::size_t i = 0; i < m_controls.size(); ++i) {
        const ControlTemplate& control = m_template.controls[i];
        QRect rect =
            DialogUnitsToPixels(m_units, control.x, control.y, control.width, control.height);
        if (control.kind == ControlKind::Icon)
            rect.setSize(QSize(kIconSize, kIconSize));
        m_controls[i]->setGeometry(rect);
    }
    const QRect client =
        DialogUnitsToPixels(m_units, 0, 0, m_template.width, m_template.height + m_extraHeight);
    m_dialog.setFixedSize(client.size());
}

}  // namespace zodiva::gui
