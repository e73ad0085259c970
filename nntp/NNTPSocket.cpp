// The connection object and its step machinery: how steps hand on, return, wait and delay,
// and the events (tick, connect, close, job messages) that resume them.
#include "nntp/NNTPSocket.h"
#include "nntp/ConnectionOptionKeys.h"

#include <cstdlib>
#include <cstring>

namespace {

constexpr double kBytesToKiB = 0.0009765625;
// Deep enough for the longest chain (job, group, idle, connect, auth) so that pushes in the
// steady state never reallocate.
constexpr std::size_t kReturnStackReserve = 32;

constexpr char kPasswordCommand[] = "AUTHINFO PASS ";
constexpr char kMaskedPasswordCommand[] = "AUTHINFO PASS ********\r\n";

// Temporary article files are named after this number. It starts from the clock so that two
// programs sharing a working directory are unlikely to pick the same names, and it counts up
// so that no two connections of this process ever share one.
std::int32_t NextTempFileNumber() {
    static std::atomic<std::uint32_t> next{
        static_cast<std::uint32_t>(platform::CurrentFileTimeStamp() /
                                   platform::kFileTimeUnitsPerMillisecond) &
        0x3FFFFFFFu};
    return static_cast<std::int32_t>(next.fetch_add(1) & 0x7FFFFFFFu);
}

}  // namespace

CNNTPSocket::CNNTPSocket() : TempFileNumber(NextTempFileNumber()) {
    ReturnStack.reserve(kReturnStackReserve);
    LineBuffer[0] = '\0';
    LastTickTime = static_cast<std::uint64_t>(platform::MonotonicTime());
    SetGroupName(kNoGroupSelected);
    // The transport reads its own settings (TLS) from this store at every connect.
    SetTransportSettings(&Settings);
    NntpTrace("%T: CNNTPSocket(): Thread Handle: %d\n", ThreadIdForTrace());
}

void CNNTPSocket::OnTransportStatus(const std::string& text) {
    ReportStatus("%s", text.c_str());
}

CNNTPSocket::~CNNTPSocket() {
    NntpTrace("%T: ~CNNTPSocket(): Thread Handle: %d\n", ThreadIdForTrace());
    // Also cancels a host lookup still under way; the article file closes itself (it is left
    // on disk: only ResetConnection deletes it).
    Close();
}

bool CNNTPSocket::GoToStep(StepFn step) {
    // Every step hands on as its last action: once a hand-on is deferred, nothing may hand on
    // again before the outermost call has run it (a second one would overtake it).
    ZODIVA_ASSERT_MSG(DeferredStep == nullptr, "a step handed on again after handing on");
    if (step == nullptr || step == &CNNTPSocket::EndOfJob) {
        ReturnStack.clear();
        return true;
    }
    if (StepDepth >= kMaxNestedSteps && DeferredStep == nullptr) {
        DeferredStep = step;
        return true;
    }
    ++StepDepth;
    (this->*step)();
    --StepDepth;
    // Only the outermost call runs what was handed down to it, with a fresh stack.
    while (StepDepth == 0 && DeferredStep != nullptr) {
        const StepFn deferred = DeferredStep;
        DeferredStep = nullptr;
        ++StepDepth;
        (this->*deferred)();
        --StepDepth;
    }
    return true;
}

void CNNTPSocket::CallSequence(StepFn first, StepFn continuation) {
    // Pushed first, so whatever first hands on to returns into continuation.
    ReturnStack.push_back(continuation);
    GoToStep(first);
}

namespace {

// The continuation to return into, or `end` when none is left.
StepFn PopOrEnd(std::vector<StepFn>& stack, StepFn end) {
    if (stack.empty()) {
        return end;
    }
    const StepFn next = stack.back();
    stack.pop_back();
    return next;
}

}  // namespace

void CNNTPSocket::ReturnSuccess() {
    StepSucceeded = 1;
    GoToStep(PopOrEnd(ReturnStack, &CNNTPSocket::EndOfJob));
}

void CNNTPSocket::ReturnFailure() {
    StepSucceeded = 0;
    GoToStep(PopOrEnd(ReturnStack, &CNNTPSocket::EndOfJob));
}

void CNNTPSocket::DelayThen(std::int32_t seconds, StepFn continuation) {
    IsDelaying = false;
    DelaySeconds = seconds;
    CallSequence(&CNNTPSocket::StartDelay, continuation);
}

void CNNTPSocket::StartDelay() {
    DelayStart = platform::CurrentFileTimeStamp();
    IsDelaying = true;
    if (Monitor != nullptr) {
        Monitor->SetDelay(static_cast<std::int64_t>(DelayStart), DelaySeconds);
    }
}

