#include "platform/Time.h"

#include "platform/Messages.h"

#include <atomic>
#include <ctime>

namespace {

std::atomic<bool> gTestClockInstalled{false};
std::atomic<std::int64_t> gTestClock{0};
std::atomic<std::int64_t> gTestMonotonic{0};

std::int64_t RealFileTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return platform::kFileTimeUnixEpoch +
           static_cast<std::int64_t>(now.tv_sec) * platform::kFileTimeUnitsPerSecond +
           now.tv_nsec / 100;
}

}  // namespace

namespace platform {

std::int64_t MonotonicTime() {
    if (gTestClockInstalled.load(std::memory_order_acquire))
        return gTestMonotonic.load(std::memory_order_acquire);
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kFileTimeUnitsPerSecond + now.tv_nsec / 100;
}

std::int64_t CurrentFileTime() {
    if (gTestClockInstalled.load(std::memory_order_acquire))
        return gTestClock.load(std::memory_order_acquire);
    return RealFileTime();
}

std::uint64_t FileTimeToUInt64(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

FILETIME UInt64ToFileTime(std::uint64_t value) {
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

void InstallTestClock(std::int64_t fileTime) {
    gTestClock.store(fileTime, std::memory_order_release);
    gTestClockInstalled.store(true, std::memory_order_release);
}

// Moving the clock wakes every sleeping message queue, so a timer that has just become due
// fires now rather than at the queue's next look at the clock.
void SetTestClock(std::int64_t fileTime) {
    gTestClock.store(fileTime, std::memory_order_release);
    WakeAllMessageQueues();
}

void AdvanceTestClock(std::int64_t fileTimeUnits) {
    gTestClock.fetch_add(fileTimeUnits, std::memory_order_acq_rel);
    gTestMonotonic.fetch_add(fileTimeUnits, std::memory_order_acq_rel);
    WakeAllMessageQueues();
}

void RemoveTestClock() {
    gTestClockInstalled.store(false, std::memory_order_release);
}

bool IsTestClockInstalled() {
    return gTestClockInstalled.load(std::memory_order_acquire);
}

}  // namespace platform

void GetSystemTimeAsFileTime(LPFILETIME time) {
    *time = platform::UInt64ToFileTime(static_cast<std::uint64_t>(platform::CurrentFileTime()));
}

void GetLocalTime(LPSYSTEMTIME time) {
    platform::LocalTimeOf(platform::CurrentFileTime(), *time);
}

void platform::LocalTimeOf(std::int64_t fileTime, SYSTEMTIME& result) {
    SYSTEMTIME* time = &result;
    const std::int64_t units = fileTime - platform::kFileTimeUnixEpoch;
    std::int64_t seconds = units / platform::kFileTimeUnitsPerSecond;
    std::int64_t remainder = units % platform::kFileTimeUnitsPerSecond;
    if (remainder < 0) {  // before 1970: floor, so the milliseconds stay positive
        --seconds;
        remainder += platform::kFileTimeUnitsPerSecond;
    }
    const time_t whole = static_cast<time_t>(seconds);
    tm local{};
    localtime_r(&whole, &local);
    time->wYear = static_cast<WORD>(local.tm_year + 1900);
    time->wMonth = static_cast<WORD>(local.tm_mon + 1);
    time->wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time->wDay = static_cast<WORD>(local.tm_mday);
    time->wHour = static_cast<WORD>(local.tm_hour);
    time->wMinute = static_cast<WORD>(local.tm_min);
    time->wSecond = static_cast<WORD>(local.tm_sec);
    time->wMilliseconds = static_cast<WORD>(remainder / platform::kFileTimeUnitsPerMillisecond);
}
