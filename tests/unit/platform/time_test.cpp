#include "platform/Time.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "tests/common/TestClock.h"
#include "tests/common/TimeZone.h"

namespace {

std::int64_t SystemTimeNow() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return static_cast<std::int64_t>(platform::FileTimeToUInt64(now));
}

// The engine's clock, which the test clock replaces on both systems. On Linux the system's
// calls read the test clock too; Windows' own do not (the engine reads the time through the
// engine's clock there).
std::int64_t EngineTimeNow() {
#ifndef _WIN32
    if (platform::IsTestClockInstalled()) {
        EXPECT_EQ(SystemTimeNow(), platform::CurrentFileTime());
    }
#endif
    return platform::CurrentFileTime();
}

// Local time of the engine's clock; a test clock must be installed.
SYSTEMTIME LocalTimeNow() {
    SYSTEMTIME local{};
    platform::LocalTimeOf(platform::CurrentFileTime(), local);
#ifndef _WIN32
    SYSTEMTIME system{};
    GetLocalTime(&system);
    EXPECT_EQ(system.wDay, local.wDay);
    EXPECT_EQ(system.wHour, local.wHour);
    EXPECT_EQ(system.wMilliseconds, local.wMilliseconds);
#endif
    return local;
}

using TimeZone = ScopedTimeZone;

TEST(SystemTime, CountsHundredNanosecondsSince1601) {
    const std::int64_t before = std::time(nullptr);
    const std::int64_t now = SystemTimeNow();
    const std::int64_t after = std::time(nullptr);
    const std::int64_t seconds = (now - platform::kFileTimeUnixEpoch) / 10000000;
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
}

TEST(TestClockHook, StandsStillUntilMovedAndGivesBackTheRealClock) {
    {
        TestClock clock;
        EXPECT_TRUE(platform::IsTestClockInstalled());
        EXPECT_EQ(EngineTimeNow(), TestClock::kDefaultStart);
        EXPECT_EQ(EngineTimeNow(), TestClock::kDefaultStart);
        clock.AdvanceSeconds(181);
        EXPECT_EQ(EngineTimeNow(), TestClock::kDefaultStart + 181 * 10000000LL);
        clock.AdvanceMilliseconds(5);
        EXPECT_EQ(EngineTimeNow(), TestClock::kDefaultStart + 181 * 10000000LL + 50000);
        clock.Set(12345);
        EXPECT_EQ(clock.Now(), 12345);
    }
    EXPECT_FALSE(platform::IsTestClockInstalled());
    const std::int64_t seconds = (EngineTimeNow() - platform::kFileTimeUnixEpoch) / 10000000;
    EXPECT_NEAR(static_cast<double>(seconds), static_cast<double>(std::time(nullptr)), 5.0);
}

TEST(LocalTime, FollowsTheClockAndTheTimeZone) {
    TestClock clock;  // 2026-12-07 15:22:40 UTC, a Monday
    clock.AdvanceMilliseconds(250);
    SYSTEMTIME local;
    {
        TimeZone utc("UTC0");
        local = LocalTimeNow();
        EXPECT_EQ(local.wYear, 2026);
        EXPECT_EQ(local.wMonth, 12);
        EXPECT_EQ(local.wDay, 7);
        EXPECT_EQ(local.wDayOfWeek, 1);
        EXPECT_EQ(local.wHour, 15);
        EXPECT_EQ(local.wMinute, 22);
        EXPECT_EQ(local.wSecond, 40);
        EXPECT_EQ(local.wMilliseconds, 250);
    }
    {
        TimeZone east("XST-10");  // ten hours ahead: the next day
        local = LocalTimeNow();
        EXPECT_EQ(local.wDay, 8);
        EXPECT_EQ(local.wHour, 1);
    }
}

}  // namespace
