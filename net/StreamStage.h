#pragma once
// The last stage of BaseSocket's chain: the established stream the derived class reads and
// writes. Bytes that left the socket before the derived class was told of them (those read
// with the proxy's final reply, and those a TLS session decrypted ahead) are held here and
// served first; a close of the peer is held back until they are taken, as a plain socket
// reports a close only after the data before it.
#include "net/TransportStage.h"

class TlsStage;

class StreamStage {
public:
    static constexpr int kHeldBytesSize = 1024;  // at most one handshake read

    StreamStage(StageLink& link, TlsStage& tls) : m_link(link), m_tls(tls) {}
    StreamStage(const StreamStage&) = delete;
    StreamStage& operator=(const StreamStage&) = delete;

    // Bytes read together with the last handshake reply, for the derived class.
    void Keep(const char* bytes, int count);
    // Bytes the derived class has not yet been given although they have left the socket.
    int HeldCount() const;
    // Posts a read notification when bytes are held: no socket read announces them.
    void AnnounceHeld();
    // FD_CLOSE while bytes are held: the close follows them.
    void HoldClose(int error);

    // The derived class's reads and writes, through the TLS stage when it is established.
    int Receive(void* buffer, int length, int flags);
    int Send(const void* data, int length, int flags);
    // ioctlsocket; FIONREAD also counts the held bytes.
    bool IOCtl(long command, u_long* argument);

    void Reset();

private:
    enum class State {
        kFlowing,    // every close of the peer goes straight to the derived class
        kCloseHeld,  // the peer closed; the close waits until the held bytes are taken
    };
    int ReceiveDecrypted(char* buffer, int length);
    int ServeHeld(char* buffer, int length);
    void Announce();
    void ReleaseHeldClose();
    void PostHeldClose();

    StageLink& m_link;
    TlsStage& m_tls;
    State m_state = State::kFlowing;
    int m_heldCloseError = 0;
    char m_held[kHeldBytesSize] = {};
    int m_heldStart = 0;
    int m_heldEnd = 0;
};
