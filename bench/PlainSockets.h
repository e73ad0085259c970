#pragma once
// The server ends of the benchmarks on the system's own sockets (as newsd uses them), out of
// sight of the engine's socket layer. Plain integers only, so that this header sits beside
// the engine's socket names. Every call returns as the system call does (-1 on failure).
#include <cstddef>

namespace bench::plain {

// A listener on 127.0.0.1 at a free port, stored in *port.
int Listen(int backlog, int* port);
// Waits for a connection; -1 once the listener has been shut down.
int Accept(int listener);
long Send(int fd, const char* data, std::size_t length);
long Receive(int fd, char* buffer, std::size_t length);
void SetNoDelay(int fd);
// Ends both directions: a thread waiting in Accept, Send or Receive on it returns.
void Shutdown(int fd);
void Close(int fd);

}  // namespace bench::plain
