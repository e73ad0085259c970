#pragma once
// The server's one thread: a loop over the listener, a wake-up and every connection, on the
// system's readiness poller. Nothing here blocks but the poller's wait.

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "newsd/Articles.h"
#include "newsd/Connection.h"
#include "newsd/Options.h"
#include "newsd/Poller.h"
#include "newsd/Socket.h"

namespace newsd {

class Server;

class EventLoop : public ConnectionObserver {
public:
    EventLoop(Server& server, const ServerOptions& options,
              std::shared_ptr<const ArticleFactory> articles);
    ~EventLoop() override;

    // Creates the listener; false with a message in `error`.
    bool Listen(const std::string& address, uint16_t port, uint16_t* boundPort, std::string* error);
    void Run();
    // From any thread: makes Run return soon.
    void RequestStop();

    void OnCommand(int connectionIndex, const std::string& line) override;
    void OnBytesSent(size_t bytes) override;

private:
    void AcceptAll();
    // After a connection handled something: forget it when it ended, track its pause.
    void Settle(Connection* connection, bool alive);
    void Close(Connection* connection);
    void RunBusy();
    int NextTimeoutMs() const;
    void RunTimers();

    Server& m_server;
    const ServerOptions& m_options;
    std::shared_ptr<const ArticleFactory> m_articles;
    Poller m_poller;
    UniqueSocket m_listener;
    std::unordered_map<Connection*, std::unique_ptr<Connection>> m_connections;
    // Connections holding back a piece of a reply until a deadline.
    std::unordered_set<Connection*> m_paused;
    // Connections that stopped with commands left, to be served again after the others.
    std::vector<Connection*> m_busy;
    // Accepting stops for a moment when the process runs out of descriptors, instead of
    // spinning on a listener that stays readable.
    std::chrono::steady_clock::time_point m_acceptPausedUntil{};
    bool m_acceptPaused = false;
    size_t m_pendingBytes = 0;
};

}  // namespace newsd
