#include "net/Connector.h"

#include <cstring>

#include "platform/Assert.h"
#include "platform/Clock.h"

void Connector::Prepare(int portToDial) {
    m_port = portToDial;
    m_addresses.count = 0;
    m_nextAddress = 0;
}

bool Connector::IsDottedQuad(const char* text) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    int dots = 0;
    const char* p = text;
    for (; *p != '\0'; ++p) {
        if (*p == '.') {
            ++dots;
        } else if (*p < '0' || *p > '9') {
            break;
        }
    }
    return *p == '\0' && dots == 3;
}

bool Connector::UseLiteral(const std::string& machine) {
    if (IsDottedQuad(machine.c_str())) {
        SetRemote4(inet_addr(machine.c_str()));
        return true;
    }
    in6_addr address6 = {};
    if (inet_pton(AF_INET6, machine.c_str(), &address6) == 1) {
        SetRemote6(address6);
        return true;
    }
    return false;
}

bool Connector::StartLookup(HWND window, UINT message, const std::string& name) {
    // A newer lookup replaces an older one, whose result must then never arrive.
    CancelLookup();
    std::memset(&m_addresses, 0, sizeof m_addresses);
    // Every address family: a server may be reachable over IPv6 only, or over IPv4 only.
    m_hLookup = platform::AsyncGetHostAddresses(window, message, name.c_str(), &m_addresses);
    if (m_hLookup == nullptr) {
        return false;
    }
    m_state = State::kLookingUp;
    return true;
}

void Connector::CancelLookup() {
    if (m_hLookup != nullptr) {
        WSACancelAsyncRequest(m_hLookup);
        m_hLookup = nullptr;
    }
    if (m_state == State::kLookingUp) {
        m_state = State::kIdle;
    }
}

bool Connector::TakeLookup(HANDLE task) {
    if (m_hLookup == nullptr || task != m_hLookup) {
        return false;
    }
    m_hLookup = nullptr;
    m_state = State::kIdle;
    return true;
}

void Connector::UseAddresses(const platform::HostAddressList& list) {
    if (&list != &m_addresses) {
        m_addresses = list;
    }
    m_nextAddress = 0;
}

// The addresses are tried in the resolver's order; only the last failure is reported.
void Connector::TakeNextAddress() {
    const SOCKADDR_STORAGE& next = m_addresses.addresses[m_nextAddress++];
    if (next.ss_family == AF_INET6) {
        sockaddr_in6 address = {};
        std::memcpy(&address, &next, sizeof address);
        SetRemote6(address.sin6_addr);
    } else {
        sockaddr_in address = {};
        std::memcpy(&address, &next, sizeof address);
        SetRemote4(address.sin_addr.s_addr);
    }
}

void Connector::SetRemote4(unsigned long networkAddress) {
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(m_port));
    address.sin_addr.s_addr = static_cast<std::uint32_t>(networkAddress);
    m_remote = {};
    std::memcpy(&m_remote, &address, sizeof address);
    m_remoteLength = sizeof address;
}

void Connector::SetRemote6(const in6_addr& networkAddress) {
    sockaddr_in6 address = {};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<u_short>(m_port));
    address.sin6_addr = networkAddress;
    m_remote = {};
    std::memcpy(&m_remote, &address, sizeof address);
    m_remoteLength = sizeof address;
}

void Connector::StartClock(HWND window, TIMERPROC timerProc) {
    // Once per attempt, between the TCP connect and the handshakes' outcome.
    ZODIVA_ASSERT(m_state != State::kHandshaking);
    m_state = State::kHandshaking;
    m_clockStart = platform::CurrentFileTimeStamp();
    if (window != nullptr) {
        SetTimer(window, kClockTimerId, m_checkMilliseconds, timerProc);
    }
}

void Connector::StopClock(HWND window) {
    if (m_state != State::kHandshaking) {
        return;
    }
    m_state = State::kIdle;
    if (window != nullptr) {
        KillTimer(window, kClockTimerId);
    }
}

bool Connector::IsOverdue(std::int64_t* seconds) const {
    if (m_state != State::kHandshaking) {
        return false;
    }
    *seconds = platform::WholeSecondsSince(m_clockStart);
    return *seconds > m_timeoutSeconds;
}

void Connector::DialEnded() {
    if (m_state == State::kDialling) {
        m_state = State::kIdle;
    }
}

void Connector::Reset(HWND window) {
    CancelLookup();
    StopClock(window);
    m_state = State::kIdle;
}
