#pragma once
// The client side of one TLS session, with no socket of its own: the owner (BaseSocket) feeds
// it the bytes read from the peer and sends the bytes it produces. Keeping the socket out
// leaves every read and write, and therefore the read notifications, with the owner.
#include <string>

struct ssl_st;
struct ssl_ctx_st;
struct bio_st;

struct TlsOptions {
    bool enabled = false;
    bool verify = true;  // trust store (or caFile) and the server's name
    std::string caFile;  // empty: the system's trust store
};

class TlsSession {
public:
    enum class Progress { Done, NeedsPeer, Failed };
    // Results of Read besides a positive count.
    static constexpr int kNothingYet = -1;
    static constexpr int kBroken = -2;

    TlsSession() = default;
    ~TlsSession();
    TlsSession(const TlsSession&) = delete;
    TlsSession& operator=(const TlsSession&) = delete;

    // Prepares a new session for serverName (sent as SNI and checked against the certificate
    // when verifying). False with Reason() when the options cannot be used (CA file unusable).
    bool Begin(const std::string& serverName, const TlsOptions& options);
    void End();
#ifdef _WIN32
    bool IsActive() const { return m_pSystem != nullptr; }
#else
    bool IsActive() const {
        return m_ssl != nullptr;
    }
#endif
    bool IsEstablished() const { return m_bEstablished; }

    Progress Handshake();
    // Ciphertext from the peer.
    void Feed(const char* bytes, int count);
    // Decrypted bytes: a count, 0 when the peer ended the session, kNothingYet when more
    // ciphertext is needed, kBroken on a protocol error (Reason() says which).
    int Read(char* buffer, int length);
    // Encrypts; the ciphertext waits in TakeOutput. False on error.
    bool Write(const char* bytes, int length);
    // Ciphertext to send, appended to out; the session's queue is emptied.
    void TakeOutput(std::string* out);

    // Decrypted bytes, plus ciphertext not yet decrypted, held by the session.
    int HeldCount() const;
    bool HoldsInput() const { return HeldCount() > 0; }
    // "TLSv1.3 TLS_AES_256_GCM_SHA384" once established.
    std::string Description() const;
    // True when path names a readable file with at least one PEM certificate; else reason
    // says what is wrong with it.
    static bool CheckCaFile(const std::string& path, std::string* reason);

    // Why the last step failed, in the library's words.
    const std::string& Reason() const {
        return m_reason;
    }

private:
    // Ends the session, keeping what as the reason; for the callers' "return Fail(...)".
    bool Fail(const std::string& what) {
        m_reason = what;
        End();
        return false;
    }
#ifdef _WIN32
    // Windows' own TLS (net/win32/TlsSession.cpp): its handles and the session's buffers.
    struct SystemSession;
    Progress FinishHandshake();
    int DecryptRecord();
    SystemSession* m_pSystem = nullptr;  // owned; a plain pointer, as its type is known only there
#else
    void NoteLibraryError(int result);

    ssl_ctx_st* m_context = nullptr;
    ssl_st* m_ssl = nullptr;
    bio_st* m_fromPeer = nullptr;  // owned by m_ssl
    bio_st* m_toPeer = nullptr;    // owned by m_ssl
#endif
    bool m_bEstablished = false;
    std::string m_reason;
};
