#include "newsd/EventLoop.h"

#include <algorithm>
#include <vector>

#include "newsd/Server.h"

namespace newsd {
namespace {

// The tag that tells the listener apart from connections.
char listenerTag;

constexpr auto kAcceptPause = std::chrono::milliseconds(100);
// Byte counts are handed to the server in batches: the counter is shared with other threads.
constexpr size_t kBytesBatch = 1 << 20;

}  // namespace

EventLoop::EventLoop(Server& server, const ServerOptions& options,
                     std::shared_ptr<const ArticleFactory> articles)
    : server_(server),
      options_(options),
      articles_(std::move(articles)) {}

EventLoop::~EventLoop() {
    while (!connections_.empty()) Close(connections_.begin()->first);
    if (pendingBytes_ > 0)
        server_.OnBytesSent(pendingBytes_);
}

bool EventLoop::Listen(const std::string& address, uint16_t port, uint16_t* boundPort,
                       std::string* error) {
    if (!poller_.Valid(error))
        return false;
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
    listener_ = UniqueSocket(OpenStreamSocket(where.ss_family));
#ifndef _WIN32
    // (On Windows this option would let another program take the port over.)
    SetIntOption(listener_.Get(), SOL_SOCKET, SO_REUSEADDR, 1);
#endif
    if (where.ss_family == AF_INET6)
        SetIntOption(listener_.Get(), IPPROTO_IPV6, IPV6_V6ONLY, 1);
    if (!listener_.Valid() || bind(listener_.Get(), reinterpret_cast<sockaddr*>(&where), size) != 0 ||
        listen(listener_.Get(), SOMAXCONN) != 0) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                 SocketErrorText(LastSocketError());
        listener_.Reset();
        return false;
    }
    socklen_t length = sizeof(where);
    getsockname(listener_.Get(), reinterpret_cast<sockaddr*>(&where), &length);
    *boundPort = ntohs(where.ss_family == AF_INET6 ? where6->sin6_port : where4->sin_port);
    poller_.WatchListener(listener_.Get(), &listenerTag);
    return true;
}

void EventLoop::RequestStop() {
    poller_.Wake();
}

void EventLoop::Run() {
    std::vector<Poller::Event> events;
    for (;;) {
        bool woken = false;
        if (!poller_.Wait(NextTimeoutMs(), &events, &woken) || woken)
            return;
        for (const Poller::Event& event : events) {
            if (event.tag == &listenerTag) {
                AcceptAll();
                continue;
            }
            // Each connection comes at most once per wait, and only its own event closes it.
            auto* connection = static_cast<Connection*>(event.tag);
            Settle(connection, connection->OnEvent(event.readable, event.hangup));
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
        UniqueSocket socket(AcceptConnection(listener_.Get()));
        if (!socket.Valid()) {
            if (OutOfResources(LastSocketError())) {
                poller_.Forget(listener_.Get(), &listenerTag);
                acceptPaused_ = true;
                acceptPausedUntil_ = std::chrono::steady_clock::now() + kAcceptPause;
            }
            return;
        }
        if (connections_.size() >= options_.maxConnections) {
            // Told why, then closed; the line fits any socket buffer, so it never blocks.
            static const char kBusy[] = "400 newsd.test too many connections, try later\r\n";
            SendBestEffort(socket.Get(), kBusy, sizeof(kBusy) - 1);
            continue;
        }
        const int index = server_.OnAccepted();
        auto connection = std::make_unique<Connection>(std::move(socket), index, options_,
                                                       *articles_, server_.ScriptFor(index), *this);
        Connection* raw = connection.get();
        connections_.emplace(raw, std::move(connection));
        poller_.WatchConnection(raw->Socket(), raw);
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
    poller_.SetInterest(connection->Socket(), connection, connection->Awaits());
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
    poller_.Forget(connection->Socket(), connection);
    connections_.erase(connection);
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
        poller_.WatchListener(listener_.Get(), &listenerTag);
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
