// Logging in: AUTHINFO USER, then AUTHINFO PASS, started by a step that got "480" or "450".
// Every outcome passes through CommonAuthHandler, which either runs the interrupted step again
// (AuthResendFn), retries the whole login after a delay, or hands failure to the job's caller.
#include <cstdio>
#include <string>

#include "nntp/NNTPSocket.h"
#include "nntp/ReplyCodes.h"
#include "support/Scramble.h"

namespace {

// Why the last login attempt failed; kept on the connection in AuthFailure.
constexpr std::int32_t kAuthNoFailure = 0;
constexpr std::int32_t kAuthNoReply = 1;
constexpr std::int32_t kAuthRejected = 2;

// Why a login was refused, for the user: with no user name set, what is missing; else the
// server's own words.
constexpr char kNoUserName[] = "the server asks for a login but no user name is set";

}  // namespace

// The login steps' shared helpers; a friend of CNNTPSocket, as they work on its state.
struct LoginHelpers {
    // How both reply steps start: a wait that failed ends the login as unanswered (traced as
    // noReply); otherwise the reply, traced and noted, or null once `step` waits for it.
    static const char* TakeAuthReply(CNNTPSocket& connection, StepFn step, const char* noReply) {
        if (connection.StepSucceeded == 0) {
            NntpTrace(noReply);
            connection.AuthFailure = kAuthNoReply;
            connection.ReturnFailure();
            return nullptr;
        }
        const char* line = connection.ReadLineOrWait(step);
        if (line == nullptr) {
            return nullptr;
        }
        connection.SetState(kStateIdle);
        NntpTraceServerLine("%T: Response: %s\n", line);
        connection.NoteStatusLine(line, CommandKind::kAuthinfo);
        return line;
    }

    // The server refused the user name or the password: counted with the server's reply (or
    // the missing user name) as the reason, shown, and the login ends rejected.
    static void EndLoginRejected(CNNTPSocket& connection, const char* line) {
        const bool noUserName = connection.Settings.GetString(keys::kUserName).empty();
        const std::string reason = noUserName ? std::string(kNoUserName) : ServerLineReason(line);
        connection.CountFailure(FailureKind::kLoginRefused, reason);
        connection.ReportStatus("Login refused by server \"%s\": %s",
                                connection.Settings.GetString(keys::kNewsServer).c_str(),
                                reason.c_str());
        connection.AuthFailure = kAuthRejected;
        connection.ReturnFailure();
    }
};

void CNNTPSocket::Auth1() {
    const std::string command = "AUTHINFO USER " + Settings.GetString(keys::kUserName) + "\r\n";
    NntpTrace("%T: Auth1(): Sending %s\n", command.c_str());
    SendCommandAndWait(command.c_str(), kStateUserSent, &CNNTPSocket::Auth2);
}

void CNNTPSocket::Auth2() {
    const char* line = LoginHelpers::TakeAuthReply(
        *this, &CNNTPSocket::Auth2, "%T: Authenticate2(): User authorization failed. Failing.\n");
    if (line == nullptr) {
        return;
    }

    // 381 asks for the password; a 2xx acceptance is answered with the password all the same.
    if (line[0] != '3' && line[0] != '2') {
        NntpTrace("%T: Auth2: User name rejected by server. Failing.\n");
        // The status list has no time directive: its rows start with the message itself. An
        // empty user name "rejected" would only puzzle the user: the row below says what is
        // missing instead.
        const std::string user = Settings.GetString(keys::kUserName);
        if (!user.empty()) {
            ReportStatus("Username \"%s\" rejected by server \"%s\"", user.c_str(),
                         Settings.GetString(keys::kNewsServer).c_str());
        }
        LoginHelpers::EndLoginRejected(*this, line);
        return;
    }

    NntpTrace("%T: Auth2(): User name accepted so far.  Sending password.\n");
    // A plain "password" wins over the scrambled "NNTPp".
    const std::string password = Settings.GetString(
        keys::kPassword.name, UnscrambleValue(Settings.GetString(keys::kScrambledPassword)));
    if (!nntp_reply::FitsCommandBuffer(password)) {
        ErrorLogPrintf("%T: CQWNNTP::Auth2(): Password is too long.\n");
        NntpTrace("%T: CQWNNTP::Authenticate2(): Password is too long.\n");
        ReturnFailure();
        return;
    }
    char command[kCommandBufferSize];
    std::snprintf(command, sizeof command, "AUTHINFO PASS %s\r\n", password.c_str());
    SendCommandAndWait(command, kStatePassSent, &CNNTPSocket::Auth3);
}

void CNNTPSocket::Auth3() {
    const char* line = LoginHelpers::TakeAuthReply(
        *this, &CNNTPSocket::Auth3,
        "%T: Auth3: Failed to receive AUTHINFO PASS response. Failing.\n");
    if (line == nullptr) {
        return;
    }

    // Anything but a refusal (281, but also 482) counts as logged in. A 481 is a refusal too:
    // taken as success, a wrong password would log in again and again and never be reported.
    if (nntp_reply::RefusesPassword(line)) {
        NntpTrace("%T: Auth3(): Password rejected. Returning Failure.\n");
        ReportStatus("Password rejected by server \"%s\"",
                     Settings.GetString(keys::kNewsServer).c_str());
        LoginHelpers::EndLoginRejected(*this, line);
        return;
    }
    NntpTrace("%T: Auth3(): Password ok.  Returning Success.\n");
    AuthFailure = kAuthNoFailure;
    ReturnSuccess();
}

void CNNTPSocket::CommonAuthHandler() {
    NntpTrace("%T: CommonAuthHandler Entered\n");
    if (StepSucceeded == 1) {
        NntpTrace("%T: Jumping to AuthResendFn.\n");
        // The interrupted job's continuation stays below: the resent step runs as if its job
        // had just started.
        GoToStep(AuthResendFn);
        return;
    }
    // A missing reply is always worth another try; a rejection only when the user asks.
    if (AuthFailure == kAuthNoReply || Settings.GetInt(keys::kRetryPassword) != 0) {
        NntpTrace("%T: Password failed. Retrying after delay.\n");
        DelayThen(Settings.GetInt(keys::kRetryPasswordDelay), AuthResendFn);
        return;
    }
    NntpTrace("%T: Password failed. Returning Failure.\n");
    ReturnFailure();
}
