// The article jobs: HEAD then BODY of one article into the temporary article file, the loop
// that walks down from the group's newest article, and the XOVER job. All three jobs have the
// same shape: select the group, send the command, judge the status line, take the text lines
// up to the lone dot.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "nntp/NNTPSocket.h"
#include "nntp/ReplyCodes.h"
#include "platform/Time.h"
#include "support/ControlBytes.h"
#include "support/DiskSpaceGuard.h"

namespace {

using nntp_reply::DemandsAuthentication;
using nntp_reply::FitsCommandBuffer;
using nntp_reply::IsDecimalDigit;

// The texts one job writes when its status line is an error.
struct ErrorReplyTexts {
    const char* outOfSynch;  // error log and trace, when the line is no status line
    const char* errorLine;   // error log, with the line
    const char* traceLine;   // trace, with socket and line
    const char* failing;     // trace, with socket
    bool traceLineFirst;     // the BODY job traces the line before it logs the error
};

// "423 no such article number" and "430 no such article": the article is not there (cancelled,
// expired, never arrived). Nothing is wrong with the connection; the walk moves on.
bool IsMissingArticle(const char* line) {
    return std::strncmp(line, "423", 3) == 0 || std::strncmp(line, "430", 3) == 0;
}

// The line that ends a multi-line reply: a dot, then CR. A dot and a bare LF does not.
bool IsEndOfText(const char* line) {
    return line[0] == '.' && line[1] == '\r';
}

// Formats "VERB argument\r\n" into command. False, with an error-log line, when the argument
// is too long for the command buffer.
bool FormatCommand(char (&command)[kCommandBufferSize], const char* verb,
                   const std::string& argument, const char* tooLongText) {
    if (!FitsCommandBuffer(argument)) {
        ErrorLogPrintf(tooLongText);
        NntpTrace(tooLongText);
        return false;
    }
    std::snprintf(command, sizeof command, "%s %s\r\n", verb, argument.c_str());
    return true;
}

// What tells the three jobs apart in their command step (2) and their status step (3).
struct JobSteps {
    const char* verb;         // the command
    const char* argumentKey;  // the setting formatted into it
    std::int32_t sentState;   // ConnectionState while the command is outstanding
    std::int32_t textState;   // ConnectionState once its text is coming
    StepFn first;             // the job's first step, run again after a login
    StepFn retry;             // where a failed wait for the status line starts again
    StepFn statusStep;        // step 3
    StepFn textStep;          // step 4
    // The job's own work once the status line accepted the command; may be null.
    void (*accepted)(CNNTPSocket& connection);
    CommandKind statusKind;   // whose latency the status line ends; kCount: none
    const char* missingStep;  // names the step in the missing-article line; null: no skip
    bool walksArticles;       // the argument is an article number of the walk
    const char* commandStep;  // names step 2 in its traces
    const char* groupFailed;  // trace
    const char* requesting;   // trace, with the argument
    const char* tooLong;      // error log and trace
    const char* waitFailed;   // trace, with socket
    const char* textComing;   // trace, with socket
    ErrorReplyTexts errorTexts;
};

}  // namespace

// The helpers the article steps share; a friend of CNNTPSocket, as they work on its state.
struct ArticleJobHelpers {
    // An error status (or no status at all): logged, the connection is dropped, and the job
    // fails. The loop goes on; its group selection connects afresh.
    static void FailOnErrorReply(CNNTPSocket& connection, const char* line,
                                 const ErrorReplyTexts& texts) {
        if (!IsDecimalDigit(line[0])) {
            ErrorLogPrintf(texts.outOfSynch);
            NntpTrace(texts.outOfSynch);
        }
        connection.ReportStatus("%s", line);
        connection.CountFailure(FailureKind::kErrorReply, ServerLineReason(line));
        const PrintableLine printable(line);
        if (texts.traceLineFirst) {
            NntpTrace(texts.traceLine, connection.SocketId(), printable.c_str());
            ErrorLogPrintf(texts.errorLine, printable.c_str());
        } else {
            ErrorLogPrintf(texts.errorLine, printable.c_str());
            NntpTrace(texts.traceLine, connection.SocketId(), printable.c_str());
        }
        NntpTrace(texts.failing, connection.SocketId());
        connection.ResetConnection();
        connection.ReturnFailure();
    }

