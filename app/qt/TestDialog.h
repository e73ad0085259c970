#pragma once
// The program's one dialog (template 102): the number of connections, Go, Click Me with its
// counter, Stop, "Write to disk", and the total receive rate refreshed once a second. It
// renders the dialog logic and forwards its controls to it; the engine runs on its own
// thread, so the window stays responsive during a download.
#include <QDialog>
#include <QTimer>

#include "app/qt/TemplateLayout.h"

class TestDialogLogic;
class QLabel;
class QMenu;

namespace zodiva::gui {

class MessageBoxBridge;

class TestDialog : public QDialog {
    Q_OBJECT
public:
    // `logic` holds the loaded settings and must outlive the dialog. `bridge` (may be null)
    // is told when the GUI thread waits for the engine thread, and shows its boxes over this
    // dialog.
    TestDialog(TestDialogLogic& logic, MessageBoxBridge* bridge, QWidget* parent = nullptr);
    ~TestDialog() override;

    const TemplateLayout& Layout() const { return layout_; }
    // The context menu as it is offered on a right click, for tests.
    QMenu* CreateContextMenu();

    // Period of the rate display.
    static constexpr int kRateTimerMilliseconds = 1000;

public slots:
    void OnGo();
    void OnStop();
    void OnClickMe();
    void OnWriteToDisk();
    void OnTimer();
    void ShowAbout();

    // OK, Cancel and the window's close button all end here; the download stops first.
    void done(int result) override;

protected:
    void contextMenuEvent(QContextMenuEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ShowSettings();
    void ConnectControls();
    void StopEngine();
    void FitRateToText(QLabel& rate);

    TestDialogLogic& logic_;
    MessageBoxBridge* bridge_;
    TemplateLayout layout_;
    QTimer rateTimer_;
};

// The Click Me counter as the box reads it: an optional minus sign and decimal digits,
// surrounding blanks allowed; anything else, or a value beyond the signed 32-bit range,
// is 0.
int ReadSignedNumber(const QString& text);

}  // namespace zodiva::gui
