#include <unordered_map>

#include "newsd/Poller.h"

namespace newsd {
namespace {

// The tag of the wake-up socket.
char wakeTag;

short EventsFor(Poller::Interest interest) {
    switch (interest) {
        case Poller::Interest::kReadable:
            return POLLRDNORM;
        case Poller::Interest::kWritable:
            return POLLWRNORM;
        case Poller::Interest::kNothing:
            break;
    }
    return 0;
}

// A UDP socket connected to itself on loopback: Wake sends it a datagram, which makes the
// poll return. Windows has no eventfd, and a pipe cannot be polled with sockets.
SocketHandle MakeWakeSocket() {
    SocketHandle socket = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (socket == kNoSocket)
        return kNoSocket;
    sockaddr_in where{};
    where.sin_family = AF_INET;
    where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int length = sizeof(where);
    u_long on = 1;
    if (bind(socket, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
        getsockname(socket, reinterpret_cast<sockaddr*>(&where), &length) != 0 ||
        connect(socket, reinterpret_cast<sockaddr*>(&where), sizeof(where)) != 0 ||
        ioctlsocket(socket, FIONBIO, &on) != 0) {
        closesocket(socket);
        return kNoSocket;
    }
    return socket;
}

}  // namespace

struct Poller::Impl {
    struct Watched {
        SocketHandle socket;
        Poller::Interest interest;
    };

    bool started = false;
    int createError = 0;
    SocketHandle wake = kNoSocket;
    // Every watched socket by its tag; the poll set is made from it at each wait.
    std::unordered_map<void*, Watched> watched;
    std::vector<WSAPOLLFD> polled;
    std::vector<void*> polledTags;

    void Drain() {
        char scratch[64];
        while (recv(wake, scratch, sizeof scratch, 0) > 0) {
        }
    }
};

Poller::Poller() : m_impl(std::make_unique<Impl>()) {
    WSADATA data;
    m_impl->createError = WSAStartup(MAKEWORD(2, 2), &data);
    m_impl->started = m_impl->createError == 0;
    if (m_impl->started) {
        m_impl->wake = MakeWakeSocket();
        if (m_impl->wake == kNoSocket)
            m_impl->createError = WSAGetLastError();
    }
}

Poller::~Poller() {
    if (m_impl->wake != kNoSocket)
        closesocket(m_impl->wake);
    if (m_impl->started)
        WSACleanup();
}

bool Poller::Valid(std::string* error) const {
    if (m_impl->started && m_impl->wake != kNoSocket)
        return true;
    *error = "cannot create the event loop: " + SocketErrorText(m_impl->createError);
    return false;
}

void Poller::WatchListener(SocketHandle socket, void* tag) {
    m_impl->watched[tag] = {socket, Interest::kReadable};
}

void Poller::WatchConnection(SocketHandle socket, void* tag) {
    m_impl->watched[tag] = {socket, Interest::kReadable};
}

void Poller::SetInterest(SocketHandle socket, void* tag, Interest interest) {
    m_impl->watched[tag] = {socket, interest};
}

void Poller::Forget(SocketHandle, void* tag) {
    m_impl->watched.erase(tag);
}

bool Poller::Wait(int timeoutMs, std::vector<Event>* events, bool* woken) {
    events->clear();
    *woken = false;
    m_impl->polled.assign(1, WSAPOLLFD{m_impl->wake, POLLRDNORM, 0});
    m_impl->polledTags.assign(1, &wakeTag);
    for (const auto& [tag, entry] : m_impl->watched) {
        // A closed socket or one waiting for nothing stays out: WSAPoll reports a hang-up
        // whatever was asked, which would spin the loop until the paused reply is due.
        if (entry.interest == Interest::kNothing || entry.socket == kNoSocket)
            continue;
        m_impl->polled.push_back(WSAPOLLFD{entry.socket, EventsFor(entry.interest), 0});
        m_impl->polledTags.push_back(tag);
    }
    const int count =
        WSAPoll(m_impl->polled.data(), static_cast<ULONG>(m_impl->polled.size()), timeoutMs);
    if (count < 0)
        return false;
    for (size_t i = 0; i < m_impl->polled.size(); ++i) {
        const short happened = m_impl->polled[i].revents;
        if (happened == 0)
            continue;
        if (m_impl->polledTags[i] == &wakeTag) {
            m_impl->Drain();
            *woken = true;
            continue;
        }
        const bool hangup = happened & (POLLHUP | POLLERR | POLLNVAL);
        events->push_back({m_impl->polledTags[i], hangup || (happened & POLLRDNORM), hangup});
    }
    return true;
}

void Poller::Wake() {
    const char one = 1;
    send(m_impl->wake, &one, 1, 0);
}

}  // namespace newsd
