#include "app/core/EngineCpuClock.h"

#include <cstdint>

namespace {

double Seconds(const FILETIME& time) {
    const std::uint64_t ticks =
        (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<double>(ticks) / 1e7;  // 100-ns units
}

}  // namespace

double ThreadCpuSeconds(HANDLE thread) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetThreadTimes(thread, &creation, &exit, &kernel, &user))
        return -1.0;
    return Seconds(kernel) + Seconds(user);
}

double EngineCpuClock::Seconds() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_frozen ? m_final : ThreadCpuSeconds(m_thread);
}

void EngineCpuClock::Freeze() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_frozen)
        m_final = ThreadCpuSeconds(m_thread);
    m_frozen = true;
}