    // The first missing article of a connection is shown with the server's reply; the later
    // ones are only counted (a group full of holes would fill the list).
    static void NoteMissingArticle(CNNTPSocket& connection, const char* line) {
        if (connection.MissingArticleReported) {
            return;
        }
        connection.MissingArticleReported = true;
        connection.ReportStatus(
            "Article %s is missing on server \"%s\" (%s).  Missing articles are "
            "skipped and counted.",
            connection.Settings.GetString(keys::kArticle.name, "").c_str(),
            connection.Settings.GetString(keys::kNewsServer).c_str(),
            ServerLineReason(line).c_str());
    }

    // The job ends without the article, on the same connection: no reset, no delay. The header
    // of a BODY that turned out missing is dropped with its file.
    static void SkipMissingArticle(CNNTPSocket& connection, const char* step, const char* line) {
        NoteMissingArticle(connection, line);
        NntpTrace("%T: %s(%d): Article %s is missing.  Moving on.\n", step, connection.SocketId(),
                  connection.Settings.GetString(keys::kArticle.name, "").c_str());
        connection.OutputFile.Close();
        connection.OutputFile.Delete();
        connection.SetState(kStateIdle);
        connection.PublishActivity(ConnectionActivity::kIdle);
        if (connection.Download != nullptr) {
            connection.Download->CountMissingArticle();
        }
        connection.ArticleMissing = true;
        connection.ReturnFailure();
    }

    static int ErrorDelaySeconds(CNNTPSocket& connection) {
        return connection.Settings.GetInt(keys::kErrorDelay);
    }

    // Looked up once for every batch of lines a step takes from the receive buffer rather than
    // for every line: the batch is handled without a pause on this thread, so a change made by
    // the dialog meanwhile takes effect at a line boundary all the same. The look-up goes through
    // the three stores only when a setting has changed since the last one.
    static bool WriteToDisk(CNNTPSocket& connection) {
        // Short of disk space, articles are received but not written, as with "writetodisk" 0.
        return connection.WriteToDiskSetting.Get(connection.Settings) != 0 && !DiskSpaceLow();
    }

    // True when the job's article lies below the group's first one (or below 1: an empty group
    // gives "article" 0). Nothing is asked for there; the group is selected again after
    // "errordelay" instead, since its figures may have moved or new articles arrived.
    static bool DeclinedBelowFirstArticle(CNNTPSocket& connection, const JobSteps& job) {
        if (!job.walksArticles) {
            return false;
        }
        const int article = connection.Settings.GetInt(job.argumentKey, 0);
        if (article >= connection.LowestArticle()) {
            return false;
        }
        NntpTrace(
            "%T: %s(%d): Article %d is below the group's first article %d.  Selecting the "
            "group again after a delay.\n",
            job.commandStep, connection.SocketId(), article, connection.LowestArticle());
        connection.SelectedGroup = kNoGroupSelected;
        connection.DelayThen(ErrorDelaySeconds(connection), job.retry);
        return true;
    }

    // Step 2: the group is selected (or not); send the command and wait for its status line.
    static void SendJobCommand(CNNTPSocket& connection, const JobSteps& job) {
        if (connection.StepSucceeded == 0) {
            NntpTrace(job.groupFailed);
            connection.ReturnFailure();
            return;
        }
        if (DeclinedBelowFirstArticle(connection, job)) {
            return;
        }
        const std::string argument = connection.Settings.GetString(job.argumentKey, "");
        char command[kCommandBufferSize];
        if (!FormatCommand(command, job.verb, argument, job.tooLong)) {
            connection.ReturnFailure();
            return;
        }
        NntpTrace(job.requesting, argument.c_str());
        connection.SendCommandAndWait(command, job.sentState, job.statusStep);
    }

    // Step 3: judge the status line. A login demanded runs the job again from its first step; an
    // error reply fails the job; a 2xx starts the text.
    static void JudgeJobStatus(CNNTPSocket& connection, const JobSteps& job) {
        if (connection.StepSucceeded == 0) {
            connection.ResetConnection();
            NntpTrace(job.waitFailed, connection.SocketId());
            connection.DelayThen(ErrorDelaySeconds(connection), job.retry);
            return;
        }
        const char* line = connection.ReadLineOrWait(job.statusStep);
        if (line == nullptr) {
            return;
        }
        NntpTraceServerLine("%T: Response: %s\n", line);
        if (job.statusKind != CommandKind::kCount) {
            connection.NoteStatusLine(line, job.statusKind);
        }
        if (DemandsAuthentication(line)) {
            connection.AuthResendFn = job.first;
            connection.CallSequence(&CNNTPSocket::Auth1, &CNNTPSocket::CommonAuthHandler);
            return;
        }
        if (job.missingStep != nullptr && IsMissingArticle(line)) {
            SkipMissingArticle(connection, job.missingStep, line);
            return;
        }
        if (line[0] != '2') {
            FailOnErrorReply(connection, line, job.errorTexts);
            return;
        }
        connection.SetState(job.textState);
        if (job.accepted != nullptr) {
            job.accepted(connection);
        }
        NntpTrace(job.textComing, connection.SocketId());
        connection.CallSequence(&CNNTPSocket::WaitForData, job.textStep);
    }

