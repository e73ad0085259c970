// What a connection publishes for the front ends: its activity, failures by kind, the last
// status line, latencies and status rows. All of it is cheap enough for every reply: a few
// relaxed atomic stores, no allocation, no lock.

#include "nntp/NNTPSocket.h"
#include "platform/Time.h"

namespace {

constexpr std::int64_t kUnitsPerMicrosecond = 10;

}  // namespace

std::string ServerLineReason(const char* line) {
    std::string reason = PrintableLine(line).c_str();
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r')) {
        reason.pop_back();
    }
    return reason;
}

void CNNTPSocket::PublishActivity(ConnectionActivity activity) {
    if (Monitor != nullptr) {
        Monitor->SetActivity(activity);
    }
}

void CNNTPSocket::CountFailure(FailureKind kind, const char* reason) {
    if (Download != nullptr) {
        Download->CountFailure(kind);
        Download->SetFailureReason(kind, reason);
    }
}

void CNNTPSocket::RecordLatency(CommandKind kind) {
    RecordLatencySince(kind, CommandSentAt);
}

void CNNTPSocket::RecordLatencySince(CommandKind kind, std::int64_t since) {
    if (Download == nullptr) {
        return;
    }
    const std::int64_t elapsed = platform::MonotonicTime() - since;
    Download->RecordLatency(kind,
                            elapsed > 0 ? static_cast<std::uint64_t>(elapsed / kUnitsPerMicrosecond)
                                        : 0);
}

void CNNTPSocket::NoteStatusLine(const char* line, CommandKind kind) {
    if (Monitor != nullptr) {
        Monitor->SetLastStatusLine(line);
    }
    RecordLatency(kind);
}

bool CNNTPSocket::ReportStatusArgs(const char* format, LogArguments& args) {
    if (m_pStatusList == nullptr) {
        return false;
    }
    if (m_pStatusList->Window != nullptr) {
        m_pStatusList->Window->BeginRow(ConnectionNumber);
    }
    return StatusListPrintfArgs(m_pStatusList, format, args);
}

ConnectionActivity CNNTPSocket::ActivityOfState(std::int32_t state) {
    switch (state) {
        case kStateConnecting:
            return ConnectionActivity::kConnecting;
        case kStateAwaitingGreeting:
            return ConnectionActivity::kAwaitingGreeting;
        case kStateIdle:
            return ConnectionActivity::kIdle;
        case kStateGroupSent:
            return ConnectionActivity::kSelectingGroup;
        case kStateUserSent:
        case kStatePassSent:
            return ConnectionActivity::kLoggingIn;
        case kStateXoverSent:
        case kStateXoverText:
        case kStateHeadSent:
        case kStateHeadText:
            return ConnectionActivity::kFetchingHeader;
        case kStateBodySent:
        case kStateBodyText:
            return ConnectionActivity::kFetchingBody;
        default:
            return ConnectionActivity::kNotConnected;
    }
}