void CNNTPSocket::WaitForData() {
    NntpTrace("%T: WaitForData called\n");
    if (ReadPos != DataEnd) {
        // Written whatever VerboseLog says: this is the line that shows a reply was already
        // buffered when its step asked for it.
        DebugLogPrintf("%T: WaitForData: Incoming buff contains data. returning success\n");
        ReturnSuccess();
        return;
    }
    if (IsUnreadData) {
        NntpTrace("%T: WaitForData: Incoming buff contains data. returning success\n");
        ReturnSuccess();
        return;
    }
    WaitStart = platform::CurrentFileTimeStamp();
    IsWaitingForData = true;
    if (Monitor != nullptr) {
        Monitor->SetWaitStart(static_cast<std::int64_t>(WaitStart));
    }
    NntpTrace("%T: WaitForData: Setting IsWaitingForData flag.\n");
}

void CNNTPSocket::EndOfJob() {}

void CNNTPSocket::Callback() {
    // The job's two parameters are always 0; the line keeps its shape for those who read it.
    NntpTrace("%T: Callback() called. (End of job) lParam1 = %d, lParam2 = %d.\n\n", 0, 0);
}

void CNNTPSocket::ClearStack() {
    ReturnStack.clear();
}

void CNNTPSocket::OnTimer() {
    ZODIVA_ASSERT_OWNER(Owner());
    NntpTrace("%T: OnTimer(): Thread Handle: %d\n", ThreadIdForTrace());

    // The interval is measured on the monotonic clock: a system time set back would make it
    // negative (a negative rate), one set forward by weeks would overflow the milliseconds.
    // Delays and time-outs below keep the system time.
    const auto now = static_cast<std::uint64_t>(platform::MonotonicTime());
    if (BytesSinceTick == 0) {
        Rate = 0.0;
    } else {
        const auto units = static_cast<std::int64_t>(now - LastTickTime);
        const std::int64_t milliseconds = units / platform::kFileTimeUnitsPerMillisecond;
        const double seconds = static_cast<double>(milliseconds) * 0.001;
        if (seconds > 0.0) {
            Rate = (BytesSinceTick / seconds) * kBytesToKiB;
        }
    }
    BytesSinceTick = 0;
    LastTickTime = now;

    if (Monitor != nullptr && Monitor->Activity() == ConnectionActivity::kLookingUp &&
        !IsLookupPending()) {
        Monitor->SetActivity(ConnectionActivity::kConnecting);
    }

    if (IsDelaying && platform::WholeSecondsSince(DelayStart) > DelaySeconds) {
        IsDelaying = false;
        ReturnSuccess();
        return;  // a time-out due in the same tick waits for the next one
    }

    if (IsWaitingForData) {
        HintTlsOnSilentGreeting();
        const int limit = GetConnectionOptionSeconds(connection_options::kReceiveTimeout, "180");
        if (platform::WholeSecondsSince(WaitStart) > limit) {
            IsWaitingForData = false;
            const std::string reason =
                IsSilentSinceConnect()
                    ? "no greeting within " + std::to_string(limit) + " seconds: " + kTlsQuestion
                    : "no reply within " + std::to_string(limit) + " seconds";
            CountFailure(FailureKind::kTimeout, reason);
            ReportStatus("No reply from server \"%s\" within %d seconds.  Will retry.",
                         Settings.GetString(keys::kNewsServer).c_str(), limit);
            ReturnFailure();
        }
    }
}

// Nothing at all has come since the connect, on a connection that talks plain text: what a
// TLS port does, as it waits for the client to begin.
bool CNNTPSocket::IsSilentSinceConnect() const {
    return ConnectionState == kStateAwaitingGreeting && ReadPos == DataEnd && !IsUnreadData &&
           LineLength == 0 && !GetTlsOptions().enabled;
}

void CNNTPSocket::HintTlsOnSilentGreeting() {
    if (TlsHintReported || !IsSilentSinceConnect() ||
        platform::WholeSecondsSince(WaitStart) < kTlsHintSeconds) {
        return;
    }
    TlsHintReported = true;
    ReportStatus("no greeting: %s", kTlsQuestion);
}

void CNNTPSocket::OnConnect(int error) {
    NntpTrace("%T: OnConnect(): Error %d\n", error);
    if (ConnectionState != kStateConnecting) {
        return;
    }
    if (InsideConnect) {
        ConnectReported = true;
    }
    LastConnectError = error;
    if (error == 0) {
        ReturnSuccess();
    } else {
        Close();
        ReturnFailure();
    }
}