    // HEAD accepted: the article's file, "%d.tmp" in the current directory, one per connection.
    static void OpenArticleFile(CNNTPSocket& connection) {
        char name[32];
        std::snprintf(name, sizeof name, "%d.tmp", static_cast<int>(connection.TempFileNumber));
        // A job that failed after the header (a login refused during BODY) leaves the file open;
        // its handle must not leak when the next article opens the same name.
        connection.OutputFile.Close();
        connection.OutputFile.Open(name, 0, CREATE_ALWAYS);
    }

    // BODY accepted: the blank line between header and body.
    static void WriteBlankLine(CNNTPSocket& connection) {
        if (WriteToDisk(connection)) {
            connection.OutputFile.Write("\r\n", 2);
        }
    }

    // The three jobs, defined below: their steps are the connection's private members.
    static const JobSteps kHeadJob;
    static const JobSteps kBodyJob;
    static const JobSteps kXoverJob;
};

const JobSteps ArticleJobHelpers::kHeadJob = {
    .verb = "HEAD",
    .argumentKey = keys::kArticle.name,
    .sentState = kStateHeadSent,
    .textState = kStateHeadText,
    .first = &CNNTPSocket::Head1,
    .retry = &CNNTPSocket::Head1,
    .statusStep = &CNNTPSocket::Head3,
    .textStep = &CNNTPSocket::Head4,
    .accepted = &ArticleJobHelpers::OpenArticleFile,
    .statusKind = CommandKind::kHead,
    .missingStep = "Head3",
    .walksArticles = true,
    .commandStep = "Head2",
    .groupFailed = "%T: Head2: Failed to select group.\n",
    .requesting = "%T: Head2: Requesting HEAD %s\n",
    .tooLong = "%T: CNNTPSocket::Head2(): Article number is too long.\n",
    .waitFailed = "%T: Head3(%d): Failed to receive HEAD response. Retrying.\n",
    .textComing = "%T: Head3(%d): Success. Waiting for header text.\n",
    .errorTexts = {.outOfSynch = "%T: Head3(): Note: Out of Synch!!!\n",
                   .errorLine = "%T: Head3(): %s\n",
                   .traceLine = "%T: Head3(%d): %s\n",
                   .failing = "%T: Head3(%d): Server returned an error.  Failing.\n",
                   .traceLineFirst = false}};

// A failed wait restarts from HEAD: the reset has deleted the half-written file.
const JobSteps ArticleJobHelpers::kBodyJob = {
    .verb = "BODY",
    .argumentKey = keys::kArticle.name,
    .sentState = kStateBodySent,
    .textState = kStateBodyText,
    .first = &CNNTPSocket::Body1,
    .retry = &CNNTPSocket::Head1,
    .statusStep = &CNNTPSocket::Body3,
    .textStep = &CNNTPSocket::Body4,
    .accepted = &ArticleJobHelpers::WriteBlankLine,
    .statusKind = CommandKind::kBodyStatus,
    .missingStep = "Body3",
    .walksArticles = true,
    .commandStep = "Body2",
    .groupFailed = "%T: Body2(): Failed to select group.\n",
    .requesting = "%T: Body2(): Requesting BODY %s\n",
    .tooLong = "%T: CNNTPSocket::Body2(): Article number is too long.\n",
    .waitFailed = "%T: Body3(%d): Failed to receive BODY response. Retrying.\n",
    .textComing = "%T: Body3(%d): Success. Waiting for body text.\n",
    .errorTexts = {.outOfSynch = "%T: Body3(): Note: Out of Synch!!!\n",
                   .errorLine = "%T: Body3(): %s\n",
                   .traceLine = "%T: Body3(%d): %s\n",
                   .failing = "%T: Body3(%d): Server returned an error.  Failing.\n",
                   .traceLineFirst = true}};

