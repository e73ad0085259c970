// The connect sequence: from any condition to "idle" (connected, greeted with 2xx, nothing
// outstanding). It never gives up: every failure resets, waits a fixed delay and starts
// again from Connect1, so GetToIdle only ever returns success to its caller.

#include "nntp/ConnectionOptionKeys.h"
#include "nntp/NNTPSocket.h"
#include "platform/Time.h"
#include "support/ControlBytes.h"

void CNNTPSocket::GetToIdle() {
    if (ConnectionState == kStateIdle) {
        NntpTrace("%T: GetToIdle(): Already in idle state. Returning success.\n");
        ReturnSuccess();
        return;
    }
    if (ConnectionState != kStateNoConnection) {
        // A command may be outstanding; its reply would be taken for the greeting.
        NntpTrace("%T: GetToIdle(): Must reset connection to get to idle state.\n");
        Close();
        SetState(kStateNoConnection);
    }
    CallSequence(&CNNTPSocket::Connect1, &CNNTPSocket::GetToIdle2);
}

void CNNTPSocket::GetToIdle2() {
    if (StepSucceeded == 0) {
        NntpTrace("%T: GetToIdle2(): Failed to connect. Delaying and retrying.\n");
        DelayThen(GetConnectionOptionSeconds(connection_options::kErrorDelay, "30"),
                  &CNNTPSocket::GetToIdle);
        return;
    }
    NntpTrace("%T: GetToIdle2(): Successfully entered idle state. Returning success.\n");
    ReturnSuccess();
}

void CNNTPSocket::Connect1() {
    NntpTrace("%T: Connect1: Connecting to server if necessary.\n");
    const std::string server = Settings.GetString(keys::kNewsServer);
    if (ConnectedServer != server) {
        ResetConnection();
    }
    if (ConnectionState >= kStateIdle) {
        NntpTrace("%T: Connect1: Already connected and greeted. Returning Success.\n");
        ReturnSuccess();
        return;
    }
    SetState(kStateConnecting);
    // The dial-up stage: nothing to dial here, so it succeeds at once.
    CallSequence(&CNNTPSocket::ReturnSuccess, &CNNTPSocket::Connect2);
}

void CNNTPSocket::Connect2() {
    NntpTrace("%T: Connect2: Dial-up succeeded.\n");
    CallSequence(&CNNTPSocket::Connect3, &CNNTPSocket::Connect4);
}

namespace {

// Starts the connect with the settings of the moment; the proxy values are passed only when
// the proxy option is on.
bool StartConnect(CNNTPSocket& connection) {
    SettingsStore& settings = connection.Settings;
    const std::string server = settings.GetString(keys::kNewsServer);
    const int port = settings.GetInt(keys::kNewsPort);
    if (settings.GetInt(keys::kProxyOption) != 0) {
        NntpTrace("%T: Connecting with proxy.\n");
        return connection.Connect(server, port, settings.GetString(keys::kProxyAddress),
                                  settings.GetInt(keys::kProxyPort),
                                  settings.GetString(keys::kProxyUserName),
                                  settings.GetString(keys::kProxyPassword));
    }
    NntpTrace("%T: Connecting without proxy.\n");
    return connection.Connect(server, port, "", 0, "", "");
}

}  // namespace

void CNNTPSocket::Connect3() {
    if (GetSocketHandle() != INVALID_SOCKET) {
        Close();
    }
    NntpTrace("%T: Connect2: Thread Handle: %d\n", ThreadIdForTrace());

    // A new connection starts with nothing buffered and nothing half-read.
    IsDelaying = false;
    ReadPos = DataEnd = ReceiveBuffer;
    IsUnreadData = false;
    IsWaitingForData = false;
    LineLength = 0;

    // No socket is made here: Connect makes the one it dials, for every address it tries, and
    // reports every failure of its own through OnConnect (a missing window among them).

    // A connect that fails at once reports through OnConnect before Connect returns; that
    // report has already resumed Connect4 and armed the retry delay. Reporting the failure a
    // second time would start the next attempt at once, nested inside this one.
    ConnectReported = false;
    InsideConnect = true;
    PublishActivity(ConnectionActivity::kConnecting);
    const bool started = StartConnect(*this);
    InsideConnect = false;
    if (started && !ConnectReported && IsLookupPending()) {
        PublishActivity(ConnectionActivity::kLookingUp);
    }

    if (started && !ConnectReported) {
        SetState(kStateConnecting);
        NntpTrace("%T: Connect3: Attempting to connect to server %s port %d.\n",
                  Settings.GetString(keys::kNewsServer).c_str(), Settings.GetInt(keys::kNewsPort));
        return;
    }
    if (started) {
        return;
    }
    if (!ConnectReported && WSAGetLastError() == WSAEWOULDBLOCK) {
        NntpTrace("%T: Connect3: Would Block.  Continuing.\n");
        SetState(kStateConnecting);
        return;
    }
    NntpTrace("%T: Connect3: Connection attempt has failed.  Retrying.\n");
    SetState(kStateNoConnection);
    if (!ConnectReported) {
        ReturnFailure();
    }
}

