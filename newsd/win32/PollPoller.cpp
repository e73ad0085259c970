#include <unordered_map>

#include "newsd/Poller.h"

namespace newsd {
namespace {

// The tag of the wake-up socket.
char wakeTag;

struct Watched {
    SocketHandle socket;
    Poller::Interest interest;
};

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

Poller::Poller() : impl_(std::make_unique<Impl>()) {
    WSADATA data;
    impl_->createError = WSAStartup(MAKEWORD(2, 2), &data);
    impl_->started = impl_->createError == 0;
    if (impl_->started) {
        impl_->wake = MakeWakeSocket();
        if (impl_->wake == kNoSocket)
            impl_->createError = WSAGetLastError();
    }
}

Poller::~Poller() {
    if (impl_->wake != kNoSocket)
        closesocket(impl_->wake);
    if (impl_->started)
        WSACleanup();
}

bool Poller::Valid(std::string* error) const {
    if (impl_->started && impl_->wake != kNoSocket)
        return true;
    *error = "cannot create the event loop: " + SocketErrorText(impl_->createError);
    return false;
}

void Poller::WatchListener(SocketHandle socket, void* tag) {
    impl_->watched[tag] = {socket, Interest::kReadable};
}

void Poller::WatchConnection(SocketHandle socket, void* tag) {
    impl_->watched[tag] = {socket, Interest::kReadable};
}

void Poller::SetInterest(SocketHandle socket, void* tag, Interest interest) {
    impl_->watched[tag] = {socket, interest};
}

void Poller::Forget(SocketHandle, void* tag) {
    impl_->watched.erase(tag);
}

bool Poller::Wait(int timeoutMs, std::vector<Event>* events, bool* woken) {
    events->clear();
    *woken = false;
    impl_->polled.assign(1, WSAPOLLFD{impl_->wake, POLLRDNORM, 0});
    impl_->polledTags.assign(1, &wakeTag);
    for (const auto& [tag, entry] : impl_->watched) {
        // A closed socket or one waiting for nothing stays out: WSAPoll reports a hang-up
        // whatever was asked, which would spin the loop until the paused reply is due.
        if (entry.interest == Interest::kNothing || entry.socket == kNoSocket)
            continue;
        impl_->polled.push_back(WSAPOLLFD{entry.socket, EventsFor(entry.interest), 0});
        impl_->polledTags.push_back(tag);
    }
    const int count = WSAPoll(impl_->polled.data(), static_cast<ULONG>(impl_->polled.size()), timeoutMs);
    if (count < 0)
        return false;
    for (size_t i = 0; i < impl_->polled.size(); ++i) {
        const short happened = impl_->polled[i].revents;
        if (happened == 0)
            continue;
        if (impl_->polledTags[i] == &wakeTag) {
            impl_->Drain();
            *woken = true;
            continue;
        }
        const bool hangup = happened & (POLLHUP | POLLERR | POLLNVAL);
        events->push_back({impl_->polledTags[i], hangup || (happened & POLLRDNORM), hangup});
    }
    return true;
}

void Poller::Wake() {
    const char one = 1;
    send(impl_->wake, &one, 1, 0);
}

}  // namespace newsd
