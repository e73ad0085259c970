#pragma once
// What the thread objects know of a thread's time, for GetThreadTimes.
#include <cstdint>

#include "platform/Kernel.h"

namespace platform {

struct ThreadClockReading {
    std::int64_t creationFileTime = 0;  // system time when the thread was made
    std::int64_t exitFileTime = 0;      // system time when it ended; 0 while it runs
    std::int64_t cpuNanoseconds = 0;    // CPU time the thread has used (all of it once ended)
};

// False (ERROR_INVALID_HANDLE set) when the handle is not a thread started by _beginthreadex.
bool ReadThreadClock(HANDLE thread, ThreadClockReading& reading);

}  // namespace platform
