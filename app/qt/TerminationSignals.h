#pragma once
// Ctrl-C in the terminal that started the program, or a SIGTERM from the session, closes the
// windows the way the user would, so the download stops and no article file is left behind.
// A second signal while closing takes the default way out.
#include <QObject>
#include <csignal>
#include <memory>

class QSocketNotifier;

namespace zodiva::gui {

class TerminationSignals : public QObject {
    Q_OBJECT
public:
    // Installs handlers for SIGINT, SIGTERM and SIGHUP; one may exist at a time.
    TerminationSignals();
    ~TerminationSignals() override;
    TerminationSignals(const TerminationSignals&) = delete;
    TerminationSignals& operator=(const TerminationSignals&) = delete;

    bool Installed() const { return m_installed; }

signals:
    void Received(int signalNumber);

private:
    void OnReadable();
    void RestoreHandlers();

    int m_fds[2] = {-1, -1};  // [0] read by the GUI thread, [1] written by the handler
    std::unique_ptr<QSocketNotifier> m_notifier;
    struct sigaction m_previous[3] = {};
    bool m_installed = false;
};

// Closes every window; the dialog stops its download on the way out.
void CloseAllWindowsOnSignal(TerminationSignals& source);

}  // namespace zodiva::gui
