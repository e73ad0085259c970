#pragma once
// The user's request to stop a headless run (Ctrl+C, or a termination request), taken while
// the object lives so that the run can stop cleanly instead of being killed mid-download.
// On Linux these are SIGINT and SIGTERM, blocked for the calling thread and every thread it
// starts (create the object before any thread); on Windows the console's control events.
#include <chrono>
#include <memory>

class StopSignals {
public:
    using Clock = std::chrono::steady_clock;

    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Waits until `deadline` or a stop request; non-zero (the signal number on Linux) for a
    // request, 0 at the deadline.
    int WaitUntil(Clock::time_point deadline);

private:
    struct State;
    std::unique_ptr<State> m_state;
};
