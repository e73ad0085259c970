#pragma once
// Replaces the system clock for one test: time stands still until the test moves it.
//
//   TestClock clock;              // starts at kDefaultStart (local time depends on TZ)
//   clock.AdvanceSeconds(181);    // every GetSystemTimeAsFileTime now reads 181 s later
#include <chrono>
#include <cstdint>

#include "platform/Time.h"

class TestClock {
public:
    // 2026-12-07 15:22:40 UTC as a FILETIME value.
    static constexpr std::int64_t kDefaultStart =
        platform::kFileTimeUnixEpoch + 1796656960LL * platform::kFileTimeUnitsPerSecond;

    explicit TestClock(std::int64_t start = kDefaultStart) { platform::InstallTestClock(start); }
    ~TestClock() { platform::RemoveTestClock(); }
    TestClock(const TestClock&) = delete;
    TestClock& operator=(const TestClock&) = delete;

    void Advance(std::chrono::nanoseconds by) { platform::AdvanceTestClock(by.count() / 100); }
    void AdvanceSeconds(std::int64_t seconds) {
        platform::AdvanceTestClock(seconds * platform::kFileTimeUnitsPerSecond);
    }
    void AdvanceMilliseconds(std::int64_t ms) {
        platform::AdvanceTestClock(ms * platform::kFileTimeUnitsPerMillisecond);
    }
    void Set(std::int64_t fileTime) { platform::SetTestClock(fileTime); }
    std::int64_t Now() const { return platform::CurrentFileTime(); }
};
