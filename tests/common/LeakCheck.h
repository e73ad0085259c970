#pragma once
// Checks that a test leaves nothing of the platform behind: no socket open, no window alive,
// no host lookup pending, no message or timer queued. Declare it as the first member of a
// fixture, so that it is destroyed last, after everything the fixture owns; what is still
// there then (after a short grace for threads that are winding down) fails the test.
#include "tests/common/PlatformCounts.h"

class LeakCheck {
public:
    LeakCheck();
    ~LeakCheck();
    LeakCheck(const LeakCheck&) = delete;
    LeakCheck& operator=(const LeakCheck&) = delete;

private:
    PlatformCounts m_before;
};
