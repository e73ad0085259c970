#pragma once
// What the platform holds at one moment, on every thread: open sockets, live windows, pending
// host lookups, queued messages and timers. Header-only, so that tests without GoogleTest (the
// Qt ones) can compare two moments as well.
#include <cstddef>

#include "platform/LeakCounts.h"

struct PlatformCounts {
    std::size_t sockets = 0;
    std::size_t windows = 0;
    std::size_t lookups = 0;
    std::size_t queued = 0;
    bool operator==(const PlatformCounts&) const = default;

    static PlatformCounts Now() {
        return {platform::OpenSocketCount(), platform::LiveWindowCount(),
                platform::PendingLookupCount(), platform::QueuedEntryCount()};
    }
};
