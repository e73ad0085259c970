// The engine's clock on Windows: the system's, or the test clock while one is installed.
#include "platform/Time.h"

#include <atomic>
#include <ctime>

namespace {

std::atomic<bool> gTestClockInstalled{false};
std::atomic<std::int64_t> gTestClock{0};
std::atomic<std::int64_t> gTestMonotonic{0};

std::int64_t RealFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>(platform::FileTimeToUInt64(now));
}

}  // namespace

namespace platform {

std::int64_t MonotonicTime() {
    if (gTestClockInstalled.load(std::memory_order_acquire))
        return gTestMonotonic.load(std::memory_order_acquire);
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    // Split so that the multiplication cannot overflow after a long uptime.
    const std::int64_t ticks = count.QuadPart;
    return ticks / frequency * kFileTimeUnitsPerSecond +
           ticks % frequency * kFileTimeUnitsPerSecond / frequency;
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

void SetTestClock(std::int64_t fileTime) {
    gTestClock.store(fileTime, std::memory_order_release);
}

void AdvanceTestClock(std::int64_t fileTimeUnits) {
    gTestClock.fetch_add(fileTimeUnits, std::memory_order_acq_rel);
    gTestMonotonic.fetch_add(fileTimeUnits, std::memory_order_acq_rel);
}

void RemoveTestClock() {
    gTestClockInstalled.store(false, std::memory_order_release);
}

bool IsTestClockInstalled() {
    return gTestClockInstalled.load(std::memory_order_acquire);
}

// The C library's local time honours TZ as the tests set it, as well as the system's zone
// when TZ is not set; the rules in force on that date apply.
void LocalTimeOf(std::int64_t fileTime, SYSTEMTIME& time) {
    const std::int64_t units = fileTime - kFileTimeUnixEpoch;
    std::int64_t seconds = units / kFileTimeUnitsPerSecond;
    std::int64_t remainder = units % kFileTimeUnitsPerSecond;
    if (remainder < 0) {  // before 1970: floor, so the milliseconds stay positive
        --seconds;
        remainder += kFileTimeUnitsPerSecond;
    }
    const __time64_t whole = seconds;
    tm local{};
    if (_localtime64_s(&local, &whole) != 0) {
        FILETIME utc = UInt64ToFileTime(static_cast<std::uint64_t>(fileTime));
        FileTimeToSystemTime(&utc, &time);  // before the C library's range: UTC
        return;
    }
    time.wYear = static_cast<WORD>(local.tm_year + 1900);
    time.wMonth = static_cast<WORD>(local.tm_mon + 1);
    time.wDayOfWeek = static_cast<WORD>(local.tm_wday);
    time.wDay = static_cast<WORD>(local.tm_mday);
    time.wHour = static_cast<WORD>(local.tm_hour);
    time.wMinute = static_cast<WORD>(local.tm_min);
    time.wSecond = static_cast<WORD>(local.tm_sec);
    time.wMilliseconds = static_cast<WORD>(remainder / kFileTimeUnitsPerMillisecond);
}

}  // namespace platform
