// The client side of one TLS session on Windows, through the system's own TLS (the Schannel
// security package). As on Linux the session has no socket: BaseSocket feeds it what the
// server sent and sends what it produced, so the read notifications stay with the socket.
// The certificate is checked here rather than by the package, so that a CA file can stand in
// for the system's trust store.
#include "net/TlsSession.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#define SECURITY_WIN32
#include <schannel.h>
#include <security.h>
#include <wincrypt.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

namespace {

constexpr DWORD kContextRequest = ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT |
                                  ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY |
                                  ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION |
                                  ISC_REQ_USE_SUPPLIED_CREDS;
constexpr std::size_t kRecordHeaderBytes = 5;
// The checks of the system's TLS policy that are left out (the values of wininet.h's
// SECURITY_FLAG_IGNORE_UNKNOWN_CA and SECURITY_FLAG_IGNORE_CERT_CN_INVALID).
constexpr DWORD kIgnoreUnknownCa = 0x00000100;
constexpr DWORD kIgnoreNameMismatch = 0x00001000;

// The address in network order when name is an IPv4 or IPv6 literal (checked as an address,
// and not sent as SNI, which carries host names only).
std::string AddressBytes(const std::string& name) {
    unsigned char bytes[16] = {};
    if (inet_pton(AF_INET, name.c_str(), bytes) == 1) {
        return std::string(reinterpret_cast<char*>(bytes), 4);
    }
    if (inet_pton(AF_INET6, name.c_str(), bytes) == 1) {
        return std::string(reinterpret_cast<char*>(bytes), 16);
    }
    return std::string();
}

std::wstring Wide(const std::string& text) {
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, &wide[0], length);
    wide.resize(static_cast<std::size_t>(length - 1));
    return wide;
}

std::string Hex(unsigned long value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", value);
    return text;
}

// The package's status in words; the number stays for a search of the documentation.
std::string StatusText(SECURITY_STATUS status) {
    const char* what = nullptr;
    switch (status) {
        case SEC_E_ILLEGAL_MESSAGE:
            what = "the server's reply is not TLS, or it refused the handshake";
            break;
        case SEC_E_ALGORITHM_MISMATCH:
            what = "no TLS version or cipher in common with the server";
            break;
        case SEC_E_DECRYPT_FAILURE:
        case SEC_E_MESSAGE_ALTERED:
            what = "a TLS record from the server could not be decrypted";
            break;
        case SEC_E_INTERNAL_ERROR:
            what = "Windows' TLS failed inside";
            break;
        case SEC_E_INVALID_TOKEN:
            what = "the server's TLS message is malformed";
            break;
        default:
            what = "Windows' TLS refused the session";
            break;
    }
    return std::string(what) + " (status " + Hex(static_cast<unsigned long>(status)) + ")";
}

// Every certificate between "-----BEGIN CERTIFICATE-----" and its end line, decoded.
std::vector<std::string> PemCertificates(const std::string& text) {
    static const std::string kBegin = "-----BEGIN CERTIFICATE-----";
    static const std::string kEnd = "-----END CERTIFICATE-----";
    std::vector<std::string> found;
    for (std::size_t at = text.find(kBegin); at != std::string::npos; at = text.find(kBegin, at)) {
        const std::size_t end = text.find(kEnd, at);
        if (end == std::string::npos) {
            break;
        }
        const std::string block = text.substr(at, end + kEnd.size() - at);
        at = end + kEnd.size();
        DWORD size = 0;
        if (!CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                  CRYPT_STRING_BASE64HEADER, nullptr, &size, nullptr, nullptr) ||
            size == 0) {
            continue;
        }
        std::string der(size, '\0');
        if (CryptStringToBinaryA(block.c_str(), static_cast<DWORD>(block.size()),
                                 CRYPT_STRING_BASE64HEADER, reinterpret_cast<BYTE*>(&der[0]),
                                 &size, nullptr, nullptr)) {
            der.resize(size);
            found.push_back(std::move(der));
        }
    }
    return found;
}

