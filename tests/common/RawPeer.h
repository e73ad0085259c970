#pragma once
// The far end of one loopback TCP connection, played by a test: a listener on 127.0.0.1 (or
// ::1) at a free port and the one connection it accepts, written and read by hand. Built on
// the system's own sockets in RawPeer.cpp, out of sight of the engine's socket layer, so the
// server's part never runs through the code under test. The accepted connection does not
// block: one thread can drive both ends. Plain integers only, so that the header sits beside
// the engine's socket names.
#include <cstddef>
#include <cstdint>
#include <string>

class RawPeer {
public:
    explicit RawPeer(bool ipv6 = false);  // listens on loopback, any free port
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool Listening() const { return m_listener != kNone; }
    std::uint16_t Port() const { return m_port; }
    bool Connected() const { return m_connection != kNone; }
    // Whether the accepted connection's far end is an IPv6 address.
    bool PeerIsIPv6() const { return m_peerIsIPv6; }

    // One look without waiting; true once a connection has been accepted (a second one is
    // not taken while the first is open).
    bool TryAccept();
    // Accepts the one connection, waiting up to a few seconds. False when none came.
    bool Accept();
    // Writes all of it, waiting (a few seconds at most) while the client is not reading.
    bool Write(const std::string& bytes);
    // Waits (a few seconds at most) until the client's system has acknowledged every byte
    // written, so that they wait in its socket. On Windows it returns at once.
    bool WaitUntilAcknowledged();
    // Everything the client has sent so far, without waiting.
    std::string ReadAvailable();
    // Reads and throws away until the client closes (giving up after a few seconds without
    // data); the bytes read.
    std::size_t ReadUntilClosed();
    // Closes the accepted connection: gracefully, or with a reset.
    void Close();
    void Reset();

private:
    static constexpr std::intptr_t kNone = -1;
    std::intptr_t m_listener = kNone;
    std::intptr_t m_connection = kNone;
    std::uint16_t m_port = 0;
    bool m_peerIsIPv6 = false;
};