// The overview's failed wait is traced under the HEAD job's step name.
const JobSteps ArticleJobHelpers::kXoverJob = {
    .verb = "XOVER",
    .argumentKey = keys::kRange.name,
    .sentState = kStateXoverSent,
    .textState = kStateXoverText,
    .first = &CNNTPSocket::Xover1,
    .retry = &CNNTPSocket::Xover1,
    .statusStep = &CNNTPSocket::Xover3,
    .textStep = &CNNTPSocket::Xover4,
    .accepted = nullptr,
    .statusKind = CommandKind::kCount,
    .missingStep = nullptr,
    .walksArticles = false,
    .commandStep = "Xover2",
    .groupFailed = "%T: Xover2: Failed to select group.\n",
    .requesting = "%T: Xover2: Requesting Xover %s\n",
    .tooLong = "%T: CNNTPSocket::Xover2(): Range is too long.\n",
    .waitFailed = "%T: Head3(%d): Failed to receive XOVER response. Retrying.\n",
    .textComing = "%T: Xover3(%d): Success. Waiting for header text.\n",
    .errorTexts = {.outOfSynch = "%T: Xover3(): Note: Out of Synch!!!\n",
                   .errorLine = "%T: Xover3(): %s\n",
                   .traceLine = "%T: Xover3(%d): %s\n",
                   .failing = "%T: Xover3(%d): Server returned an error.  Failing.\n",
                   .traceLineFirst = false}};

namespace {

// The next lower article number, wrapping as 32-bit arithmetic does rather than overflowing.
std::int32_t OneLower(std::int32_t article) {
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(article) - 1u);
}

}  // namespace

// --- HEAD -------------------------------------------------------------------------------

void CNNTPSocket::Head1() {
    CallSequence(&CNNTPSocket::SelectGroup1, &CNNTPSocket::Head2);
}

void CNNTPSocket::Head2() {
    ArticleJobHelpers::SendJobCommand(*this, ArticleJobHelpers::kHeadJob);
}

void CNNTPSocket::Head3() {
    ArticleJobHelpers::JudgeJobStatus(*this, ArticleJobHelpers::kHeadJob);
}

void CNNTPSocket::Head4() {
    if (StepSucceeded == 0) {
        NntpTrace("%T: Head4(%d): Error receiving header. Retrying.\n", SocketId());
        ResetConnection();
        DelayThen(ArticleJobHelpers::ErrorDelaySeconds(*this), &CNNTPSocket::Head1);
        return;
    }
    LineWriter.Begin(OutputFile, ArticleJobHelpers::WriteToDisk(*this));
    const char* line = ReadLine();
    if (line != nullptr && Download != nullptr) {
        Download->MarkArticleText(platform::MonotonicTime());
    }
    for (; line != nullptr; line = ReadLine()) {
        NntpTraceServerLine("%T: %s\n", line);
        if (IsEndOfText(line)) {
            LineWriter.Flush();
            RecordLatencySince(CommandKind::kHeadText, HeadSentAt);
            NntpTrace("%T: Head4(%d): Header received successfully.\n", SocketId());
            SetState(kStateIdle);
            // The BODY job runs on the same stack, so it returns into the HEAD job's caller.
            GoToStep(&CNNTPSocket::Body1);
            return;
        }
        LineWriter.Add(line);
    }
    LineWriter.Flush();
    CallSequence(&CNNTPSocket::WaitForData, &CNNTPSocket::Head4);
}

// --- BODY -------------------------------------------------------------------------------

void CNNTPSocket::Body1() {
    CallSequence(&CNNTPSocket::SelectGroup1, &CNNTPSocket::Body2);
}

void CNNTPSocket::Body2() {
    ArticleJobHelpers::SendJobCommand(*this, ArticleJobHelpers::kBodyJob);
}

void CNNTPSocket::Body3() {
    ArticleJobHelpers::JudgeJobStatus(*this, ArticleJobHelpers::kBodyJob);
}