// The CA file's certificates in a store of their own; null with reason when there are none.
HCERTSTORE LoadCaFile(const std::string& path, std::string* reason) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        *reason = "cannot open the CA file \"" + path + "\"";
        return nullptr;
    }
    const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, 0, nullptr);
    if (store == nullptr) {
        *reason = "cannot make a certificate store for \"" + path + "\"";
        return nullptr;
    }
    int added = 0;
    for (const std::string& der : PemCertificates(text)) {
        if (CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING,
                                             reinterpret_cast<const BYTE*>(der.data()),
                                             static_cast<DWORD>(der.size()),
                                             CERT_STORE_ADD_USE_EXISTING, nullptr)) {
            ++added;
        }
    }
    if (added == 0) {
        CertCloseStore(store, 0);
        *reason = "\"" + path + "\" holds no PEM certificate";
        return nullptr;
    }
    return store;
}

// Whether the certificate's alternative names list this address (the name check of the
// system's policy compares host names only).
bool CertificateNamesAddress(PCCERT_CONTEXT certificate, const std::string& address) {
    const CERT_INFO* info = certificate->pCertInfo;
    PCERT_EXTENSION extension =
        CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
    if (extension == nullptr) {
        return false;
    }
    CERT_ALT_NAME_INFO* names = nullptr;
    DWORD size = 0;
    if (!CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                             extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, nullptr, &names,
                             &size)) {
        return false;
    }
    bool named = false;
    for (DWORD i = 0; i < names->cAltEntry && !named; ++i) {
        const CERT_ALT_NAME_ENTRY& entry = names->rgAltEntry[i];
        named = entry.dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS &&
                entry.IPAddress.cbData == address.size() &&
                std::memcmp(entry.IPAddress.pbData, address.data(), address.size()) == 0;
    }
    LocalFree(names);
    return named;
}

std::string PolicyFailure(DWORD error, const std::string& serverName) {
    switch (error) {
        case static_cast<DWORD>(CERT_E_UNTRUSTEDROOT):
        case static_cast<DWORD>(CERT_E_CHAINING):
            return "the certificate's issuer is not trusted";
        case static_cast<DWORD>(CERT_E_CN_NO_MATCH):
            return "the certificate does not name \"" + serverName + "\"";
        case static_cast<DWORD>(CERT_E_EXPIRED):
            return "the certificate has expired or is not valid yet";
        case static_cast<DWORD>(CERT_E_WRONG_USAGE):
            return "the certificate is not for a TLS server";
        case static_cast<DWORD>(TRUST_E_CERT_SIGNATURE):
            return "the certificate's signature is wrong";
        default:
            return "the certificate was refused (" + Hex(error) + ")";
    }
}

// The chain's own verdict, read here as well as through the policy below: the policy of some
// systems does not count a chain that ends short of any root (the issuer is unknown) as a
// failure. Revocation is not asked for, as the Linux build does not ask for it either.
std::string ChainFailure(DWORD status, bool rootFromCaFile) {
    constexpr DWORD kRevocation = CERT_TRUST_REVOCATION_STATUS_UNKNOWN |
                                  CERT_TRUST_IS_OFFLINE_REVOCATION;
    DWORD errors = status & ~kRevocation;
    if (rootFromCaFile) {
        errors &= ~static_cast<DWORD>(CERT_TRUST_IS_UNTRUSTED_ROOT);
    }
    if (errors == 0) {
        return std::string();
    }
    if (errors & (CERT_TRUST_IS_UNTRUSTED_ROOT | CERT_TRUST_IS_PARTIAL_CHAIN)) {
        return "the certificate's issuer is not trusted";
    }
    if (errors & CERT_TRUST_IS_NOT_TIME_VALID) {
        return "the certificate has expired or is not valid yet";
    }
    if (errors & CERT_TRUST_IS_NOT_SIGNATURE_VALID) {
        return "the certificate's signature is wrong";
    }
    if (errors & CERT_TRUST_IS_NOT_VALID_FOR_USAGE) {
        return "the certificate is not for a TLS server";
    }
    if (errors & CERT_TRUST_IS_REVOKED) {
        return "the certificate is revoked";
    }
    return "the certificate chain is not valid (" + Hex(errors) + ")";
}

