// The engine's clock on Windows: the system's, or the test clock while one is installed.
#include "platform/Time.h"

#include <ctime>

namespace platform::detail {

std::int64_t RealFileTime() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>(FileTimeToUInt64(now));
}

std::int64_t RealMonotonicTime() {
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

}  // namespace platform::detail

#include "platform/detail/ClockHook.inc"

namespace platform {

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
