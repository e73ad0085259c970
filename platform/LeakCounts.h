#pragma once
// What the platform holds at this moment, for tests that check that nothing was left behind.
// Only tests include this header (scripts/check-layers sees to it): the product never needs
// to count, and a Windows build has no such counts.
#include <cstddef>

namespace platform {

// Sockets open now, on every thread.
std::size_t OpenSocketCount();
// Lookups handed to the helper threads and not yet delivered or cancelled.
std::size_t PendingLookupCount();
// Windows created and not yet destroyed, on every thread.
std::size_t LiveWindowCount();
// Messages posted or sent and not yet taken, in every thread's queue, and the timers running
// on the calling thread.
std::size_t QueuedEntryCount();

}  // namespace platform
