// GetThreadTimes from the thread's own CPU clock. Linux keeps one CPU clock per thread and no
// split into kernel and user time that can be read at this precision, so the whole CPU time is
// reported as user time and the kernel time as 0; callers that want the thread's CPU use add
// the two, which is what Windows' figures give too.
#include "platform/detail/ThreadClock.h"
#include "platform/Time.h"

namespace {

FILETIME ToFileTime(std::int64_t hundredNanoseconds) {
    const auto value = static_cast<std::uint64_t>(hundredNanoseconds);
    return FILETIME{static_cast<DWORD>(value & 0xFFFFFFFFu), static_cast<DWORD>(value >> 32)};
}

}  // namespace

BOOL GetThreadTimes(HANDLE thread, LPFILETIME creationTime, LPFILETIME exitTime,
                    LPFILETIME kernelTime, LPFILETIME userTime) {
    if (creationTime == nullptr || exitTime == nullptr || kernelTime == nullptr ||
        userTime == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    platform::ThreadClockReading reading;
    if (!platform::ReadThreadClock(thread, reading))
        return FALSE;
    *creationTime = ToFileTime(reading.creationFileTime);
    *exitTime = ToFileTime(reading.exitFileTime);
    *kernelTime = ToFileTime(0);
    *userTime = ToFileTime(reading.cpuNanoseconds / 100);
    return TRUE;
}
