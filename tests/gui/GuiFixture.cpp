#include "GuiFixture.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include "app/qt/DialogTemplate.h"
#include "support/SettingsStore.h"

namespace guitest {

using namespace zodiva::gui;

Workspace::Workspace() {
    previousDir_ = QDir::currentPath();
    hadRegistry_ = qEnvironmentVariableIsSet("QUORREL_REGISTRY");
    previousRegistry_ = qgetenv("QUORREL_REGISTRY");
    if (!dir_.isValid())
        return;
    QDir::setCurrent(dir_.path());
    qputenv("QUORREL_REGISTRY", QFile::encodeName(dir_.filePath(QStringLiteral("zodiva.reg"))));
}

Workspace::~Workspace() {
    QDir::setCurrent(previousDir_);
    if (hadRegistry_) {
        qputenv("QUORREL_REGISTRY", previousRegistry_);
    } else {
        qunsetenv("QUORREL_REGISTRY");
    }
}

bool Workspace::WriteSettings(const QStringList& valueLines) {
    QFile file(dir_.filePath(QStringLiteral("zodiva.reg")));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QByteArray text =
        "Windows Registry Editor Version 5.00\r\n\r\n"
        "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\r\n";
    for (const QString& line : valueLines) text += line.toUtf8() + "\r\n";
    return file.write(text) == text.size();
}

std::unique_ptr<newsd::Server> StartNewsServer() {
    newsd::ServerOptions options;
    options.articles.first = 1;
    options.articles.last = 100000000;  // the walk down never reaches the bottom in a test
    options.articles.bodyBytes = 64 * 1024;
    options.recordCommands = false;
    auto server = std::make_unique<newsd::Server>(options);
    if (!server->Start())
        return nullptr;
    return server;
}

QString PlatformHoldings::Leftovers() const {
    QStringList left;
    const auto note = [&](std::size_t now, std::size_t before, const char* what) {
        if (now > before)
            left << QStringLiteral("%1 more %2 than at the start")
                        .arg(now - before)
                        .arg(QLatin1String(what));
    };
    const PlatformCounts now = PlatformCounts::Now();
    note(now.sockets, before_.sockets, "sockets open");
    note(now.windows, before_.windows, "windows alive");
    note(now.lookups, before_.lookups, "host lookups pending");
    note(now.queued, before_.queued, "messages or timers queued");
    return left.join(QStringLiteral(", "));
}

void PointAt(TestDialogLogic& logic, const newsd::Server& server) {
    logic.Settings().SetString("news_server", "127.0.0.1");
    logic.Settings().SetInt("news_port", server.Port());
}

DialogSession::DialogSession() {
    server = StartNewsServer();
    bridge = std::make_unique<MessageBoxBridge>();
    logic = std::make_unique<TestDialogLogic>();
    logic->LoadSettings();
    if (server)
        PointAt(*logic, *server);
    dialog = std::make_unique<TestDialog>(*logic, bridge.get());
    dialog->show();
}

DialogSession::~DialogSession() {
    // The engine stops with the dialog, before the server it talks to.
    dialog.reset();
    logic.reset();
    bridge.reset();
    if (server)
        server->Stop();
}

QPushButton* DialogSession::Button(int id) const {
    return dialog->Layout().ControlAs<QPushButton>(id);
}
QLineEdit* DialogSession::Edit(int id) const {
    return dialog->Layout().ControlAs<QLineEdit>(id);
}
QCheckBox* DialogSession::CheckBox(int id) const {
    return dialog->Layout().ControlAs<QCheckBox>(id);
}
QLabel* DialogSession::Rate() const {
    return dialog->Layout().ControlAs<QLabel>(kIdRate);
}

double RateValue(const QString& text) {
    if (!text.endsWith(QStringLiteral("KBps")))
        return -1;
    bool ok = false;
    const double value = text.chopped(4).toDouble(&ok);
    return ok ? value : -1;
}

QMessageBox* VisibleMessageBox() {
    for (QWidget* widget : QApplication::topLevelWidgets()) {
        auto* box = qobject_cast<QMessageBox*>(widget);
        if (box && box->isVisible())
            return box;
    }
    return nullptr;
}

void WhenReady(QObject* context, std::function<bool()> ready, std::function<void()> action,
               int timeoutMs) {
    auto* timer = new QTimer(context);
    auto remaining = std::make_shared<int>(timeoutMs);
    QObject::connect(timer, &QTimer::timeout, timer, [=] {
        *remaining -= timer->interval();
        if (ready()) {
            timer->stop();
            timer->deleteLater();
            action();
        } else if (*remaining <= 0) {
            timer->stop();
            timer->deleteLater();
        }
    });
    timer->start(10);
}

std::shared_ptr<BoxAnswer> AnswerNextMessageBox(QObject* context, int button, int timeoutMs) {
    auto answer = std::make_shared<BoxAnswer>();
    WhenReady(
        context, [] { return VisibleMessageBox() != nullptr; },
        [answer, button] {
            QMessageBox* box = VisibleMessageBox();
            answer->seen = true;
            answer->text = box->text();
            answer->title = box->windowTitle();
            answer->buttons = static_cast<int>(box->standardButtons());
            answer->icon = box->icon();
            QAbstractButton* target = box->button(static_cast<QMessageBox::StandardButton>(button));
            if (target) {
                target->click();
            } else {
                box->reject();
            }
        },
        timeoutMs);
    return answer;
}

}  // namespace guitest
