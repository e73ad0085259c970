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
    : dialog_(dialog), template_(dialogTemplate), icon_(icon) {
    dialog_.setWindowTitle(QString::fromUtf8(template_.title));
    dialog_.setFont(DialogFont(template_.fontFace, template_.pointSize));
    int index = 0;
    for (const ControlTemplate& control : template_.controls) {
        controls_.push_back(CreateControl(control, index++));
    }
    Apply();
}

QWidget* TemplateLayout::CreateControl(const ControlTemplate& control, int index) {
    QWidget* widget = nullptr;
    switch (control.kind) {
        case ControlKind::Static:
            widget = CreateStatic(dialog_, control);
            break;
        case ControlKind::Edit:
            widget = new QLineEdit(QString::fromUtf8(control.text), &dialog_);
            break;
        case ControlKind::AutoCheckBox:
            widget = new QCheckBox(QString::fromUtf8(control.text), &dialog_);
            break;
        case ControlKind::PushButton:
            widget = CreateButton(dialog_, control, false);
            break;
        case ControlKind::DefPushButton:
            widget = CreateButton(dialog_, control, true);
            break;
        case ControlKind::Icon:
            widget = CreateIcon(dialog_, icon_);
            break;
    }
    widget->setObjectName(ControlObjectName(control, index));
    widget->setProperty("controlId", control.id);
    return widget;
}

QWidget* TemplateLayout::Control(int id) const {
    if (id == kIdStatic)
        return nullptr;
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        if (template_.controls[i].id == id)
            return controls_[i];
    }
    return nullptr;
}

void TemplateLayout::Apply() {
    units_ = BaseUnitsForFont(dialog_.font());
    for (std::size_t i = 0; i < controls_.size(); ++i) {
        const ControlTemplate& control = template_.controls[i];
        QRect rect =
            DialogUnitsToPixels(units_, control.x, control.y, control.width, control.height);
        if (control.kind == ControlKind::Icon)
            rect.setSize(QSize(kIconSize, kIconSize));
        controls_[i]->setGeometry(rect);
    }
    const QRect client =
        DialogUnitsToPixels(units_, 0, 0, template_.width, template_.height + extraHeight_);
    dialog_.setFixedSize(client.size());
}

}  // namespace zodiva::gui