const char* ProtocolName(DWORD protocol) {
    if (protocol & SP_PROT_TLS1_3_CLIENT) {
        return "TLSv1.3";
    }
    if (protocol & SP_PROT_TLS1_2_CLIENT) {
        return "TLSv1.2";
    }
    if (protocol & SP_PROT_TLS1_1_CLIENT) {
        return "TLSv1.1";
    }
    if (protocol & SP_PROT_TLS1_0_CLIENT) {
        return "TLSv1";
    }
    return "SSL";
}

std::string AlgorithmName(ALG_ID id) {
    switch (id) {
        case CALG_ECDH_EPHEM:
            return "ECDHE";
        case CALG_ECDH:
            return "ECDH";
        case CALG_DH_EPHEM:
            return "DHE";
        case CALG_RSA_KEYX:
            return "RSA";
        case CALG_AES_128:
            return "AES128";
        case CALG_AES_256:
            return "AES256";
        case CALG_3DES:
            return "3DES";
        case CALG_SHA1:
            return "SHA1";
        case CALG_SHA_256:
            return "SHA256";
        case CALG_SHA_384:
            return "SHA384";
        case CALG_SHA_512:
            return "SHA512";
        default:
            return Hex(id);
    }
}

// What the record at the start of the bytes needs in all; 0 while its header is incomplete.
std::size_t FirstRecordSize(const std::string& bytes) {
    if (bytes.size() < kRecordHeaderBytes) {
        return 0;
    }
    const auto high = static_cast<unsigned char>(bytes[3]);
    const auto low = static_cast<unsigned char>(bytes[4]);
    return kRecordHeaderBytes + (static_cast<std::size_t>(high) << 8 | low);
}

// A TLS record starts with its content type (20 to 24) and the major version 3. The package
// reads the next bytes as the record's length and waits for that many, so a server that
// answers in plain text (an NNTP greeting on the TLS port) would only be noticed at the
// handshake's time-out.
bool LooksLikeTls(const std::string& bytes) {
    if (bytes.size() < 2) {
        return true;  // too early to tell
    }
    const auto type = static_cast<unsigned char>(bytes[0]);
    return type >= 20 && type <= 24 && bytes[1] == 3;
}

// The start of what a server sent instead of TLS, printable, for the message.
std::string PlainStart(const std::string& bytes) {
    std::string shown;
    for (const char c : bytes.substr(0, 40)) {
        if (c == '\r' || c == '\n') {
            break;
        }
        shown += c >= 32 && c < 127 ? c : '?';
    }
    return shown;
}

}  // namespace

struct TlsSession::SystemSession {
    CredHandle credentials = {};
    bool hasCredentials = false;
    CtxtHandle context = {};
    bool hasContext = false;
    HCERTSTORE trusted = nullptr;  // the CA file's certificates; null: the system's store
    bool verify = true;
    std::string serverName;
    std::string address;           // the address's bytes when serverName is an address
    SecPkgContext_StreamSizes sizes = {};
    std::string input;             // ciphertext from the server not used yet
    std::string plain;             // decrypted bytes from plainStart on not read yet
    std::size_t plainStart = 0;
    std::string output;            // ciphertext for the server
    bool peerEnded = false;

    ~SystemSession() {
        if (hasContext) {
            DeleteSecurityContext(&context);
        }
        if (hasCredentials) {
            FreeCredentialsHandle(&credentials);
        }
        if (trusted != nullptr) {
            CertCloseStore(trusted, 0);
        }
    }

    std::size_t PlainHeld() const { return plain.size() - plainStart; }

