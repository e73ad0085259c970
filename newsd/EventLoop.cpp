#include "newsd/EventLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "newsd/Server.h"

namespace newsd {
namespace {

// Tags that tell the listener and the wake-up descriptor apart from connections.
char listenerTag;
char wakeTag;

constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// Byte counts are handed to the server in batches: the counter is shared with other threads.
constexpr size_t kBytesBatch = 1 << 20;

}  // namespace

EventLoop::EventLoop(Server& server, const ServerOptions& options,
                     std::shared_ptr<const ArticleFactory> articles)
    : server_(server),
      options_(options),
      articles_(std::move(articles)),
      epoll_(epoll_create1(EPOLL_CLOEXEC)),
      wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
    Watch(wake_.Get(), EPOLLIN, &wakeTag);
}

EventLoop::~EventLoop() {
    while (!connections_.empty()) Close(connections_.begin()->first);
    if (pendingBytes_ > 0)
        server_.OnBytesSent(pendingBytes_);
}

void EventLoop::Watch(int fd, uint32_t events, void* tag) {
    epoll_event event{};
    event.events = events;
    event.data.ptr = tag;
    epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event);
}

bool EventLoop::Listen(const std::string& address, uint16_t port, uint16_t* boundPort,
                       std::string* error) {
    if (!epoll_.Valid() || !wake_.Valid()) {
        *error = std::string("cannot create the event loop: ") + std::strerror(errno);
        return false;
    }
    // IPv4 or IPv6, as the address is written ("::1", "[::1]" or "127.0.0.1").
    std::string text = address;
    if (text.size() > 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    sockaddr_storage where{};
    socklen_t size = 0;
    auto* where4 = reinterpret_cast<sockaddr_in*>(&where);
    auto* where6 = reinterpret_cast<sockaddr_in6*>(&where);
    if (inet_pton(AF_INET, text.c_str(), &where4->sin_addr) == 1) {
        where4->sin_family = AF_INET;
        where4->sin_port = htons(port);
        size = sizeof(sockaddr_in);
    } else if (inet_pton(AF_INET6, text.c_str(), &where6->sin6_addr) == 1) {
        where6->sin6_family = AF_INET6;
        where6->sin6_port = htons(port);
        size = sizeof(sockaddr_in6);
    } else {
        *error = "not an IPv4 or IPv6 address: " + address;
        return false;
    }
    listener_ = UniqueFd(socket(where.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    const int on = 1;
    setsockopt(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    if (where.ss_family == AF_INET6)
        setsockopt(listener_.Get(), IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
    if (!listener_.Valid() || bind(listener_.Get(), reinterpret_cast<sockaddr*>(&where), size) != 0 ||
        listen(listener_.Get(), SOMAXCONN) != 0) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                 std::strerror(errno);
        listener_.Reset();
        return false;
    }
    socklen_t length = sizeof(where);
    getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&where), &length);
    *boundPort = ntohs(where.ss_family == AF_INET6 ? where6->sin6_port : where4->sin_port);
    Watch(listener_.Get(), EPOLLIN, &listenerTag);
    return true;
}

void EventLoop::RequestStop() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t written = write(wake_.Get(), &one, sizeof(one));
}

void EventLoop::Run() {
    std::vector<epoll_event> events(256);
    for (;;) {
        const int count = epoll_wait(epoll_.Get(), events.data(), static_cast<int>(events.size()),
                                     NextTimeoutMs());
        if (count < 0 && errno != EINTR)
            return;
        for (int i = 0; i < count; ++i) {
            void* tag = events[i].data.ptr;
            if (tag == &wakeTag)
                return;
            if (tag == &listenerTag) {
                AcceptAll();
                continue;
            }
            auto* connection = static_cast<Connection*>(tag);
            const uint32_t happened = events[i].events;
            const bool hangup = happened & (EPOLLRDHUP | EPOLLHUP | EPOLLERR);
            const bool readable = hangup || (happened & EPOLLIN);
            Settle(connection, connection->OnEvent(readable, hangup));
        }
        RunTimers();
        RunBusy();
        if (pendingBytes_ > 0) {
            server_.OnBytesSent(pendingBytes_);
            pendingBytes_ = 0;
        }
    }
}

void EventLoop::AcceptAll() {
    for (;;) {
        UniqueFd socket(accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket.Valid()) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, listener_.Get(), nullptr);
                acceptPaused_ = true;
                acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
            }
            return;
        }
        if (connections_.size() >= options_.maxConnections) {
            // Told why, then closed; the line fits any socket buffer, so it never blocks.
            static const char kBusy[] = "400 newsd.test too many connections, try later\r\n";
            [[maybe_unused]] ssize_t sent =
                send(socket.Get(), kBusy, sizeof(kBusy) - 1, MSG_NOSIGNAL);
            continue;
        }
        const int index = server_.OnAccepted();
        auto connection = std::make_unique<Connection>(std::move(socket), index, options_,
                                                       *articles_, server_.ScriptFor(index), *this);
        Connection* raw = connection.get();
        connections_.emplace(raw, std::move(connection));
        Watch(raw->Fd(), EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET, raw);
        Settle(raw, raw->Start());
    }
}

void EventLoop::Settle(Connection* connection, bool alive) {
    if (!alive) {
        Close(connection);
        return;
    }
    if (connection->Deadline()) {
        paused_.insert(connection);
    } else {
        paused_.erase(connection);
    }
    if (connection->Busy())
        busy_.push_back(connection);
}

void EventLoop::RunBusy() {
    std::vector<Connection*> turn;
    turn.swap(busy_);
    for (Connection* connection : turn) {
        // A connection closed earlier in this turn is no longer in the table.
        if (connections_.count(connection))
            Settle(connection, connection->OnEvent(false));
    }
}

void EventLoop::Close(Connection* connection) {
    paused_.erase(connection);
    busy_.erase(std::remove(busy_.begin(), busy_.end(), connection), busy_.end());
    connections_.erase(connection);  // closing the descriptor also removes it from epoll
    server_.OnClosed();
}

int EventLoop::NextTimeoutMs() const {
    if (!busy_.empty())
        return 0;
    std::optional<std::chrono::steady_clock::time_point> next;
    if (acceptPaused_)
        next = acceptPausedUntil_;
    for (Connection* connection : paused_) {
        const auto due = connection->Deadline();
        if (due && (!next || *due < *next))
            next = due;
    }
    if (!next)
        return -1;
    const auto wait =
        std::chrono::ceil<std::chrono::milliseconds>(*next - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(wait.count(), 0));
}

void EventLoop::RunTimers() {
    const auto now = std::chrono::steady_clock::now();
    if (acceptPaused_ && now >= acceptPausedUntil_) {
        acceptPaused_ = false;
        Watch(listener_.Get(), EPOLLIN, &listenerTag);
        AcceptAll();
    }
    std::vector<Connection*> due;
    for (Connection* connection : paused_) {
        const auto deadline = connection->Deadline();
        if (deadline && *deadline <= now)
            due.push_back(connection);
    }
    for (Connection* connection : due) Settle(connection, connection->OnTimer(now));
}

void EventLoop::OnCommand(int connectionIndex, const std::string& line) {
    server_.OnCommand(connectionIndex, line);
}

void EventLoop::OnBytesSent(size_t bytes) {
    pendingBytes_ += bytes;
    if (pendingBytes_ >= kBytesBatch) {
        server_.OnBytesSent(pendingBytes_);
        pendingBytes_ = 0;
    }
}

}  // namespace newsd
