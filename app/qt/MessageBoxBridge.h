#pragma once
// Shows the platform's message boxes as real modal Qt message boxes on the GUI thread.
//
// A box asked for on the GUI thread runs there at once. A box asked for on another thread
// (the engine thread) is handed to the GUI thread, and the asking thread waits for the
// answer. One case cannot wait: while the GUI thread itself is blocked waiting for the
// engine thread (starting or stopping it), a box that offers only OK is shown as soon as the
// GUI thread is free again and the asking thread goes on at once with IDOK, the only answer
// it could get; waiting there would lock both threads.
#include <QObject>
#include <QPointer>
#include <memory>

#include "platform/Messages.h"

class QWidget;

namespace zodiva::gui {

class MessageBoxBridge : public QObject {
    Q_OBJECT
public:
    // Installs itself as the message-box handler; must be made on the GUI thread.
    MessageBoxBridge();
    // Restores the handler that was installed before and releases threads still waiting.
    ~MessageBoxBridge() override;
    MessageBoxBridge(const MessageBoxBridge&) = delete;
    MessageBoxBridge& operator=(const MessageBoxBridge&) = delete;

    // The window the boxes are modal to (may be null).
    void SetOwnerWindow(QWidget* owner);

    // Marks the stretch in which the GUI thread waits for the engine thread.
    class GuiThreadBlocked {
    public:
        explicit GuiThreadBlocked(MessageBoxBridge& bridge);
        ~GuiThreadBlocked();
        GuiThreadBlocked(const GuiThreadBlocked&) = delete;
        GuiThreadBlocked& operator=(const GuiThreadBlocked&) = delete;

    private:
        MessageBoxBridge& m_bridge;
    };

private:
    struct Request;
    struct Shared;
    static int ShowFromOtherThread(const std::shared_ptr<Shared>& shared, const char* text,
                                   const char* caption, UINT type);
    int ShowOnGuiThread(const QString& text, const QString& caption, UINT type);
    void SetGuiBlocked(bool blocked);

    // What the installed handler reaches; a handler copy that is still running on another
    // thread when the bridge goes finds it closed instead of a destroyed bridge.
    std::shared_ptr<Shared> m_shared;
    platform::MessageBoxHandler m_previous;
    QPointer<QWidget> m_owner;
};

// The answer a box would give for the button the user pressed; exposed for tests.
int AnswerForButton(int standardButton);

}  // namespace zodiva::gui
