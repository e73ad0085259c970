#pragma once
// Driving the test thread's own message queue: what the engine thread's loop does, with a
// real-time guard. Between looks the pump sleeps in the queue itself, so a notification is
// handled the moment it arrives; it looks again a few milliseconds later regardless, for a
// condition that another thread makes true without a message to this one.
#include <chrono>
#include <functional>

// Guard for waits on threads and the network; a test that reaches it has failed already.
inline constexpr std::chrono::milliseconds kPatience{15000};

// Dispatches every message queued for the calling thread (and what that queues at once).
void DispatchPending();

// Dispatches the calling thread's messages until done() holds; false after `patience`.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds patience = kPatience);

// Dispatches the calling thread's messages for `span`: for showing that nothing more happens.
void PumpFor(std::chrono::milliseconds span);

// Waits, without dispatching, until done() holds (for a condition of other threads); false
// after `patience`.
bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds patience = kPatience);

// Keeps the socket library started for the lifetime of the object, as the engine thread does.
class SocketLibrary {
public:
    SocketLibrary();
    ~SocketLibrary();
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
    bool Started() const { return m_started; }

private:
    bool m_started = false;
};