void CNNTPSocket::Connect4() {
    if (StepSucceeded != 1) {
        SetState(kStateNoConnection);
        NntpTrace("%T: Connect4(%d): Connection attempt failed.\n", SocketId());
        ReportConnectFailure();
        DelayThen(GetConnectionOptionSeconds(connection_options::kErrorDelay, "30"),
                  &CNNTPSocket::Connect1);
        return;
    }
    SetState(kStateAwaitingGreeting);
    PublishActivity(ConnectionActivity::kAwaitingGreeting);
    CommandSentAt = platform::MonotonicTime();  // the greeting's latency counts from here
    NntpTrace("%T: Connect4(%d): Connected to server.  Waiting for greeting.\n", SocketId());
    CallSequence(&CNNTPSocket::WaitForData, &CNNTPSocket::Connect5);
}

void CNNTPSocket::Connect5() {
    if (StepSucceeded != 1) {
        ResetConnection();
        NntpTrace("%T: Connect5: WaitData failed.  Retrying connect.\n");
        DelayThen(GetConnectionOptionSeconds(connection_options::kErrorDelay, "30"),
                  &CNNTPSocket::Connect1);
        return;
    }
    const char* line = ReadLineOrWait(&CNNTPSocket::Connect5);
    if (line == nullptr) {
        return;
    }
    NntpTraceServerLine("%T: Response: %s\n", line);
    NoteStatusLine(line, CommandKind::kGreeting);
    ReportStatus("%s", line);

    if (line[0] == '2') {
        SetState(kStateIdle);
        PublishActivity(ConnectionActivity::kIdle);
        NntpTrace("%T: Connect5: Successfully received server greeting.  Now Idle.\n");
        GoToStep(&CNNTPSocket::ReturnSuccess);
        return;
    }

    CountFailure(FailureKind::kGreetingRefused, ServerLineReason(line));
    NntpTrace("%T: Connect5(%d): %s.\n", SocketId(), PrintableLine(line).c_str());
    NntpTrace("%T: Connect5(%d): Invalid greeting or error. Will retry after delay.\n", SocketId());
    const int rejectDelay = GetConnectionOptionSeconds(connection_options::kRejectDelay, "180");
    ReportStatus("Will retry after %d second delay.", rejectDelay);
    ResetConnection();
    DelayThen(rejectDelay, &CNNTPSocket::Connect1);
}

// Connect failures are told apart by what failed: the proxy (whose address the user must
// check, not the news server's), the name lookup, a time-out, or the connect itself. Each row
// says why in words: the proxy's or the TLS library's reason, or the socket error's text.
void CNNTPSocket::ReportConnectFailure() {
    const std::string server = Settings.GetString(keys::kNewsServer);
    const int port = Settings.GetInt(keys::kNewsPort);
    const std::string reason = LastConnectFailureReason().empty()
                                   ? std::string(GetErrorText(LastConnectError))
                                   : LastConnectFailureReason();
    // A reason of our own has no full stop of its own; the socket errors' texts have one.
    const char* stop = !reason.empty() && reason.back() == '.' ? "" : ".";
    if (LastConnectFailedInTls()) {
        // The row before this one gave the library's reason.
        CountFailure(FailureKind::kTls, reason);
        ReportStatus("No TLS session with server \"%s\" port %d.  Will retry.", server.c_str(),
                     port);
        return;
    }
    if (IsUsingProxy()) {
        CountFailure(FailureKind::kProxy, reason);
        ReportStatus(
            "Failed to connect through proxy \"%s\" port %d to server \"%s\" port %d: "
            "%s%s  Will retry.",
            Settings.GetString(keys::kProxyAddress).c_str(), Settings.GetInt(keys::kProxyPort),
            server.c_str(), port, reason.c_str(), stop);
        return;
    }
    if (LastConnectError >= WSAHOST_NOT_FOUND && LastConnectError <= WSANO_DATA) {
        CountFailure(FailureKind::kLookup, reason);
        ReportStatus("Could not find server \"%s\": %w  Will retry.", server.c_str(),
                     LastConnectError);
        return;
    }
    CountFailure(LastConnectError == WSAETIMEDOUT ? FailureKind::kTimeout : FailureKind::kRefused,
                 reason);
    ReportStatus("Failed to connect to server \"%s\" port %d: %s%s  Will retry.", server.c_str(),
                 port, reason.c_str(), stop);
}
