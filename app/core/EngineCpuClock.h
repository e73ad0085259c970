#pragma once
// The CPU time of one engine thread, readable from any thread (the front end's lines, a
// metrics scrape) while the engine runs and after it has stopped. The owner freezes it
// before the thread's handle goes, so no reader ever asks about a closed handle.
#include <mutex>

#include "platform/windows.h"

class EngineCpuClock {
public:
    explicit EngineCpuClock(HANDLE thread) : m_thread(thread) {}
    EngineCpuClock(const EngineCpuClock&) = delete;
    EngineCpuClock& operator=(const EngineCpuClock&) = delete;

    // Seconds of CPU the thread has used; negative when the system cannot tell.
    double Seconds() const;
    // Keeps the reading of now for good; call before the thread's handle is closed.
    void Freeze();

private:
    mutable std::mutex m_mutex;
    HANDLE m_thread;
    bool m_frozen = false;
    double m_final = -1.0;
};

// Kernel plus user time of a thread in seconds; negative when GetThreadTimes fails.
double ThreadCpuSeconds(HANDLE thread);