    // One call of the handshake with what the server sent (none on the first); the package's
    // output is queued, and what it did not use stays in input.
    SECURITY_STATUS Step() {
        const bool first = !hasContext;
        SecBuffer inBuffers[2] = {
            {static_cast<unsigned long>(input.size()), SECBUFFER_TOKEN, input.data()},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc in = {SECBUFFER_VERSION, 2, inBuffers};
        SecBuffer outBuffers[1] = {{0, SECBUFFER_TOKEN, nullptr}};
        SecBufferDesc out = {SECBUFFER_VERSION, 1, outBuffers};
        unsigned long granted = 0;
        SEC_CHAR* target =
            address.empty() && !serverName.empty() ? serverName.data() : nullptr;
        const SECURITY_STATUS status = InitializeSecurityContextA(
            &credentials, first ? nullptr : &context, target, kContextRequest, 0, 0,
            first ? nullptr : &in, 0, &context, &out, &granted, nullptr);
        if (first && (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_OK)) {
            hasContext = true;
        }
        if (outBuffers[0].pvBuffer != nullptr) {
            output.append(static_cast<const char*>(outBuffers[0].pvBuffer), outBuffers[0].cbBuffer);
            FreeContextBuffer(outBuffers[0].pvBuffer);
        }
        // Input waits for the next call while more of it is needed, and when the call only
        // asked whether to go on without a client certificate.
        if (!first && status != SEC_E_INCOMPLETE_MESSAGE && status != SEC_I_INCOMPLETE_CREDENTIALS) {
            if (inBuffers[1].BufferType == SECBUFFER_EXTRA && inBuffers[1].cbBuffer > 0 &&
                inBuffers[1].cbBuffer <= input.size()) {
                input.erase(0, input.size() - inBuffers[1].cbBuffer);
            } else {
                input.clear();
            }
        }
        return status;
    }

    // The server's certificate against the trusted roots and the server's name; reason says
    // what is wrong when it fails.
    bool CheckCertificate(std::string* reason) {
        PCCERT_CONTEXT peer = nullptr;
        if (QueryContextAttributesA(&context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &peer) != SEC_E_OK ||
            peer == nullptr) {
            *reason = "the server sent no certificate";
            return false;
        }
        // The server's own intermediates, and with a CA file its certificates, are candidates
        // for the chain; which root ends it is judged below.
        HCERTSTORE candidates = CertOpenStore(CERT_STORE_PROV_COLLECTION, 0, 0, 0, nullptr);
        if (candidates != nullptr) {
            CertAddStoreToCollection(candidates, peer->hCertStore, 0, 0);
            if (trusted != nullptr) {
                CertAddStoreToCollection(candidates, trusted, 0, 0);
            }
        }
        CERT_CHAIN_PARA chainPara = {};
        chainPara.cbSize = sizeof chainPara;
        PCCERT_CHAIN_CONTEXT chain = nullptr;
        bool good = false;
        if (!CertGetCertificateChain(nullptr, peer, nullptr, candidates, &chainPara, 0, nullptr,
                                     &chain) ||
            chain == nullptr || chain->cChain == 0) {
            *reason = "its certificate chain could not be built";
        } else {
            good = CheckChain(chain, peer, reason);
        }
        if (chain != nullptr) {
            CertFreeCertificateChain(chain);
        }
        if (candidates != nullptr) {
            CertCloseStore(candidates, 0);
        }
        CertFreeCertificateContext(peer);
        return good;
    }

    bool CheckChain(PCCERT_CHAIN_CONTEXT chain, PCCERT_CONTEXT peer, std::string* reason) {
        DWORD ignored = 0;
        if (trusted != nullptr) {
            // With a CA file, its certificates alone are trusted: the chain must end at one of
            // them, which the system itself does not trust.
            const CERT_SIMPLE_CHAIN* simple = chain->rgpChain[0];
            PCCERT_CONTEXT root = simple->rgpElement[simple->cElement - 1]->pCertContext;
            PCCERT_CONTEXT listed = CertFindCertificateInStore(
                trusted, X509_ASN_ENCODING, 0, CERT_FIND_EXISTING, root, nullptr);
            if (listed == nullptr) {
                *reason = "the certificate's issuer is not a CA of the CA file";
                return false;
            }
            CertFreeCertificateContext(listed);
            ignored |= kIgnoreUnknownCa;
        }
        const std::string broken = ChainFailure(chain->TrustStatus.dwErrorStatus, trusted != nullptr);
        if (!broken.empty()) {
            *reason = broken;
            return false;
        }
        std::wstring wideName;
        if (!address.empty()) {
            if (!CertificateNamesAddress(peer, address)) {
                *reason = "the certificate does not name \"" + serverName + "\"";
                return false;
            }
            ignored |= kIgnoreNameMismatch;
        } else {
            wideName = Wide(serverName);
        }
        SSL_EXTRA_CERT_CHAIN_POLICY_PARA ssl = {};
        ssl.cbSize = sizeof ssl;
        ssl.dwAuthType = AUTHTYPE_SERVER;
        ssl.fdwChecks = ignored;
        ssl.pwszServerName = wideName.empty() ? nullptr : &wideName[0];
        CERT_CHAIN_POLICY_PARA policy = {};
        policy.cbSize = sizeof policy;
        policy.pvExtraPolicyPara = &ssl;
        CERT_CHAIN_POLICY_STATUS status = {};
        status.cbSize = sizeof status;
        if (!CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &status)) {
            *reason = "the certificate could not be checked";
            return false;
        }
        if (status.dwError != 0) {
            *reason = PolicyFailure(status.dwError, serverName);
            return false;
        }
        return true;
    }
};

