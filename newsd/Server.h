#pragma once
// newsd: a small NNTP server that serves generated articles in one newsgroup. It is the
// built-in demo server, the benchmark server, and the scripted server that plays faults in
// tests. It runs on its own thread with one epoll loop; every public call is thread-safe.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "newsd/Articles.h"
#include "newsd/Options.h"
#include "newsd/Script.h"

namespace newsd {

// One line the server received, as sent by the client without its CR LF.
struct ReceivedCommand {
    int connection;  // index of the accepted connection, 0 for the first
    std::string line;
};

class EventLoop;

class Server {
public:
    explicit Server(ServerOptions options = {});
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Binds `address` (loopback by default) at `port` (0: a free port), then serves on a
    // thread of its own. False with LastError() when the address cannot be bound.
    bool Start(uint16_t port = 0, const std::string& address = "127.0.0.1");
    // Closes every connection and the listener and joins the thread. Safe to call twice.
    void Stop();
    bool Running() const;
    uint16_t Port() const;
    std::string LastError() const;

    const ServerOptions& Options() const { return m_options; }
    const ArticleFactory& Articles() const { return *m_articles; }
    // The article exactly as a client must store it (header, body, unstuffed, CR LF lines).
    ExpectedArticle Expected(int64_t number) const { return m_articles->Expected(number); }

    // Faults. The default script applies to every connection without a script of its own;
    // a script set for index n applies to the n-th accepted connection (0 = the first).
    // A script is taken when its connection is accepted.
    void SetScript(const ConnectionScript& script);
    void SetScript(int connectionIndex, const ConnectionScript& script);

    // What the clients sent, in arrival order.
    std::vector<ReceivedCommand> Received() const;
    std::vector<std::string> Commands() const;
    std::vector<std::string> Commands(int connectionIndex) const;
    void ClearCommands();

    // Waits until the condition holds or the time-out passes; true when it holds.
    bool WaitForCommands(size_t count, std::chrono::milliseconds timeout) const;
    bool WaitForCommands(int connectionIndex, size_t count,
                         std::chrono::milliseconds timeout) const;
    bool WaitForConnections(uint64_t accepted, std::chrono::milliseconds timeout) const;
    bool WaitForOpenConnections(size_t open, std::chrono::milliseconds timeout) const;

    uint64_t ConnectionsAccepted() const;
    size_t OpenConnections() const;
    uint64_t BytesSent() const;
    uint64_t CommandCount() const;

private:
    friend class EventLoop;
    // Called by the loop thread.
    ConnectionScript ScriptFor(int connectionIndex) const;
    int OnAccepted();  // the index of the new connection
    void OnClosed();
    void OnCommand(int connectionIndex, std::string line);
    void OnBytesSent(uint64_t bytes);
    bool m_running = false;

    template <typename Pred>
    bool WaitUntil(std::chrono::milliseconds timeout, Pred pred) const;

    const ServerOptions m_options;
    std::shared_ptr<const ArticleFactory> m_articles;
    std::unique_ptr<EventLoop> m_loop;
    std::thread m_thread;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    ConnectionScript m_defaultScript;
    std::map<int, ConnectionScript> m_scripts;
    std::vector<ReceivedCommand> m_received;
    uint64_t m_accepted = 0;
    size_t m_open = 0;
    uint64_t m_bytesSent = 0;
    uint64_t m_commandCount = 0;
    uint16_t m_port = 0;
    std::string m_lastError;
};

}  // namespace newsd
