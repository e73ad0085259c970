// Stop requests on Windows: Ctrl+C, Ctrl+Break and closing the console window. The handler
// runs on a thread of its own; it only sets an event that the run waits on.
#include "app/core/StopSignals.h"

#include <atomic>

#include "platform/windows.h"

namespace {

std::atomic<HANDLE> gRequested{nullptr};

BOOL WINAPI OnConsoleControl(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            if (HANDLE requested = gRequested.load())
                SetEvent(requested);
            return TRUE;  // handled: the run stops by itself
        default:
            return FALSE;
    }
}

}  // namespace

struct StopSignals::State {
    HANDLE requested = nullptr;
};

StopSignals::StopSignals() : m_state(std::make_unique<State>()) {
    m_state->requested = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    gRequested.store(m_state->requested);
    SetConsoleCtrlHandler(&OnConsoleControl, TRUE);
}

StopSignals::~StopSignals() {
    SetConsoleCtrlHandler(&OnConsoleControl, FALSE);
    gRequested.store(nullptr);
    CloseHandle(m_state->requested);
}

int StopSignals::WaitUntil(Clock::time_point deadline) {
    const auto now = Clock::now();
    const auto left = deadline > now ? deadline - now : Clock::duration::zero();
    // Rounded up, so that the wait never ends before the deadline.
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    if (WaitForSingleObject(m_state->requested, static_cast<DWORD>(ms)) == WAIT_OBJECT_0) {
        ResetEvent(m_state->requested);
        return 2;  // as SIGINT
    }
    return 0;
}