bool TlsSession::CheckCaFile(const std::string& path, std::string* reason) {
    std::string why;
    HCERTSTORE store = LoadCaFile(path, &why);
    if (store == nullptr) {
        if (reason != nullptr) {
            *reason = why;
        }
        return false;
    }
    CertCloseStore(store, 0);
    return true;
}

TlsSession::~TlsSession() {
    End();
}

void TlsSession::End() {
    delete m_pSystem;
    m_pSystem = nullptr;
    m_bEstablished = false;
}

bool TlsSession::Begin(const std::string& serverName, const TlsOptions& options) {
    End();
    m_reason.clear();
    auto session = std::make_unique<SystemSession>();
    session->verify = options.verify;
    session->serverName = serverName;
    session->address = AddressBytes(serverName);
    if (options.verify && !options.caFile.empty()) {
        std::string unusable;
        session->trusted = LoadCaFile(options.caFile, &unusable);
        if (session->trusted == nullptr) {
            return Fail(unusable);
        }
    }
    // The package's own check is off: the certificate is checked here once the handshake is
    // done, against the CA file when one is given. Versions are left to the system's policy;
    // anything older than TLS 1.2 is refused afterwards.
    SCHANNEL_CRED credentials = {};
    credentials.dwVersion = SCHANNEL_CRED_VERSION;
    credentials.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
    char package[] = UNISP_NAME_A;
    const SECURITY_STATUS status =
        AcquireCredentialsHandleA(nullptr, package, SECPKG_CRED_OUTBOUND, nullptr, &credentials,
                                  nullptr, nullptr, &session->credentials, nullptr);
    if (status != SEC_E_OK) {
        return Fail("cannot start Windows' TLS: " + StatusText(status));
    }
    session->hasCredentials = true;
    m_pSystem = session.release();
    return true;
}

TlsSession::Progress TlsSession::Handshake() {
    if (!m_pSystem) {
        return Progress::Failed;
    }
    if (m_bEstablished) {
        return Progress::Done;
    }
    SystemSession& session = *m_pSystem;
    for (;;) {
        if (session.hasContext && session.input.empty()) {
            return Progress::NeedsPeer;
        }
        if (session.hasContext && !LooksLikeTls(session.input)) {
            m_reason = "the server did not answer with TLS (it sent \"" +
                       PlainStart(session.input) + "\")";
            return Progress::Failed;
        }
        const SECURITY_STATUS status = session.Step();
        switch (status) {
            case SEC_E_OK:
                return FinishHandshake();
            case SEC_E_INCOMPLETE_MESSAGE:
                return Progress::NeedsPeer;
            case SEC_I_CONTINUE_NEEDED:
            case SEC_I_INCOMPLETE_CREDENTIALS:  // a client certificate is asked for: none
                continue;
            default:
                m_reason = StatusText(status);
                return Progress::Failed;
        }
    }
}

