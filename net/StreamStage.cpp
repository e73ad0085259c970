#include "net/StreamStage.h"

#include <algorithm>
#include <cstring>

#include "net/TlsStage.h"
#include "platform/Assert.h"

void StreamStage::Keep(const char* bytes, int count) {
    ZODIVA_ASSERT(count >= 0 && count <= kHeldBytesSize);
    m_heldStart = 0;
    m_heldEnd = 0;
    if (count > 0) {
        std::memcpy(m_held, bytes, static_cast<size_t>(count));
        m_heldEnd = count;
    }
}

int StreamStage::HeldCount() const {
    return m_heldEnd - m_heldStart + (m_tls.IsEstablished() ? m_tls.HeldCount() : 0);
}

void StreamStage::AnnounceHeld() {
    if (HeldCount() > 0) {
        Announce();
    }
}

// Posted, not called: the derived class finishes what it is doing first, and a notification
// that arrives after the socket was closed or replaced names a socket that is no longer current.
void StreamStage::Announce() {
    m_link.PostSocketEvent(FD_READ, 0);
}

void StreamStage::HoldClose(int error) {
    m_state = State::kCloseHeld;
    m_heldCloseError = error;
}

// Called once the held bytes are all taken: the close follows them, as it follows the last
// data read from a plain socket. Posted, so the derived class finishes its read first.
void StreamStage::ReleaseHeldClose() {
    if (m_state != State::kCloseHeld || HeldCount() > 0) {
        return;
    }
    PostHeldClose();
}

// Nothing more will come out of what is held (or the rest cannot be used): the held close
// follows now.
void StreamStage::PostHeldClose() {
    if (m_state != State::kCloseHeld) {
        return;
    }
    m_state = State::kFlowing;
    m_link.PostSocketEvent(FD_CLOSE, m_heldCloseError);
}

int StreamStage::Receive(void* buffer, int length, int flags) {
    if (m_tls.IsEstablished()) {
        return ReceiveDecrypted(static_cast<char*>(buffer), length);
    }
    if (m_heldEnd > m_heldStart && length > 0) {
        return ServeHeld(static_cast<char*>(buffer), length);
    }
    const SOCKET socket = m_link.Socket();
    const int result = recv(socket, static_cast<char*>(buffer), length, flags);
    // A short read drained the socket: the server may now be holding back its next piece
    // until this one is acknowledged. A full read means more is queued and ACKs flow anyway.
    if (result > 0 && result < length) {
        RearmQuickAck(socket);
    }
    return result;
}

int StreamStage::ServeHeld(char* buffer, int length) {
    const int count = std::min(length, m_heldEnd - m_heldStart);
    std::memcpy(buffer, m_held + m_heldStart, static_cast<size_t>(count));
    m_heldStart += count;
    if (m_heldStart == m_heldEnd) {
        m_heldStart = m_heldEnd = 0;
        ReleaseHeldClose();
    } else {
        Announce();  // no socket read happened, so no new FD_READ would come
    }
    return count;
}

// What the session still holds after a read is announced with a read notification of its own:
// the socket may have nothing more to say.
int StreamStage::ReceiveDecrypted(char* buffer, int length) {
    const int count = m_tls.Read(buffer, length);
    if (count > 0) {
        if (m_tls.HeldCount() > 0) {
            Announce();
        } else {
            ReleaseHeldClose();
        }
        return count;
    }
    // The session ended, broke or lost its socket: nothing more comes out of it.
    const int error = WSAGetLastError();
    PostHeldClose();
    WSASetLastError(error);
    return count;
}

int StreamStage::Send(const void* data, int length, int flags) {
    if (m_tls.IsEstablished()) {
        return m_tls.Write(static_cast<const char*>(data), length);
    }
    return send(m_link.Socket(), static_cast<const char*>(data), length, flags);
}

bool StreamStage::IOCtl(long command, u_long* argument) {
    if (ioctlsocket(m_link.Socket(), command, argument) == SOCKET_ERROR) {
        return false;
    }
    if (command == static_cast<long>(FIONREAD) && argument != nullptr) {
        *argument += static_cast<u_long>(HeldCount());
    }
    return true;
}

void StreamStage::Reset() {
    m_heldStart = m_heldEnd = 0;
    m_state = State::kFlowing;
}
