#pragma once
// The far end of one loopback TCP connection, written byte by byte by a test: lets a test
// decide exactly which bytes a connection receives and in how many pieces. Built on the
// host's own sockets in RawPeer.cpp, out of sight of the engine's socket layer.
#include <cstdint>
#include <string>

class RawPeer {
public:
    RawPeer();  // listens on 127.0.0.1, any free port
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool Listening() const { return m_listener >= 0; }
    std::uint16_t Port() const { return m_port; }

    // Accepts the one connection (waits up to a few seconds). False when none came.
    bool Accept();
    bool Write(const std::string& bytes);
    // Everything the client has sent so far, without waiting.
    std::string ReadAvailable();
    // Closes the accepted connection: gracefully, or with a reset.
    void Close();
    void Reset();

private:
    int m_listener = -1;
    int m_connection = -1;
    std::uint16_t m_port = 0;
};
