#pragma once
// The TLS stage of BaseSocket's chain (in it only when TLS is on): the handshake after the TCP
// connect, or inside the proxy's tunnel, and afterwards the encrypted path under Receive and
// Send. The session (TlsSession) has no socket; this stage reads and writes for it.
#include <string>

#include "net/TlsSession.h"
#include "net/TransportStage.h"

class SettingsStore;

class TlsStage final : public HandshakeStage {
public:
    static constexpr int kReadSize = 16384 + 512;  // one TLS record with its overhead

    using HandshakeStage::HandshakeStage;

    void SetOptions(const TlsOptions& options) { m_options = options; }
    const TlsOptions& Options() const { return m_options; }
    // The store whose TLS settings every attempt reads (null: keep SetOptions' values).
    void SetSettings(SettingsStore* settings) { m_pSettings = settings; }
    // A new attempt: reads the settings and forgets the last attempt's failure. True when TLS
    // is on for it.
    bool Configure();

    bool IsEstablished() const { return m_state == State::kEstablished; }
    // True when the last attempt ended in this stage (kept across Close, for the report).
    bool Failed() const { return m_state == State::kFailed; }

    void Begin(const char* early, int count) override;
    bool IsRunning() const override { return m_state == State::kHandshaking; }
    void OnReadable() override;
    void OnReadError(int) override {}
    void OnPeerClosed() override;
    void OnTimedOut(int limitSeconds) override;
    void Reset() override;

    // FD_WRITE: sends the ciphertext that waits. False when that failed during the handshake
    // (the attempt has then ended).
    bool OnWritable();
    // Plaintext for the derived class, read from the socket as needed: a count, 0 when the
    // server ended the session or closed, SOCKET_ERROR with the last error set.
    int Read(char* buffer, int length);
    // Encrypts and sends; length, or SOCKET_ERROR.
    int Write(const char* data, int length);
    // Decrypted bytes (and ciphertext not yet decrypted) the session holds.
    int HeldCount() const { return m_session.HeldCount(); }

private:
    enum class State {
        kIdle,         // not begun on this socket
        kHandshaking,  // owns the socket's events until the handshake's outcome
        kEstablished,  // Receive and Send go through the session
        kFailed,       // the handshake failed; reported once
    };
    void Continue();
    void Finish();
    void Fail(const std::string& reason);
    // Sends what the session produced. True when everything went out or the rest waits for
    // FD_WRITE; false on a socket error.
    bool Flush();

    TlsOptions m_options;
    SettingsStore* m_pSettings = nullptr;
    TlsSession m_session;
    std::string m_outbox;  // ciphertext the socket would not take yet
    State m_state = State::kIdle;
};
