#include "newsd/Server.h"

#include <utility>

#include "newsd/EventLoop.h"

namespace newsd {

Server::Server(ServerOptions options)
    : options_(std::move(options)),
      articles_(std::make_shared<const ArticleFactory>(options_.articles)) {}

Server::~Server() {
    Stop();
}

bool Server::Start(uint16_t port, const std::string& address) {
    Stop();
    auto loop = std::make_unique<EventLoop>(*this, options_, articles_);
    uint16_t bound = 0;
    std::string error;
    if (!loop->Listen(address, port, &bound, &error)) {
        std::lock_guard<std::mutex> lock(mutex_);
        lastError_ = error;
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex_);
        port_ = bound;
        lastError_.clear();
        running_ = true;
    }
    loop_ = std::move(loop);
    thread_ = std::thread([this] { loop_->Run(); });
    return true;
}

void Server::Stop() {
    if (!loop_)
        return;
    loop_->RequestStop();
    if (thread_.joinable())
        thread_.join();
    loop_.reset();  // closes every connection and the listener
    std::lock_guard<std::mutex> lock(mutex_);
    running_ = false;
    changed_.notify_all();
}

bool Server::Running() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return running_;
}

uint16_t Server::Port() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return port_;
}

std::string Server::LastError() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lastError_;
}

void Server::SetScript(const ConnectionScript& script) {
    std::lock_guard<std::mutex> lock(mutex_);
    defaultScript_ = script;
}

void Server::SetScript(int connectionIndex, const ConnectionScript& script) {
    std::lock_guard<std::mutex> lock(mutex_);
    scripts_[connectionIndex] = script;
}

ConnectionScript Server::ScriptFor(int connectionIndex) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = scripts_.find(connectionIndex);
    if (found != scripts_.end())
        return found->second;
    return RandomFaultScript(defaultScript_, options_.randomFaults, connectionIndex);
}

std::vector<ReceivedCommand> Server::Received() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
}

std::vector<std::string> Server::Commands() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    lines.reserve(received_.size());
    for (const auto& command : received_) lines.push_back(command.line);
    return lines;
}

std::vector<std::string> Server::Commands(int connectionIndex) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> lines;
    for (const auto& command : received_)
        if (command.connection == connectionIndex)
            lines.push_back(command.line);
    return lines;
}

void Server::ClearCommands() {
    std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
}

template <typename Pred>
bool Server::WaitUntil(std::chrono::milliseconds timeout, Pred pred) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, pred);
}

bool Server::WaitForCommands(size_t count, std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] { return received_.size() >= count; });
}

bool Server::WaitForCommands(int connectionIndex, size_t count,
                             std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] {
        size_t seen = 0;
        for (const auto& command : received_)
            if (command.connection == connectionIndex)
                ++seen;
        return seen >= count;
    });
}

bool Server::WaitForConnections(uint64_t accepted, std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] { return accepted_ >= accepted; });
}

bool Server::WaitForOpenConnections(size_t open, std::chrono::milliseconds timeout) const {
    return WaitUntil(timeout, [&] { return open_ == open; });
}

uint64_t Server::ConnectionsAccepted() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return accepted_;
}

size_t Server::OpenConnections() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return open_;
}

uint64_t Server::BytesSent() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytesSent_;
}

uint64_t Server::CommandCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return commandCount_;
}

int Server::OnAccepted() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++open_;
    const int index = static_cast<int>(accepted_++);
    changed_.notify_all();
    return index;
}

void Server::OnClosed() {
    std::lock_guard<std::mutex> lock(mutex_);
    --open_;
    changed_.notify_all();
}

void Server::OnCommand(int connectionIndex, std::string line) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++commandCount_;
    if (options_.recordCommands)
        received_.push_back(ReceivedCommand{connectionIndex, std::move(line)});
    changed_.notify_all();
}

void Server::OnBytesSent(uint64_t bytes) {
    std::lock_guard<std::mutex> lock(mutex_);
    bytesSent_ += bytes;
    changed_.notify_all();
}

}  // namespace newsd
