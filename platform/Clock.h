#pragma once
// The engine's clock, the same on both systems: the system time as one 64-bit FILETIME value,
// a monotonic clock for intervals, and the test clock hook. While a test clock is installed
// the engine's clock reads it instead of the system's, so tests move time by hand (a
// 180-second time-out passes in one call). platform/Time.h of each build declares the time
// types and includes this header.
#include <cstdint>

#include "platform/Time.h"

namespace platform {

// 100-ns units between 1601-01-01 and 1970-01-01 (the Unix epoch).
constexpr std::int64_t kFileTimeUnixEpoch = 116444736000000000LL;
constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000LL;
constexpr std::int64_t kFileTimeUnitsPerMillisecond = 10000LL;

// The current system time as one 64-bit FILETIME value (test clock when installed).
std::int64_t CurrentFileTime();
// Start and end of an interval on that clock, as the connections time their delays and
// handshakes. Unsigned, so a clock set back gives a huge interval and whatever is timed ends at
// the next check instead of never.
inline std::uint64_t CurrentFileTimeStamp() {
    return static_cast<std::uint64_t>(CurrentFileTime());
}
inline std::int64_t WholeSecondsSince(std::uint64_t start) {
    return static_cast<std::int64_t>((CurrentFileTimeStamp() - start) /
                                     static_cast<std::uint64_t>(kFileTimeUnitsPerSecond));
}
// Local calendar time of a FILETIME value (what GetLocalTime gives at that moment).
void LocalTimeOf(std::int64_t fileTime, SYSTEMTIME& time);
std::uint64_t FileTimeToUInt64(const FILETIME& time);
FILETIME UInt64ToFileTime(std::uint64_t value);

// A clock that never steps: 100-ns units from an unspecified start, for measuring intervals
// (rates, latencies) that a change of the system time must not disturb. With the test clock
// installed it moves with AdvanceTestClock only: SetTestClock plays a system time being set,
// which leaves it alone.
std::int64_t MonotonicTime();

// The test clock hook. Install it with a start value; from then on the time stands still
// until the test moves it. Safe to use from any thread. Prefer tests/common/TestClock.h.
void InstallTestClock(std::int64_t fileTime);
void SetTestClock(std::int64_t fileTime);
void AdvanceTestClock(std::int64_t fileTimeUnits);
void RemoveTestClock();
bool IsTestClockInstalled();

}  // namespace platform
