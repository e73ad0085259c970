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
    : m_server(server), m_options(options), m_articles(std::move(articles)) {}

EventLoop::~EventLoop() {
    while (!m_connections.empty()) Close(m_connections.begin()->first);
    if (m_pendingBytes > 0)
        m_server.OnBytesSent(m_pendingBytes);
}

bool EventLoop::Listen(const std::string& address, uint16_t port, uint16_t* boundPort,
                       std::string* error) {
    if (!m_poller.Valid(error))
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
    m_listener = UniqueSocket(OpenStreamSocket(where.ss_family));
#ifndef _WIN32
    // (On Windows this option would let another program take the port over.)
    SetIntOption(m_listener.Get(), SOL_SOCKET, SO_REUSEADDR, 1);
#endif
    if (where.ss_family == AF_INET6)
        SetIntOption(m_listener.Get(), IPPROTO_IPV6, IPV6_V6ONLY, 1);
    if (!m_listener.Valid() ||
        bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&where), size) != 0 ||
        listen(m_listener.Get(), SOMAXCONN) != 0) {
        *error = "cannot listen on " + address + ":" + std::to_string(port) + ": " +
                 SocketErrorText(LastSocketError());
        m_listener.Reset();
        return false;
    }
    socklen_t length = sizeof(where);
    getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&where), &length);
    *boundPort = ntohs(where.ss_family == AF_INET6 ? where6->sin6_port : where4->sin_port);
    m_poller.WatchListener(m_listener.Get(), &listenerTag);
    return true;
}

void EventLoop::RequestStop() {
    m_poller.Wake();
}

void EventLoop::Run() {
    std::vector<Poller::Event> events;
    for (;;) {
        bool woken = false;
        if (!m_poller.Wait(NextTimeoutMs(), &events, &woken) || woken)
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
        if (m_pendingBytes > 0) {
            m_server.OnBytesSent(m_pendingBytes);
            m_pendingBytes = 0;
        }
    }
}

void EventLoop::AcceptAll() {
    for (;;) {
        UniqueSocket socket(AcceptConnection(m_listener.Get()));
        if (!socket.Valid()) {
            if (OutOfResources(LastSocketError())) {
                m_poller.Forget(m_listener.Get(), &listenerTag);
                m_acceptPaused = true;
                m_acceptPausedUntil = std::chrono::steady_clock::now() + kAcceptPause;
            }
            return;
        }
        if (m_connections.size() >= m_options.maxConnections) {
            // Told why, then closed; the line fits any socket buffer, so it never blocks.
            static const char kBusy[] = "400 newsd.test too many connections, try later\r\n";
            SendBestEffort(socket.Get(), kBusy, sizeof(kBusy) - 1);
            continue;
        }
        const int index = m_server.OnAccepted();
        auto connection = std::make_unique<Connection>(
            std::move(socket), index, m_options, *m_articles, m_server.ScriptFor(index), *this);
        Connection* raw = connection.get();
        m_connections.emplace(raw, std::move(connection));
        m_poller.WatchConnection(raw->Socket(), raw);
        Settle(raw, raw->Start());
    }
}

void EventLoop::Settle(Connection* connection, bool alive) {
    if (!alive) {
        Close(connection);
        return;
    }
    if (connection->Deadline()) {
        m_paused.insert(connection);
    } else {
        m_paused.erase(connection);
    }
    if (connection->Busy())
        m_busy.push_back(connection);
    m_poller.SetInterest(connection->Socket(), connection, connection->Awaits());
}

void EventLoop::RunBusy() {
    std::vector<Connection*> turn;
    turn.swap(m_busy);
    for (Connection* connection : turn) {
        // A connection closed earlier in this turn is no longer in the table.
        if (m_connections.count(connection))
            Settle(connection, connection->OnEvent(false));
    }
}

void EventLoop::Close(Connection* connection) {
    m_paused.erase(connection);
    m_busy.erase(std::remove(m_busy.begin(), m_busy.end(), connection), m_busy.end());
    m_poller.Forget(connection->Socket(), connection);
    m_connections.erase(connection);
    m_server.OnClosed();
}

int EventLoop::NextTimeoutMs() const {
    if (!m_busy.empty())
        return 0;
    std::optional<std::chrono::steady_clock::time_point> next;
    if (m_acceptPaused)
        next = m_acceptPausedUntil;
    for (Connection* connection : m_paused) {
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
    if (m_acceptPaused && now >= m_acceptPausedUntil) {
        m_acceptPaused = false;
        m_poller.WatchListener(m_listener.Get(), &listenerTag);
        AcceptAll();
    }
    std::vector<Connection*> due;
    for (Connection* connection : m_paused) {
        const auto deadline = connection->Deadline();
        if (deadline && *deadline <= now)
            due.push_back(connection);
    }
    for (Connection* connection : due) Settle(connection, connection->OnTimer(now));
}

void EventLoop::OnCommand(int connectionIndex, const std::string& line) {
    m_server.OnCommand(connectionIndex, line);
}

void EventLoop::OnBytesSent(size_t bytes) {
    m_pendingBytes += bytes;
    if (m_pendingBytes >= kBytesBatch) {
        m_server.OnBytesSent(m_pendingBytes);
        m_pendingBytes = 0;
    }
}

}  // namespace newsd
