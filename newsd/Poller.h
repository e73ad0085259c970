#pragma once
// Readiness of the server's sockets, and a wake-up that any thread may raise.
//
// On Linux, epoll: connections are watched edge-triggered for both directions once, and each
// reads and writes until the socket would block. On Windows, WSAPoll, which is
// level-triggered: a socket reported readable stays so until it is read, so the loop tells
// the poller after every turn what each connection now waits for (SetInterest), and a
// connection that waits for nothing (a paused reply) is left out of the poll.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "newsd/Socket.h"

namespace newsd {

class Poller {
public:
    enum class Interest : uint8_t { kNothing, kReadable, kWritable };
    struct Event {
        void* tag;
        bool readable;  // or the peer closed, or the socket failed
        bool hangup;    // the peer closed its side or the socket failed
    };

    Poller();
    ~Poller();
    Poller(const Poller&) = delete;
    Poller& operator=(const Poller&) = delete;

    // False with the reason when the poller or its wake-up could not be made.
    bool Valid(std::string* error) const;

    // A listening socket, level-triggered, reported readable while connections wait.
    void WatchListener(SocketHandle socket, void* tag);
    // A connection, first waiting to be readable.
    void WatchConnection(SocketHandle socket, void* tag);
    // What the connection waits for now (ignored where readiness is edge-triggered).
    void SetInterest(SocketHandle socket, void* tag, Interest interest);
    // Stops watching, before the socket is closed. A socket already closed is forgotten by tag.
    void Forget(SocketHandle socket, void* tag);

    // Waits at most timeoutMs (-1: no limit) and fills `events`. False on a failure that ends
    // the loop; `woken` tells whether Wake was called.
    bool Wait(int timeoutMs, std::vector<Event>* events, bool* woken);
    // From any thread.
    void Wake();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

}  // namespace newsd
