#include "support/LogText.h"

#include <ctime>

#include "platform/Time.h"

namespace {

const char* const MonthNames[13] = {"",    "Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                    "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

void AppendTwoDigits(std::string& out, unsigned value) {
    out += static_cast<char>('0' + value / 10 % 10);
    out += static_cast<char>('0' + value % 10);
}

void AppendTimeOfDay(std::string& out, const SYSTEMTIME& time) {
    AppendTwoDigits(out, time.wHour);
    out += ':';
    AppendTwoDigits(out, time.wMinute);
    out += ':';
    AppendTwoDigits(out, time.wSecond);
}

// The last second's "HH:MM:SS". Local time can change under a standing second only when the
// time zone is set anew, so the zone as the C library last read it is part of the key.
struct TimeOfDayCache {
    std::int64_t second = INT64_MIN;
    long zoneOffset = 0;
    const char* zoneName = nullptr;
    char text[8] = {};
};
thread_local TimeOfDayCache gTimeOfDay;

}  // namespace

void AppendDecimal(std::string& out, int value) {
    char digits[12];
    char* end = digits + sizeof digits;
    char* p = end;
    // Work on the magnitude as unsigned, so the lowest int has one too.
    unsigned magnitude = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        *--p = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (value < 0)
        *--p = '-';
    out.append(p, static_cast<size_t>(end - p));
}

void AppendHex(std::string& out, unsigned value, bool upperCase) {
    const char* const digitsOf = upperCase ? "0123456789ABCDEF" : "0123456789abcdef";
    char digits[8];
    char* end = digits + sizeof digits;
    char* p = end;
    do {
        *--p = digitsOf[value & 0xFu];
        value >>= 4;
    } while (value != 0);
    out.append(p, static_cast<size_t>(end - p));
}

void AppendDateTimeStampAt(std::string& out, std::int64_t fileTime) {
    SYSTEMTIME now;
    platform::LocalTimeOf(fileTime, now);
    out += MonthNames[now.wMonth >= 1 && now.wMonth <= 12 ? now.wMonth : 0];
    out += ' ';
    AppendTwoDigits(out, now.wDay);
    out += ", ";
    AppendDecimal(out, now.wYear);
    out += ' ';
    AppendTimeOfDay(out, now);
    out += ": ";
}

void AppendTimeStampNow(std::string& out) {
    AppendTimeStampAt(out, platform::CurrentFileTime());
}

void AppendTimeStampAt(std::string& out, std::int64_t fileTime) {
    std::int64_t second = fileTime / platform::kFileTimeUnitsPerSecond;
    if (fileTime < 0 && fileTime % platform::kFileTimeUnitsPerSecond != 0)
        --second;
    TimeOfDayCache& cache = gTimeOfDay;
    if (cache.second != second || cache.zoneOffset != timezone || cache.zoneName != tzname[0]) {
        SYSTEMTIME now;
        platform::LocalTimeOf(fileTime, now);
        std::string text;
        text.reserve(sizeof cache.text);
        AppendTimeOfDay(text, now);
        text.copy(cache.text, sizeof cache.text);
        cache.second = second;
        cache.zoneOffset = timezone;
        cache.zoneName = tzname[0];
    }
    out.append(cache.text, sizeof cache.text);
}
