#include "app/core/StopSignals.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

struct StopSignals::State {
    sigset_t set;
    sigset_t previous;
};

StopSignals::StopSignals() : m_state(std::make_unique<State>()) {
    sigemptyset(&m_state->set);
    sigaddset(&m_state->set, SIGINT);
    sigaddset(&m_state->set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &m_state->set, &m_state->previous);
}

StopSignals::~StopSignals() {
    // Drop what arrived so that unblocking does not deliver it with its default action.
    timespec zero{0, 0};
    while (sigtimedwait(&m_state->set, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &m_state->previous, nullptr);
}

int StopSignals::WaitUntil(Clock::time_point deadline) {
    for (;;) {
        const auto now = Clock::now();
        const auto left = deadline > now ? deadline - now : Clock::duration::zero();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int signal = sigtimedwait(&m_state->set, nullptr, &timeout);
        if (signal > 0) {
            return signal;
        }
        if (Clock::now() >= deadline) {
            return 0;
        }
    }
}
