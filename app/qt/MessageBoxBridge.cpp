#include "app/qt/MessageBoxBridge.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QThread>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace zodiva::gui {
namespace {

QMessageBox::StandardButtons ButtonsFor(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return QMessageBox::Ok | QMessageBox::Cancel;
        case MB_ABORTRETRYIGNORE:
            return QMessageBox::Abort | QMessageBox::Retry | QMessageBox::Ignore;
        case MB_YESNOCANCEL:
            return QMessageBox::Yes | QMessageBox::No | QMessageBox::Cancel;
        case MB_YESNO:
            return QMessageBox::Yes | QMessageBox::No;
        case MB_RETRYCANCEL:
            return QMessageBox::Retry | QMessageBox::Cancel;
        default:
            return QMessageBox::Ok;
    }
}

QMessageBox::Icon IconFor(UINT type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONERROR:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONWARNING:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// What closing the box without a button means: the refusing choice where there is one.
int EscapeAnswer(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OK:
            return IDOK;
        case MB_YESNO:
            return IDNO;
        case MB_ABORTRETRYIGNORE:
            return IDABORT;
        default:
            return IDCANCEL;
    }
}

bool OffersOnlyOk(UINT type) {
    return (type & MB_TYPEMASK) == MB_OK;
}

QString FromLocal(const char* text) {
    return text ? QString::fromLocal8Bit(text) : QString();
}

}  // namespace

int AnswerForButton(int standardButton) {
    switch (standardButton) {
        case QMessageBox::Ok:
            return IDOK;
        case QMessageBox::Cancel:
            return IDCANCEL;
        case QMessageBox::Abort:
            return IDABORT;
        case QMessageBox::Retry:
            return IDRETRY;
        case QMessageBox::Ignore:
            return IDIGNORE;
        case QMessageBox::Yes:
            return IDYES;
        case QMessageBox::No:
            return IDNO;
        default:
            return 0;
    }
}

// A box handed from another thread; shared so that it outlives whichever side ends first.
struct MessageBoxBridge::Request {
    QString text;
    QString caption;
    UINT type = MB_OK;
    bool answered = false;
    int answer = 0;
};

struct MessageBoxBridge::Shared {
    std::mutex mutex;
    std::condition_variable changed;
    MessageBoxBridge* bridge = nullptr;  // null once the bridge is gone
    QThread* guiThread = nullptr;
    int guiBlockedDepth = 0;
};

MessageBoxBridge::MessageBoxBridge() : m_shared(std::make_shared<Shared>()) {
    m_shared->bridge = this;
    m_shared->guiThread = thread();
    std::shared_ptr<Shared> shared = m_shared;
    m_previous =
        platform::SetMessageBoxHandler([shared](HWND, LPCSTR text, LPCSTR caption, UINT type) {
            if (QThread::currentThread() != shared->guiThread) {
                return ShowFromOtherThread(shared, text, caption, type);
            }
            MessageBoxBridge* bridge = nullptr;
            {
                std::lock_guard lock(shared->mutex);
                bridge = shared->bridge;
            }
            if (!bridge)
                return EscapeAnswer(type);
            return bridge->ShowOnGuiThread(FromLocal(text), FromLocal(caption), type);
        });
}

MessageBoxBridge::~MessageBoxBridge() {
    platform::SetMessageBoxHandler(m_previous);
    std::lock_guard lock(m_shared->mutex);
    m_shared->bridge = nullptr;
    m_shared->changed.notify_all();
}

void MessageBoxBridge::SetOwnerWindow(QWidget* owner) {
    m_owner = owner;
}

int MessageBoxBridge::ShowOnGuiThread(const QString& text, const QString& caption, UINT type) {
    QMessageBox box(IconFor(type), caption.isNull() ? QStringLiteral("Error") : caption, text,
                    ButtonsFor(type), m_owner.data());
    box.setObjectName(QStringLiteral("MessageBox"));
    box.setTextFormat(Qt::PlainText);
    box.setWindowModality(m_owner ? Qt::WindowModal : Qt::ApplicationModal);
    const int clicked = box.exec();
    const int answer = AnswerForButton(clicked);
    return answer != 0 ? answer : EscapeAnswer(type);
}

int MessageBoxBridge::ShowFromOtherThread(const std::shared_ptr<Shared>& shared, const char* text,
                                          const char* caption, UINT type) {
    auto request = std::make_shared<Request>();
    request->text = FromLocal(text);
    request->caption = FromLocal(caption);
    request->type = type;
    std::unique_lock lock(shared->mutex);
    if (!shared->bridge)
        return EscapeAnswer(type);
    // Posted under the lock, so the bridge cannot go before the post; the box runs only if
    // the bridge still exists when the GUI thread gets to it.
    MessageBoxBridge* bridge = shared->bridge;
    QMetaObject::invokeMethod(
        bridge,
        [bridge, shared, request] {
            const int answer =
                bridge->ShowOnGuiThread(request->text, request->caption, request->type);
            std::lock_guard answerLock(shared->mutex);
            request->answered = true;
            request->answer = answer;
            shared->changed.notify_all();
        },
        Qt::QueuedConnection);
    shared->changed.wait(lock, [&] {
        return request->answered || !shared->bridge ||
               (shared->guiBlockedDepth > 0 && OffersOnlyOk(request->type));
    });
    return request->answered ? request->answer : EscapeAnswer(request->type);
}

void MessageBoxBridge::SetGuiBlocked(bool blocked) {
    std::lock_guard lock(m_shared->mutex);
    m_shared->guiBlockedDepth += blocked ? 1 : -1;
    m_shared->changed.notify_all();
}

MessageBoxBridge::GuiThreadBlocked::GuiThreadBlocked(MessageBoxBridge& bridge) : m_bridge(bridge) {
    m_bridge.SetGuiBlocked(true);
}

MessageBoxBridge::GuiThreadBlocked::~GuiThreadBlocked() {
    m_bridge.SetGuiBlocked(false);
}

}  // namespace zodiva::gui
