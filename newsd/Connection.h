#pragma once
// One client connection of the server: reads command lines, answers them through its Session,
// and writes replies with large gathered writes. The fault script of the connection decides
// where replies are cut, delayed, replaced or dropped.
//
// Commands are taken one at a time, and the next only once the previous reply has been
// written: a slow reader holds at most one reply (a few small buffers) and one input buffer.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "newsd/Articles.h"
#include "newsd/Options.h"
#include "newsd/Poller.h"
#include "newsd/Reply.h"
#include "newsd/Script.h"
#include "newsd/Session.h"
#include "newsd/Socket.h"

namespace newsd {

using Clock = std::chrono::steady_clock;

class ConnectionObserver {
public:
    virtual ~ConnectionObserver() = default;
    virtual void OnCommand(int connectionIndex, const std::string& line) = 0;
    virtual void OnBytesSent(size_t bytes) = 0;
};

class Connection {
public:
    Connection(UniqueSocket socket, int index, const ServerOptions& options,
               const ArticleFactory& articles, ConnectionScript script,
               ConnectionObserver& observer);

    // kNoSocket once the connection has closed it.
    SocketHandle Socket() const { return m_socket.Get(); }
    int Index() const { return m_index; }

    // Each returns false once the connection is finished and must be destroyed.
    // The time given is "now" for the pauses of a split reply; tests pass their own.
    bool Start();
    bool Start(Clock::time_point now);
    // `hangup`: the peer closed its side or the socket failed.
    bool OnEvent(bool readable, bool hangup = false);
    bool OnEvent(bool readable, bool hangup, Clock::time_point now);
    bool OnTimer(Clock::time_point now);
    // Stopped with work left (commands buffered) to give other connections a turn.
    bool Busy() const { return m_busy; }
    // When a paused piece of a reply is due.
    std::optional<Clock::time_point> Deadline() const;
    // What the connection waits for from its socket after the last call: room to write the
    // rest of a reply, a command, or neither (a paused reply, or a turn after the others).
    Poller::Interest Awaits() const;

    // Longest command line accepted; a longer one is answered and the connection closed.
    static constexpr size_t kMaxLine = 16 * 1024;
    static constexpr int kCommandsPerTurn = 32;

private:
    enum class After { kNothing, kClose, kReset };
    struct Chunk {
        Segment segment;
        bool endsWrite = false;  // the next chunk goes out in a write of its own
        std::chrono::milliseconds pauseBefore{0};
        After after = After::kNothing;
    };
    enum class FlushResult { kDone, kBlocked, kWaiting, kFinished };

    bool Pump(Clock::time_point now);
    FlushResult Flush(Clock::time_point now);
    bool TakeCommand(bool* finished);
    bool ReadMore(bool* finished);
    void Answer(const std::string& line);
    void Queue(Reply reply);
    void QueueFaulted(Reply reply, const std::vector<const Fault*>& faults);
    void QueueBytes(std::string bytes, After after);
    std::vector<const Fault*> MatchFaults(const std::string& verb);
    void Finish(After how);

    UniqueSocket m_socket;
    const int m_index;
    const ConnectionScript m_script;
    Session m_session;
    ConnectionObserver& m_observer;

    std::string m_input;
    size_t m_inputStart = 0;
    bool m_mayRead = true;  // the socket may hold unread data (edge-triggered readiness)
    bool m_peerClosed = false;
    bool m_hangup = false;
    bool m_busy = false;
    bool m_mute = false;
    std::deque<Chunk> m_output;
    std::function<bool(std::string*)> m_more;
    std::optional<Clock::time_point> m_pauseUntil;
    std::vector<int> m_faultMatches;
};

}  // namespace newsd