void CNNTPSocket::Body4() {
    if (StepSucceeded == 0) {
        NntpTrace("%T: Body4(%d): Error receiving article body. Retrying.\n", SocketId());
        ErrorLogPrintf(
            "%T: Body4(%d): WaitForLine failed while receiving BODY. Retrying after delay.\n",
            SocketId());
        ResetConnection();
        DelayThen(ArticleJobHelpers::ErrorDelaySeconds(*this), &CNNTPSocket::Head1);
        return;
    }
    LineWriter.Begin(OutputFile, ArticleJobHelpers::WriteToDisk(*this));
    for (const char* line = ReadLine(); line != nullptr; line = ReadLine()) {
        if (IsEndOfText(line)) {
            LineWriter.Flush();
            NntpTrace("%T: Body4(%d): Body received successfully.\n", SocketId());
            if (CompletedArticles != nullptr) {
                CompletedArticles->fetch_add(1, std::memory_order_relaxed);
            }
            RecordLatency(CommandKind::kBodyText);
            RecordLatencySince(CommandKind::kArticle, HeadSentAt);
            if (Monitor != nullptr) {
                Monitor->AddArticle();
            }
            ++RoundArticles;
            OutputFile.Close();
            OutputFile.Delete();
            SetState(kStateIdle);
            StepSucceeded = 1;
            ReturnSuccess();
            return;
        }
        LineWriter.Add(line);
    }
    LineWriter.Flush();
    CallSequence(&CNNTPSocket::WaitForData, &CNNTPSocket::Body4);
}

// --- the article loop -------------------------------------------------------------------

void CNNTPSocket::NextArticle() {
    // A job that failed (the group or login refused, an error reply, a name too long) has
    // nothing to wait for of its own: going straight on would repeat the same failure as fast
    // as the server answers. It waits "errordelay" first. A missing article is no failure:
    // the walk goes on to the next lower one at once, on the same connection.
    const bool failed = StepSucceeded == 0 && !ArticleMissing;
    ArticleMissing = false;
    const std::int32_t next = OneLower(Settings.GetInt(keys::kArticle));
    Settings.SetInt(keys::kArticle, next);
    ReturnStack.push_back(&CNNTPSocket::NextArticle);
    const bool belowFirst = SelectedGroup == WantedGroup && next < LowestArticle();
    if (failed) {
        NntpTrace("%T: NextArticle(%d): Job failed.  Retrying after delay.\n", SocketId());
        if (belowFirst) {
            // The same rule as after a success: never below the first article, whatever
            // failed (a refused login leaves the group selected and would walk on into 0 and
            // negative numbers without ever asking for the group again).
            SelectedGroup = kNoGroupSelected;
        }
        DelayThen(ArticleJobHelpers::ErrorDelaySeconds(*this), &CNNTPSocket::Head1);
        return;
    }
    if (belowFirst) {
        // Past the group's first article: start again at its newest with a new GROUP (the
        // server's figures may have moved). A round that completed nothing waits first, so
        // a group in which every article is missing is not walked at full speed.
        NntpTrace("%T: NextArticle(%d): Below the group's first article.  Starting again.\n",
                  SocketId());
        SelectedGroup = kNoGroupSelected;
        if (RoundArticles == 0) {
            DelayThen(ArticleJobHelpers::ErrorDelaySeconds(*this), &CNNTPSocket::Head1);
            return;
        }
    }
    GoToStep(&CNNTPSocket::Head1);
}

// --- XOVER ------------------------------------------------------------------------------

void CNNTPSocket::Xover1() {
    CallSequence(&CNNTPSocket::SelectGroup1, &CNNTPSocket::Xover2);
}

void CNNTPSocket::Xover2() {
    ArticleJobHelpers::SendJobCommand(*this, ArticleJobHelpers::kXoverJob);
}

void CNNTPSocket::Xover3() {
    ArticleJobHelpers::JudgeJobStatus(*this, ArticleJobHelpers::kXoverJob);
}

void CNNTPSocket::Xover4() {
    if (StepSucceeded == 0) {
        ResetConnection();
        DelayThen(ArticleJobHelpers::ErrorDelaySeconds(*this), &CNNTPSocket::Xover1);
        return;
    }
    // The overview lines are only traced; nothing keeps them.
    for (const char* line = ReadLine(); line != nullptr; line = ReadLine()) {
        NntpTraceServerLine("%T: %s\n", line);
        if (IsEndOfText(line)) {
            NntpTrace("%T: Xover4(%d): Xover list received successfully.\n", SocketId());
            SetState(kStateIdle);
            StepSucceeded = 1;
            ReturnSuccess();
            return;
        }
    }
    CallSequence(&CNNTPSocket::WaitForData, &CNNTPSocket::Xover4);
}
