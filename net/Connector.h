#pragma once
// The first stage of BaseSocket's chain: where an attempt dials and how long its handshakes
// may take. It holds the address to dial (a literal given to Connect, or one of the lookup's
// results in the resolver's order), the pending lookup, and the clock that runs from the TCP
// connect to the end of the handshakes (a peer that stops answering half-way would otherwise
// hold the attempt for ever). The socket itself is BaseSocket's.
#include <cstdint>
#include <string>

#include "platform/WinsockAdditions.h"
#include "platform/windows.h"

class Connector {
public:
    static constexpr int kDefaultTimeoutSeconds = 180;
    static constexpr UINT kDefaultCheckMilliseconds = 2000;

    // A new attempt to portToDial (the proxy's port when a proxy is used): no address yet.
    void Prepare(int portToDial);
    void SetPort(int portToDial) { m_port = portToDial; }
    // True for digits and dots only, with exactly three dots (ranges are not checked).
    static bool IsDottedQuad(const char* text);
    // True (and the address set) when machine is an IPv4 dotted quad or an IPv6 literal.
    bool UseLiteral(const std::string& machine);

    // Starts resolving name; the result arrives as message on window. False when no lookup
    // could be started.
    bool StartLookup(HWND window, UINT message, const std::string& name);
    void CancelLookup();
    bool IsLookupPending() const { return m_state == State::kLookingUp; }
    // True (and the lookup over) when task is the pending lookup; else the message is stale.
    bool TakeLookup(HANDLE task);
    // The finished lookup's result.
    const platform::HostAddressList& Found() const { return m_addresses; }

    // Tries list from its first address on.
    void UseAddresses(const platform::HostAddressList& list);
    bool HasAddresses() const { return m_addresses.count > 0; }
    bool HasMoreAddresses() const { return m_nextAddress < m_addresses.count; }
    // Takes the next address of the list as the one to dial.
    void TakeNextAddress();

    // The address to dial now.
    int Family() const { return m_remote.ss_family; }
    const sockaddr* Remote() const { return reinterpret_cast<const sockaddr*>(&m_remote); }
    int RemoteLength() const { return m_remoteLength; }
    void MarkDialling() { m_state = State::kDialling; }
    // The TCP connect's outcome arrived (the clock, when handshakes follow, is started apart).
    void DialEnded();

    // The handshake clock: from the TCP connect to OnConnect. Checked every check period
    // through timerProc on window.
    void StartClock(HWND window, TIMERPROC timerProc);
    void StopClock(HWND window);
    bool IsClockRunning() const { return m_state == State::kHandshaking; }
    // True, with the whole seconds on the clock, once they are strictly more than the limit.
    bool IsOverdue(std::int64_t* seconds) const;
    void SetTimeout(int seconds) { m_timeoutSeconds = seconds; }
    int Timeout() const { return m_timeoutSeconds; }
    void SetCheckPeriod(UINT milliseconds) { m_checkMilliseconds = milliseconds; }
    static constexpr UINT_PTR kClockTimerId = 0x5A17;

    // The lookup cancelled and the clock stopped; the address list stays (the next address of
    // the same attempt is dialled after a reset).
    void Reset(HWND window);

private:
    enum class State {
        kIdle,         // nothing under way, or the handshakes are over
        kLookingUp,    // waiting for the lookup's result
        kDialling,     // a TCP connect is under way
        kHandshaking,  // TCP is up, the handshakes run, the clock with them
    };
    void SetRemote4(unsigned long networkAddress);
    void SetRemote6(const in6_addr& networkAddress);

    State m_state = State::kIdle;
    int m_port = 0;
    SOCKADDR_STORAGE m_remote = {};  // a sockaddr_in or sockaddr_in6
    int m_remoteLength = 0;
    HANDLE m_hLookup = nullptr;
    platform::HostAddressList m_addresses = {};
    int m_nextAddress = 0;
    std::uint64_t m_clockStart = 0;  // 100-ns system time of the TCP connect
    int m_timeoutSeconds = kDefaultTimeoutSeconds;
    UINT m_checkMilliseconds = kDefaultCheckMilliseconds;
};