TlsSession::Progress TlsSession::FinishHandshake() {
    SystemSession& session = *m_pSystem;
    if (QueryContextAttributesA(&session.context, SECPKG_ATTR_STREAM_SIZES, &session.sizes) !=
            SEC_E_OK ||
        session.sizes.cbMaximumMessage == 0) {
        m_reason = "Windows' TLS gave no record sizes";
        return Progress::Failed;
    }
    SecPkgContext_ConnectionInfo connection = {};
    if (QueryContextAttributesA(&session.context, SECPKG_ATTR_CONNECTION_INFO, &connection) ==
            SEC_E_OK &&
        (connection.dwProtocol & (SP_PROT_TLS1_2_CLIENT | SP_PROT_TLS1_3_CLIENT)) == 0) {
        m_reason = std::string("the server speaks only ") + ProtocolName(connection.dwProtocol) +
                   ", older than TLSv1.2";
        return Progress::Failed;
    }
    std::string reason;
    if (session.verify && !session.CheckCertificate(&reason)) {
        m_reason = "certificate verify failed: " + reason;
        return Progress::Failed;
    }
    m_bEstablished = true;
    return Progress::Done;
}

void TlsSession::Feed(const char* bytes, int count) {
    if (m_pSystem && count > 0) {
        m_pSystem->input.append(bytes, static_cast<std::size_t>(count));
    }
}

int TlsSession::Read(char* buffer, int length) {
    if (!m_pSystem || !m_bEstablished || length <= 0) {
        return kBroken;
    }
    SystemSession& session = *m_pSystem;
    while (session.PlainHeld() == 0) {
        session.plain.clear();
        session.plainStart = 0;
        if (session.peerEnded) {
            return 0;
        }
        if (session.input.empty()) {
            return kNothingYet;
        }
        const int result = DecryptRecord();
        if (result != 1) {
            return result;
        }
    }
    const std::size_t count = std::min(session.PlainHeld(), static_cast<std::size_t>(length));
    std::memcpy(buffer, session.plain.data() + session.plainStart, count);
    session.plainStart += count;
    return static_cast<int>(count);
}

// Decrypts the record at the start of the input: 1 when it was taken (it may have held no
// data), else what Read returns.
int TlsSession::DecryptRecord() {
    SystemSession& session = *m_pSystem;
    SecBuffer buffers[4] = {
        {static_cast<unsigned long>(session.input.size()), SECBUFFER_DATA, session.input.data()},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr},
        {0, SECBUFFER_EMPTY, nullptr}};
    SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
    const SECURITY_STATUS status = DecryptMessage(&session.context, &message, 0, nullptr);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
        return kNothingYet;
    }
    if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) {
        m_reason = StatusText(status);
        return kBroken;
    }
    // The buffers point into the input, which is replaced by what follows the record.
    std::string rest;
    for (const SecBuffer& buffer : buffers) {
        if (buffer.BufferType == SECBUFFER_DATA && buffer.pvBuffer != nullptr) {
            session.plain.append(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        } else if (buffer.BufferType == SECBUFFER_EXTRA && buffer.pvBuffer != nullptr) {
            rest.assign(static_cast<const char*>(buffer.pvBuffer), buffer.cbBuffer);
        }
    }
    session.input = std::move(rest);
    if (status == SEC_I_CONTEXT_EXPIRED) {
        session.peerEnded = true;  // the server ended the session (close_notify)
    } else if (status == SEC_I_RENEGOTIATE) {
        // A handshake message after the handshake (a TLS 1.3 ticket or key update): the
        // package takes it through the handshake call, with what followed it as input.
        const SECURITY_STATUS renewed = session.Step();
        if (renewed != SEC_E_OK && renewed != SEC_I_CONTINUE_NEEDED &&
            renewed != SEC_E_INCOMPLETE_MESSAGE) {
            m_reason = StatusText(renewed);
            return kBroken;
        }
    }
    return 1;
}

