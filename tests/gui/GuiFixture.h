#pragma once
// What the GUI tests share: a session in a temporary working folder with an empty settings
// file, a news server of our own on loopback with more articles than a test can fetch, the
// dialog logic pointed at it, and helpers to find and answer modal boxes.
#include <QString>
#include <QTemporaryDir>
#include <functional>
#include <memory>

#include "app/core/TestDialogLogic.h"
#include "app/qt/MessageBoxBridge.h"
#include "app/qt/TestDialog.h"
#include "newsd/Server.h"
#include "tests/common/PlatformCounts.h"

class QLabel;
class QLineEdit;
class QCheckBox;
class QPushButton;
class QMessageBox;

namespace guitest {

// A working folder of its own (logs and article files land there) and a settings file
// that the test may write before the logic loads it.
class Workspace {
public:
    Workspace();
    ~Workspace();
    bool Valid() const { return dir_.isValid(); }
    QString Path() const { return dir_.path(); }
    // The working folder before the workspace was entered.
    QString StartDir() const { return previousDir_; }
    // Writes the settings file with these value lines under the program's key.
    bool WriteSettings(const QStringList& valueLines);

private:
    QTemporaryDir dir_;
    QString previousDir_;
    QByteArray previousRegistry_;
    bool hadRegistry_ = false;
};

// What the platform holds (open sockets, live windows, pending host lookups, queued messages
// and timers), taken when a test starts; Leftovers() says what is there now beyond that.
class PlatformHoldings {
public:
    // Empty when nothing more is held than at the start, else what is, e.g. "2 more sockets open
    // than at the start".
    QString Leftovers() const;

private:
    PlatformCounts before_ = PlatformCounts::Now();
};

// In a test's cleanup, after the session is gone: fails the test when the engine, the dialog
// or the server left anything of the platform behind. Threads that are winding down get two
// seconds to let go.
#define VERIFY_NOTHING_LEFT(holdings)                           \
    QTRY_VERIFY2_WITH_TIMEOUT((holdings).Leftovers().isEmpty(), \
                              qPrintable((holdings).Leftovers()), 2000)

// A news server with articles enough for minutes of download.
std::unique_ptr<newsd::Server> StartNewsServer();

// Points the settings at the server, as a user would through the settings file.
void PointAt(TestDialogLogic& logic, const newsd::Server& server);

struct DialogSession {
    DialogSession();
    ~DialogSession();

    zodiva::gui::TestDialog& Dialog() { return *dialog; }
    QPushButton* Button(int id) const;
    QLineEdit* Edit(int id) const;
    QCheckBox* CheckBox(int id) const;
    QLabel* Rate() const;

    Workspace workspace;
    std::unique_ptr<newsd::Server> server;
    std::unique_ptr<zodiva::gui::MessageBoxBridge> bridge;
    std::unique_ptr<TestDialogLogic> logic;
    std::unique_ptr<zodiva::gui::TestDialog> dialog;
};

// The rate text read back as a number: the value before "KBps", or -1 for any other text.
double RateValue(const QString& text);

// The modal message box shown now, or nullptr.
QMessageBox* VisibleMessageBox();

// Runs `action` on the GUI thread as soon as `ready` holds (checked every few milliseconds
// while the event loop runs, also inside nested modal loops); gives up after `timeoutMs` or
// when `context` is destroyed, so that a watcher never outlives the test that set it.
void WhenReady(QObject* context, std::function<bool()> ready, std::function<void()> action,
               int timeoutMs = 10000);

// Answers the next message box with `button`, remembering its text and title.
struct BoxAnswer {
    bool seen = false;
    QString text;
    QString title;
    int buttons = 0;
    int icon = 0;
};
std::shared_ptr<BoxAnswer> AnswerNextMessageBox(QObject* context, int button,
                                                int timeoutMs = 10000);

}  // namespace guitest
