#include "platform/Time.h"

#include <ctime>

namespace platform::detail {

std::int64_t RealFileTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    return kFileTimeUnixEpoch + static_cast<std::int64_t>(now.tv_sec) * kFileTimeUnitsPerSecond +
           now.tv_nsec / 100;
}

std::int64_t RealMonotonicTime() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * kFileTimeUnitsPerSecond + now.tv_nsec / 100;
}

}  // namespace platform::detail

#include "platform/detail/ClockHook.inc"

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