bool TlsSession::Write(const char* bytes, int length) {
    if (!m_pSystem || !m_bEstablished) {
        m_reason = "no TLS session";
        return false;
    }
    SystemSession& session = *m_pSystem;
    const SecPkgContext_StreamSizes& sizes = session.sizes;
    while (length > 0) {
        const auto chunk = std::min(static_cast<unsigned long>(length), sizes.cbMaximumMessage);
        std::string record(sizes.cbHeader + chunk + sizes.cbTrailer, '\0');
        std::memcpy(&record[sizes.cbHeader], bytes, chunk);
        SecBuffer buffers[4] = {
            {sizes.cbHeader, SECBUFFER_STREAM_HEADER, &record[0]},
            {chunk, SECBUFFER_DATA, &record[sizes.cbHeader]},
            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, &record[sizes.cbHeader + chunk]},
            {0, SECBUFFER_EMPTY, nullptr}};
        SecBufferDesc message = {SECBUFFER_VERSION, 4, buffers};
        const SECURITY_STATUS status = EncryptMessage(&session.context, 0, &message, 0);
        if (status != SEC_E_OK) {
            m_reason = StatusText(status);
            return false;
        }
        for (int i = 0; i < 3; ++i) {
            session.output.append(static_cast<const char*>(buffers[i].pvBuffer), buffers[i].cbBuffer);
        }
        bytes += chunk;
        length -= static_cast<int>(chunk);
    }
    return true;
}

void TlsSession::TakeOutput(std::string* out) {
    if (m_pSystem) {
        out->append(m_pSystem->output);
        m_pSystem->output.clear();
    }
}

// Ciphertext counts only once a whole record of it is there: a part of one can be read only
// after more comes from the socket.
int TlsSession::HeldCount() const {
    if (!m_pSystem) {
        return 0;
    }
    const SystemSession& session = *m_pSystem;
    const std::size_t record = FirstRecordSize(session.input);
    const std::size_t cipher = record != 0 && session.input.size() >= record ? session.input.size() : 0;
    return static_cast<int>(session.PlainHeld() + cipher);
}

std::string TlsSession::Description() const {
    if (!m_pSystem || !m_pSystem->hasContext) {
        return std::string();
    }
    CtxtHandle* context = &m_pSystem->context;
    SecPkgContext_ConnectionInfo connection = {};
    if (QueryContextAttributesA(context, SECPKG_ATTR_CONNECTION_INFO, &connection) != SEC_E_OK) {
        return std::string();
    }
    std::string text = ProtocolName(connection.dwProtocol);
    // The suite's standard name where the system gives it whole (some give only a part of it,
    // with "<unknown>" in place of the rest); else its parts as the connection reports them.
    SecPkgContext_CipherInfo cipher = {};
    cipher.dwVersion = SECPKGCONTEXT_CIPHERINFO_V1;
    if (QueryContextAttributesA(context, SECPKG_ATTR_CIPHER_INFO, &cipher) == SEC_E_OK &&
        cipher.szCipherSuite[0] != L'\0') {
        char suite[SZ_ALG_MAX_SIZE * 2] = {};
        WideCharToMultiByte(CP_UTF8, 0, cipher.szCipherSuite, -1, suite, sizeof suite, nullptr,
                            nullptr);
        if (std::strchr(suite, '<') == nullptr) {
            return text + " " + suite;
        }
    }
    return text + " " + AlgorithmName(connection.aiExch) + "-" +
           AlgorithmName(connection.aiCipher) + "-" + AlgorithmName(connection.aiHash);
}
