// The TLS session of a build without a TLS library: every attempt is refused with a reason
// the user can act on, and the connection fails like any TLS failure (nothing is sent in
// clear text in its place).
#include "net/TlsSession.h"

namespace {

constexpr const char* kNoTls =
    "TLS is not available in this build of zodiva (it was built without OpenSSL); "
    "turn news_ssl off or use a build with TLS";

}  // namespace

TlsSession::~TlsSession() = default;

bool TlsSession::Begin(const std::string&, const TlsOptions&) {
    m_Reason = kNoTls;
    return false;
}

void TlsSession::End() {
    m_bEstablished = false;
}

TlsSession::Progress TlsSession::Handshake() {
    m_Reason = kNoTls;
    return Progress::Failed;
}

void TlsSession::Feed(const char*, int) {}

int TlsSession::Read(char*, int) {
    m_Reason = kNoTls;
    return kBroken;
}

bool TlsSession::Write(const char*, int) {
    m_Reason = kNoTls;
    return false;
}

void TlsSession::TakeOutput(std::string*) {}

int TlsSession::HeldCount() const {
    return 0;
}

std::string TlsSession::Description() const {
    return {};
}

bool TlsSession::CheckCaFile(const std::string&, std::string* reason) {
    if (reason != nullptr)
        *reason = kNoTls;
    return false;
}

bool TlsSession::Fail(const std::string& what) {
    m_Reason = what;
    return false;
}

void TlsSession::NoteLibraryError(int) {}
