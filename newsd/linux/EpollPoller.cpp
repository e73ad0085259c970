#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "newsd/Poller.h"
#include "newsd/UniqueFd.h"

namespace newsd {
namespace {

// The tag of the wake-up descriptor.
char wakeTag;
constexpr int kEventsPerWait = 256;

}  // namespace

struct Poller::Impl {
    UniqueFd epoll{epoll_create1(EPOLL_CLOEXEC)};
    UniqueFd wake{eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)};
    int createError = errno;
    epoll_event ready[kEventsPerWait];

    void Add(int fd, uint32_t events, void* tag) {
        epoll_event event{};
        event.events = events;
        event.data.ptr = tag;
        epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, fd, &event);
    }
};

Poller::Poller() : m_impl(std::make_unique<Impl>()) {
    if (m_impl->epoll.Valid() && m_impl->wake.Valid())
        m_impl->Add(m_impl->wake.Get(), EPOLLIN, &wakeTag);
}

Poller::~Poller() = default;

bool Poller::Valid(std::string* error) const {
    if (m_impl->epoll.Valid() && m_impl->wake.Valid())
        return true;
    *error = std::string("cannot create the event loop: ") + std::strerror(m_impl->createError);
    return false;
}

void Poller::WatchListener(SocketHandle socket, void* tag) {
    m_impl->Add(socket, EPOLLIN, tag);
}

void Poller::WatchConnection(SocketHandle socket, void* tag) {
    m_impl->Add(socket, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, tag);
}

void Poller::SetInterest(SocketHandle, void*, Interest) {}

void Poller::Forget(SocketHandle socket, void*) {
    // A closed descriptor has left the epoll set by itself.
    if (socket != kNoSocket)
        epoll_ctl(m_impl->epoll.Get(), EPOLL_CTL_DEL, socket, nullptr);
}

bool Poller::Wait(int timeoutMs, std::vector<Event>* events, bool* woken) {
    events->clear();
    *woken = false;
    const int count = epoll_wait(m_impl->epoll.Get(), m_impl->ready, kEventsPerWait, timeoutMs);
    if (count < 0)
        return errno == EINTR;
    for (int i = 0; i < count; ++i) {
        void* tag = m_impl->ready[i].data.ptr;
        if (tag == &wakeTag) {
            *woken = true;
            continue;
        }
        const uint32_t happened = m_impl->ready[i].events;
        const bool hangup = happened & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
        events->push_back({tag, hangup || (happened & EPOLLIN), hangup});
    }
    return true;
}

void Poller::Wake() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(m_impl->wake.Get(), &one, sizeof(one));
}

}  // namespace newsd
