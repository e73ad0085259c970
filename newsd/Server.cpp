#include "newsd/Server.h"

#include <utility>

#include "newsd/EventLoop.h"

namespace newsd {

Server::Server(ServerOptions options)
    : m_options(std::move(options)),
      m_articles(std::make_shared<const ArticleFactory>(m_options.articles)) {}

Server::~Server() {
    Stop();
}

bool Server::Start(uint16_t port, const std::string& address) {
    Stop();
    auto loop = std::make_unique<EventLoop>(*this, m_options, m_articles);
    uint16_t bound = 0;
    std::string error;
    if (!loop->Listen(address, port, &bound, &error)) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_lastError = error;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_port = bound;
        m_lastError.clear();
        m_running = true;
    }
    m_loop = std::move(loop);
    m_thread = std::thread([this] { m_loop->Run(); });
    return true;
}

void Server::Stop() {
    if (!m_loop)
        return;
    m_loop->RequestStop();
    if (m_thread.joinable())
        m_thread.join();
    m_loop.reset();  // closes every connection and the listener
    std::lock_guard<std::mutex> lock(m_mutex);
    m_running = false;
    m_changed.notify_all();
}

bool Server::Running() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_running;
}

uint16_t Server::Port() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_port;
}

std::string Server::LastError() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_lastError;
}

void Server::SetScript(const ConnectionScript& script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_defaultScript = script;
}

void Server::SetScript(int connectionIndex, const ConnectionScript& script) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_scripts[connectionIndex] = script;
}

ConnectionScript Server::ScriptFor(int connectionIndex) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_scripts.find(connectionIndex);
    if (found != m_scripts.end())
        return found->second;
    return RandomFaultScript(m_defaultScript, m_options.randomFaults, connectionIndex);
}

std::vector<ReceivedCommand> Server::Received() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

std::vector<std::string> Server::Commands() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> lines;
    lines.reserve(m_received.size());
    for (const auto& command : m_received) lines.push_back(command.line);
    return lines;
}

std::vector<std::string> Server::Commands(int connectionIndex) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<std::string> lines;
    for (const auto& command : m_received)
        if (command.connection == connectionIndex)
            lines.push_back(command.line);
    return lines;
}

void Server::ClearCommands() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_received.clear();
}

template <typename Pred>
bool Server::WaitUntil(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, pred);
}

bool Server::WaitForCommands(size_t count, std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] { return m_received.size() >= count; });
}

bool Server::WaitForCommands(int connectionIndex, size_t count,
                             std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] {
        size_t seen = 0;
        for (const auto& command : m_received)
            if (command.connection == connectionIndex)
                ++seen;
        return seen >= count;
    });
}

bool Server::WaitForConnections(uint64_t accepted, std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] { return m_accepted >= accepted; });
}

bool Server::WaitForOpenConnections(size_t open, std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] { return m_open == open; });
}

uint64_t Server::ConnectionsAccepted() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
}

size_t Server::OpenConnections() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_open;
}

uint64_t Server::BytesSent() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_bytesSent;
}

uint64_t Server::CommandCount() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_commandCount;
}

int Server::OnAccepted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_open;
    const int index = static_cast<int>(m_accepted++);
    m_changed.notify_all();
    return index;
}

void Server::OnClosed() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_open;
    m_changed.notify_all();
}

void Server::OnCommand(int connectionIndex, std::string line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    ++m_commandCount;
    if (m_options.recordCommands)
        m_received.push_back(ReceivedCommand{connectionIndex, std::move(line)});
    m_changed.notify_all();
}

void Server::OnBytesSent(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bytesSent += bytes;
    m_changed.notify_all();
}

}  // namespace newsd