void CNNTPSocket::OnClose(int error) {
    NntpTrace("%T: OnClose[%d]\n", SocketId());
    CountFailure(FailureKind::kClosedByServer,
                 error == 0 ? std::string("the server closed the connection")
                            : std::string("connection lost: ") + GetErrorText(error));
    if (error == 0) {
        ReportStatus("Connection closed by server \"%s\".",
                     Settings.GetString(keys::kNewsServer).c_str());
    } else {
        ReportStatus("Connection to server \"%s\" lost: %w",
                     Settings.GetString(keys::kNewsServer).c_str(), error);
    }
    // The step machine is left alone: a waiting step fails at its receive time-out, and a
    // running delay runs on.
    Close();
    ResetConnection();
    SetState(kStateNoConnection);
}

LRESULT CNNTPSocket::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_TIMER:
            // Only a timer of this connection's own window is its tick.
            ZODIVA_ASSERT_MSG(window == GetWindowHandle(), "a timer of another window");
            OnTimer();
            return BaseSocket::WindowProc(window, message, wParam, lParam);
        case kMsgStartArticleJob:
            CallSequence(&CNNTPSocket::Head1, &CNNTPSocket::NextArticle);
            return 0;
        case kMsgStartXoverJob:
            CallSequence(&CNNTPSocket::Xover1, &CNNTPSocket::Callback);
            return 0;
        default:
            return BaseSocket::WindowProc(window, message, wParam, lParam);
    }
}

int CNNTPSocket::SendCommand(const char* text, std::int32_t newState) {
    SetState(newState);
    CommandSentAt = platform::MonotonicTime();
    if (newState == kStateHeadSent) {
        HeadSentAt = CommandSentAt;
    }
    PublishActivity(ActivityOfState(newState));
    // The password must not reach log.txt; the server still gets the real command.
    const bool isPassword = std::strncmp(text, kPasswordCommand, sizeof kPasswordCommand - 1) == 0;
    NntpTrace("%T: Sending[%d]: %s\n", SocketId(), isPassword ? kMaskedPasswordCommand : text);
    return Send(text, static_cast<int>(std::strlen(text)), 0);
}

void CNNTPSocket::SendCommandAndWait(const char* text, std::int32_t newState, StepFn replyStep) {
    const int length = static_cast<int>(std::strlen(text));
    const int sent = SendCommand(text, newState);
    if (sent == length) {
        CallSequence(&CNNTPSocket::WaitForData, replyStep);
        return;
    }
    // Nothing would ever answer: the server has not got the command, or only part of it.
    const int error = sent < 0 ? WSAGetLastError() : 0;
    if (sent < 0) {
        ErrorLogPrintf("%T: Sending[%d]: failed with error %d.  Dropping the connection.\n",
                       SocketId(), error);
    } else {
        ErrorLogPrintf("%T: Sending[%d]: only %d of %d bytes sent.  Dropping the connection.\n",
                       SocketId(), sent, length);
    }
    CountFailure(FailureKind::kClosedByServer,
                 sent < 0 ? std::string("sending failed: ") + GetErrorText(error)
                          : "sending failed: only " + std::to_string(sent) + " of " +
                                std::to_string(length) + " bytes sent");
    if (sent < 0) {
        ReportStatus("Sending to server \"%s\" failed: %w  Will retry.",
                     Settings.GetString(keys::kNewsServer).c_str(), error);
    } else {
        ReportStatus("Sending to server \"%s\" failed.  Will retry.",
                     Settings.GetString(keys::kNewsServer).c_str());
    }
    ResetConnection();
    CallSequence(&CNNTPSocket::ReturnFailure, replyStep);
}

void CNNTPSocket::SetGroupName(const std::string& name) {
    WantedGroup = name;
}

void CNNTPSocket::StartArticleJob(const std::string& group, int article) {
    SetGroupName(group);
    Settings.SetInt(keys::kArticle, article);
    PostMessageA(GetWindowHandle(), kMsgStartArticleJob, 0, 0);
}

std::string CNNTPSocket::GetConnectionOption(const std::string& key,
                                             const std::string& defaultValue) const {
    const auto found = ConnectionOptions.find(key);
    return found == ConnectionOptions.end() ? defaultValue : found->second;
}

int CNNTPSocket::GetConnectionOptionSeconds(const std::string& key,
                                            const char* defaultValue) const {
    return std::atoi(GetConnectionOption(key, defaultValue).c_str());
}

int CNNTPSocket::SocketId() const {
    return static_cast<int>(GetSocketHandle());
}
