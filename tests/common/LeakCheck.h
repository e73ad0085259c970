#pragma once
// Checks that a test leaves nothing of the platform behind: no socket open, no window alive,
// no host lookup pending, no message or timer queued. Declare it as the first member of a
// fixture, so that it is destroyed last, after everything the fixture owns; what is still
// there then (after a short grace for threads that are winding down) fails the test.
#include <cstddef>

class LeakCheck {
public:
    LeakCheck();
    ~LeakCheck();
    LeakCheck(const LeakCheck&) = delete;
    LeakCheck& operator=(const LeakCheck&) = delete;

    struct Counts {
        std::size_t sockets = 0;
        std::size_t windows = 0;
        std::size_t lookups = 0;
        std::size_t queued = 0;
        bool operator==(const Counts&) const = default;
    };
    static Counts Now();

private:
    Counts m_before;
};
