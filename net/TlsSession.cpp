#include "net/TlsSession.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <mutex>

namespace {

// A name that parses as an IPv4 or IPv6 address is checked as an address, and is not sent as
// SNI (which carries host names only).
bool IsAddressLiteral(const std::string& name) {
    ASN1_OCTET_STRING* parsed = a2i_IPADDRESS(name.c_str());
    if (parsed == nullptr) {
        return false;
    }
    ASN1_OCTET_STRING_free(parsed);
    return true;
}

// The library's reason for the failed load, after the file named (empty: the trust store).
std::string CannotLoadCaFile(const std::string& path) {
    const unsigned long error = ERR_get_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    return "cannot load the CA file \"" + path +
           "\": " + (reason != nullptr ? reason : "no certificate in it");
}

// A context that checks the peer against the system's trust store, with a reference for the
// caller; null when the store cannot be read. The store is a bundle of some 150
// certificates: reading it costs tens of milliseconds of the engine thread (ten times that
// in the thread checker's build), so it is read once per process, not at every connect. A
// context counts its users and may serve many sessions on any thread; what is checked per
// server (name or address) is set on each session.
SSL_CTX* SystemTrustContext() {
    static std::mutex mutex;
    static SSL_CTX* shared = nullptr;  // kept to the end of the process
    const std::lock_guard<std::mutex> lock(mutex);
    if (shared == nullptr) {
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        if (context == nullptr) {
            return nullptr;
        }
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        SSL_CTX_set_verify(context, SSL_VERIFY_PEER, nullptr);
        if (SSL_CTX_set_default_verify_paths(context) != 1) {
            SSL_CTX_free(context);
            return nullptr;
        }
        shared = context;
    }
    SSL_CTX_up_ref(shared);
    return shared;
}

}  // namespace

bool TlsSession::CheckCaFile(const std::string& path, std::string* reason) {
    BIO* file = BIO_new_file(path.c_str(), "r");
    if (file == nullptr) {
        ERR_clear_error();
        *reason = "cannot open the CA file \"" + path + "\"";
        return false;
    }
    X509* first = PEM_read_bio_X509(file, nullptr, nullptr, nullptr);
    BIO_free(file);
    ERR_clear_error();
    if (first == nullptr) {
        *reason = "\"" + path + "\" holds no PEM certificate";
        return false;
    }
    X509_free(first);
    return true;
}

TlsSession::~TlsSession() {
    End();
}

void TlsSession::End() {
    if (m_ssl != nullptr) {
        SSL_free(m_ssl);  // frees both memory BIOs
        m_ssl = nullptr;
    }
    if (m_context != nullptr) {
        SSL_CTX_free(m_context);
        m_context = nullptr;
    }
    m_fromPeer = m_toPeer = nullptr;
    m_bEstablished = false;
}

bool TlsSession::Begin(const std::string& serverName, const TlsOptions& options) {
    End();
    m_reason.clear();
    ERR_clear_error();
    // The library names neither a missing file nor one without certificates clearly.
    std::string unusable;
    if (options.verify && !options.caFile.empty() && !CheckCaFile(options.caFile, &unusable)) {
        return Fail(unusable);
    }
    const bool systemStore = options.verify && options.caFile.empty();
    m_context = systemStore ? SystemTrustContext() : SSL_CTX_new(TLS_client_method());
    if (m_context == nullptr) {
        return Fail(systemStore ? CannotLoadCaFile(options.caFile)
                                : std::string("cannot create a TLS context"));
    }
    if (!systemStore) {
        SSL_CTX_set_min_proto_version(m_context, TLS1_2_VERSION);
        SSL_CTX_set_verify(m_context, options.verify ? SSL_VERIFY_PEER : SSL_VERIFY_NONE, nullptr);
        if (options.verify &&
            SSL_CTX_load_verify_locations(m_context, options.caFile.c_str(), nullptr) != 1) {
            return Fail(CannotLoadCaFile(options.caFile));
        }
    }
    m_ssl = SSL_new(m_context);
    m_fromPeer = BIO_new(BIO_s_mem());
    m_toPeer = BIO_new(BIO_s_mem());
    if (m_ssl == nullptr || m_fromPeer == nullptr || m_toPeer == nullptr) {
        BIO_free(m_fromPeer);
        BIO_free(m_toPeer);
        m_fromPeer = m_toPeer = nullptr;
        return Fail("cannot create a TLS session");
    }
    // An empty memory buffer means "nothing yet", not end of stream.
    BIO_set_mem_eof_return(m_fromPeer, -1);
    SSL_set_bio(m_ssl, m_fromPeer, m_toPeer);
    SSL_set_connect_state(m_ssl);
    if (IsAddressLiteral(serverName)) {
        if (options.verify) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(m_ssl), serverName.c_str());
        }
    } else if (!serverName.empty()) {
        SSL_set_tlsext_host_name(m_ssl, serverName.c_str());
        if (options.verify) {
            SSL_set1_host(m_ssl, serverName.c_str());
        }
    }
    return true;
}

