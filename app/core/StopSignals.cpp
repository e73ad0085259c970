#include "app/core/StopSignals.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

struct StopSignals::State {
    sigset_t set;
    sigset_t previous;
};

StopSignals::StopSignals() : state_(std::make_unique<State>()) {
    sigemptyset(&state_->set);
    sigaddset(&state_->set, SIGINT);
    sigaddset(&state_->set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &state_->set, &state_->previous);
}

StopSignals::~StopSignals() {
    // Drop what arrived so that unblocking does not deliver it with its default action.
    timespec zero{0, 0};
    while (sigtimedwait(&state_->set, nullptr, &zero) > 0) {
    }
    pthread_sigmask(SIG_SETMASK, &state_->previous, nullptr);
}

int StopSignals::WaitUntil(Clock::time_point deadline) {
    for (;;) {
        const auto now = Clock::now();
        const auto left = deadline > now ? deadline - now : Clock::duration::zero();
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int signal = sigtimedwait(&state_->set, nullptr, &timeout);
        if (signal > 0) {
            return signal;
        }
        if (Clock::now() >= deadline) {
            return 0;
        }
    }
}
