#pragma once
// Builds the widgets of a dialog template on a dialog and keeps their geometry in step with
// the dialog's font: every rectangle is recomputed from dialog units whenever the font
// changes, so the layout scales with the font as a whole.
#include <QIcon>
#include <vector>

#include "app/qt/DialogTemplate.h"
#include "app/qt/DialogUnits.h"

class QWidget;

namespace zodiva::gui {

class TemplateLayout {
public:
    // Creates every control of the template as a child of `dialog`, in template order (which
    // is also the tab order), sets the template's font on the dialog and lays it out.
    TemplateLayout(QWidget& dialog, const DialogTemplate& dialogTemplate, const QIcon& icon);

    // The control with this id; nullptr for an id the template does not have.
    QWidget* Control(int id) const;

    template <class Widget>
    Widget* ControlAs(int id) const {
        return qobject_cast<Widget*>(Control(id));
    }

    // Places every control and sizes the dialog from the dialog's current font.
    void Apply();

    DialogBaseUnits BaseUnits() const { return m_units; }

    // Room below the template's area, in dialog units, for what the owner adds there; the
    // dialog is sized to the template plus this.
    void SetExtraHeight(int dialogUnits) { m_extraHeight = dialogUnits; }

private:
    QWidget* CreateControl(const ControlTemplate& control, int index);

    QWidget& m_dialog;
    const DialogTemplate& m_template;
    QIcon m_icon;
    DialogBaseUnits m_units;
    std::vector<QWidget*> m_controls;
    int m_extraHeight = 0;  // parallel to m_template.controls; owned by m_dialog
};

// Object name of a control, for tests and style sheets: "control1004"; statics without an
// id are "static<index in the template>".
QString ControlObjectName(const ControlTemplate& control, int index);

}  // namespace zodiva::gui