void TlsSession::NoteLibraryError(int result) {
    const int kind = SSL_get_error(m_ssl, result);
    const unsigned long error = ERR_get_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    m_reason = reason != nullptr ? reason : "TLS protocol error";
    if (kind == SSL_ERROR_SYSCALL && error == 0) {
        m_reason = "the TLS session ended unexpectedly";
    }
    const long verified = SSL_get_verify_result(m_ssl);
    if (verified != X509_V_OK) {
        m_reason += ": ";
        m_reason += X509_verify_cert_error_string(verified);
    }
    ERR_clear_error();
}

TlsSession::Progress TlsSession::Handshake() {
    if (m_ssl == nullptr) {
        return Progress::Failed;
    }
    const int result = SSL_do_handshake(m_ssl);
    if (result == 1) {
        m_bEstablished = true;
        return Progress::Done;
    }
    const int kind = SSL_get_error(m_ssl, result);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
        return Progress::NeedsPeer;
    }
    NoteLibraryError(result);
    return Progress::Failed;
}

void TlsSession::Feed(const char* bytes, int count) {
    if (m_fromPeer != nullptr && count > 0) {
        BIO_write(m_fromPeer, bytes, count);
    }
}

int TlsSession::Read(char* buffer, int length) {
    if (m_ssl == nullptr || length <= 0) {
        return kBroken;
    }
    const int result = SSL_read(m_ssl, buffer, length);
    if (result > 0) {
        return result;
    }
    const int kind = SSL_get_error(m_ssl, result);
    if (kind == SSL_ERROR_WANT_READ || kind == SSL_ERROR_WANT_WRITE) {
        return kNothingYet;
    }
    if (kind == SSL_ERROR_ZERO_RETURN) {
        return 0;
    }
    NoteLibraryError(result);
    return kBroken;
}

bool TlsSession::Write(const char* bytes, int length) {
    if (m_ssl == nullptr) {
        return false;
    }
    if (length <= 0) {
        return true;
    }
    // Memory BIOs grow as needed, so a write is taken whole or fails.
    const int result = SSL_write(m_ssl, bytes, length);
    if (result == length) {
        return true;
    }
    NoteLibraryError(result);
    return false;
}

void TlsSession::TakeOutput(std::string* out) {
    if (m_toPeer == nullptr) {
        return;
    }
    char chunk[16384];
    for (;;) {
        const int count = BIO_read(m_toPeer, chunk, sizeof chunk);
        if (count <= 0) {
            return;
        }
        out->append(chunk, static_cast<size_t>(count));
    }
}

int TlsSession::HeldCount() const {
    if (m_ssl == nullptr) {
        return 0;
    }
    return SSL_pending(m_ssl) + static_cast<int>(BIO_ctrl_pending(m_fromPeer));
}

std::string TlsSession::Description() const {
    if (m_ssl == nullptr) {
        return std::string();
    }
    return std::string(SSL_get_version(m_ssl)) + " " + SSL_get_cipher_name(m_ssl);
}
