#include "app/qt/TerminationSignals.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <atomic>

namespace zodiva::gui {
namespace {

constexpr int kSignals[3] = {SIGINT, SIGTERM, SIGHUP};
std::atomic<int> gWriteFd{-1};

// Only async-signal-safe calls: one byte into the pipe, which the GUI thread reads.
void OnSignal(int signalNumber) {
    const int fd = gWriteFd.load();
    if (fd < 0)
        return;
    const unsigned char byte = static_cast<unsigned char>(signalNumber);
    const int savedErrno = errno;
    [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    errno = savedErrno;
}

}  // namespace

TerminationSignals::TerminationSignals() {
    if (gWriteFd.load() >= 0)
        return;  // another instance owns the signals
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0)
        return;
    m_notifier = std::make_unique<QSocketNotifier>(m_fds[0], QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &TerminationSignals::OnReadable);
    gWriteFd.store(m_fds[1]);
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &action, &m_previous[i]);
    m_installed = true;
}

TerminationSignals::~TerminationSignals() {
    RestoreHandlers();
    m_notifier.reset();
    for (int fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

void TerminationSignals::RestoreHandlers() {
    if (!m_installed)
        return;
    for (int i = 0; i < 3; ++i) sigaction(kSignals[i], &m_previous[i], nullptr);
    gWriteFd.store(-1);
    m_installed = false;
}

void TerminationSignals::OnReadable() {
    unsigned char byte = 0;
    if (::read(m_fds[0], &byte, 1) != 1)
        return;
    // From now on a signal ends the process the default way, should closing hang.
    RestoreHandlers();
    emit Received(byte);
}

void CloseAllWindowsOnSignal(TerminationSignals& source) {
    QObject::connect(&source, &TerminationSignals::Received, &source,
                     [] { QApplication::closeAllWindows(); });
}

}  // namespace zodiva::gui
