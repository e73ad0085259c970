#pragma once
#include <QDialog>

#include "app/qt/TemplateLayout.h"

namespace zodiva::gui {

// The About box (template 100): the program icon, the version, OK.
class AboutDialog : public QDialog {
    Q_OBJECT
public:
    explicit AboutDialog(QWidget* parent = nullptr);

    const TemplateLayout& Layout() const { return m_layout; }

protected:
    void changeEvent(QEvent* event) override;

private:
    TemplateLayout m_layout;
};

}  // namespace zodiva::gui
