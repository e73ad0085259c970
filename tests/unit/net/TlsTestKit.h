#pragma once
// The server side of TLS for transport tests: a throw-away CA and server certificate made in
// memory, and a server session over the far end of a LoopbackPeer, driven by the test's pump.
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <string>
#include <vector>

#include "NetTestKit.h"

namespace net_test {

// A key and a certificate, signed by `issuer` (or by itself when there is none).
class TestCertificate {
public:
    TestCertificate(const std::string& commonName, const std::string& altNames,
                    const TestCertificate* issuer) {
        m_Key = EVP_EC_gen("P-256");
        m_Cert = X509_new();
        X509_set_version(m_Cert, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(m_Cert), ++Serial());
        X509_gmtime_adj(X509_getm_notBefore(m_Cert), -3600);
        X509_gmtime_adj(X509_getm_notAfter(m_Cert), 3600L * 24);
        X509_set_pubkey(m_Cert, m_Key);
        X509_NAME* name = X509_get_subject_name(m_Cert);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                   -1, 0);
        X509_set_issuer_name(m_Cert, issuer != nullptr ? X509_get_subject_name(issuer->m_Cert)
                                                       : name);
        X509V3_CTX context;
        X509V3_set_ctx_nodb(&context);
        X509V3_set_ctx(&context, issuer != nullptr ? issuer->m_Cert : m_Cert, m_Cert, nullptr,
                       nullptr, 0);
        AddExtension(&context, NID_basic_constraints, issuer == nullptr ? "critical,CA:TRUE"
                                                                        : "CA:FALSE");
        if (!altNames.empty()) {
            AddExtension(&context, NID_subject_alt_name, altNames.c_str());
        }
        X509_sign(m_Cert, issuer != nullptr ? issuer->m_Key : m_Key, EVP_sha256());
    }
    ~TestCertificate() {
        X509_free(m_Cert);
        EVP_PKEY_free(m_Key);
    }
    TestCertificate(const TestCertificate&) = delete;
    TestCertificate& operator=(const TestCertificate&) = delete;

    X509* Cert() const { return m_Cert; }
    EVP_PKEY* Key() const { return m_Key; }

    bool WritePem(const std::string& path) const {
        FILE* file = std::fopen(path.c_str(), "w");
        if (file == nullptr) {
            return false;
        }
        const bool written = PEM_write_X509(file, m_Cert) == 1;
        std::fclose(file);
        return written;
    }

private:
    static long& Serial() {
        static long serial = 1000;
        return serial;
    }
    void AddExtension(X509V3_CTX* context, int nid, const char* value) {
        X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, context, nid, value);
        if (extension != nullptr) {
            X509_add_ext(m_Cert, extension, -1);
            X509_EXTENSION_free(extension);
        }
    }

    EVP_PKEY* m_Key = nullptr;
    X509* m_Cert = nullptr;
};

// One TLS server session on the peer's accepted connection. Pump() moves bytes both ways.
class TlsServer {
public:
    TlsServer(LoopbackPeer& peer, const TestCertificate& certificate)
        : m_Peer(peer) {
        m_Context = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(m_Context, certificate.Cert());
        SSL_CTX_use_PrivateKey(m_Context, certificate.Key());
        m_Ssl = SSL_new(m_Context);
        m_In = BIO_new(BIO_s_mem());
        m_Out = BIO_new(BIO_s_mem());
        BIO_set_mem_eof_return(m_In, -1);
        SSL_set_bio(m_Ssl, m_In, m_Out);
        SSL_set_accept_state(m_Ssl);
    }
    ~TlsServer() {
        SSL_free(m_Ssl);
        SSL_CTX_free(m_Context);
    }
    TlsServer(const TlsServer&) = delete;
    TlsServer& operator=(const TlsServer&) = delete;

    // Feeds what the client sent, advances the handshake, sends what the session produced.
    void Pump() {
        const std::string& inbox = m_Peer.Read();
        if (!inbox.empty()) {
            BIO_write(m_In, inbox.data(), static_cast<int>(inbox.size()));
            m_Peer.ClearInbox();
        }
        if (!SSL_is_init_finished(m_Ssl)) {
            SSL_do_handshake(m_Ssl);
        }
        if (SSL_is_init_finished(m_Ssl)) {
            char buffer[4096];
            int count;
            while ((count = SSL_read(m_Ssl, buffer, sizeof buffer)) > 0) {
                m_Plaintext.append(buffer, static_cast<size_t>(count));
            }
        }
        Flush();
    }
    bool Established() const { return SSL_is_init_finished(m_Ssl) == 1; }
    // Queues plaintext as one TLS write (records of at most 16384 bytes) and sends it.
    void Write(const std::string& text) {
        SSL_write(m_Ssl, text.data(), static_cast<int>(text.size()));
        Flush();
    }
    void EndSession() {
        SSL_shutdown(m_Ssl);
        Flush();
    }
    const std::string& Plaintext() const { return m_Plaintext; }
    std::string ServerName() const {
        const char* name = SSL_get_servername(m_Ssl, TLSEXT_NAMETYPE_host_name);
        return name != nullptr ? name : "";
    }

private:
    void Flush() {
        char buffer[16384];
        int count;
        while ((count = BIO_read(m_Out, buffer, sizeof buffer)) > 0) {
            m_Peer.Write(std::string(buffer, static_cast<size_t>(count)));
        }
    }

    LoopbackPeer& m_Peer;
    SSL_CTX* m_Context = nullptr;
    SSL* m_Ssl = nullptr;
    BIO* m_In = nullptr;
    BIO* m_Out = nullptr;
    std::string m_Plaintext;
};

}  // namespace net_test
