#include "tests/common/LeakCheck.h"

#include <gtest/gtest.h>

#include <chrono>

#include "tests/common/MessagePump.h"

LeakCheck::LeakCheck() : m_before(PlatformCounts::Now()) {}

LeakCheck::~LeakCheck() {
    // Notifications of closed sockets and destroyed windows still queued are dropped as they
    // are taken; a lookup thread or an engine thread may take a moment to let go.
    PlatformCounts after;
    PumpUntil(
        [&] {
            after = PlatformCounts::Now();
            return after == m_before;
        },
        std::chrono::milliseconds(2000));
    EXPECT_EQ(after.sockets, m_before.sockets) << "the test left a socket open";
    EXPECT_EQ(after.windows, m_before.windows) << "the test left a window alive";
    EXPECT_EQ(after.lookups, m_before.lookups) << "the test left a host lookup pending";
    EXPECT_EQ(after.queued, m_before.queued) << "the test left a message or timer queued";
}
