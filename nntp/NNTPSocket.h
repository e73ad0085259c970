#pragma once
// One NNTP client connection, run as an event-driven machine of small steps.
//
// A step is a member function without arguments or result. It does its work and then either
// hands control on (GoToStep / CallSequence), ends its sub-sequence with a result
// (ReturnSuccess / ReturnFailure), or arranges to be resumed (WaitForData / DelayThen) and
// returns. Continuations live on ReturnStack, never on the call stack across events; the
// event handlers (OnReceive, OnTimer, OnConnect) pop and run them.
//
// Where the steps live:
//   nntp/NNTPSocket.cpp    construction, the machinery (GoToStep, CallSequence, ReturnSuccess,
//                          ReturnFailure, DelayThen, StartDelay, WaitForData, ClearStack,
//                          EndOfJob, Callback), OnTimer, OnConnect, OnClose, WindowProc,
//                          SendCommand, SetGroupName, StartArticleJob, GetConnectionOption,
//                          SocketId
//   nntp/ReceivePath.cpp   OnReceive, FillBuffer, ReadLine, SetState, ResetConnection
//   nntp/ConnectSteps.cpp  GetToIdle, GetToIdle2, Connect1 ... Connect5
//   nntp/GroupSteps.cpp    SelectGroup1 ... SelectGroup3
//   nntp/AuthSteps.cpp     Auth1 ... Auth3, CommonAuthHandler
//   nntp/ArticleSteps.cpp  Head1 ... Head4, Body1 ... Body4, Xover1 ... Xover4, NextArticle
//
// Every member runs on the thread that created the connection (the engine thread); the only
// value read from elsewhere is Rate, which the dialog samples (hence atomic, never locked).

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "net/BaseSocket.h"
#include "nntp/ArticleFile.h"
#include "nntp/ArticleLineWriter.h"
#include "nntp/ConnectionMonitor.h"
#include "nntp/LineLimits.h"
#include "platform/windows.h"
#include "support/ControlBytes.h"
#include "support/ErrorText.h"
#include "support/Log.h"
#include "support/SettingsStore.h"

class CNNTPSocket;

// Job messages posted to a connection's window; both parameters are 0, the job's data is
// stored in the connection beforehand.
inline constexpr UINT kMsgStartArticleJob = WM_APP + 10;  // HEAD, BODY, next lower article...
inline constexpr UINT kMsgStartXoverJob = WM_APP + 11;    // one XOVER job ending in Callback

// The wanted group of a connection before any job has set one, and the selected group after
// the server refused or did not answer GROUP.
inline constexpr char kNoGroupSelected[] = "~-// No Newsgroup Selected //--??";

// Values of ConnectionState; no other value is ever set.
inline constexpr std::int32_t kStateNoConnection = 0;
inline constexpr std::int32_t kStateConnecting = 3;
inline constexpr std::int32_t kStateAwaitingGreeting = 4;
inline constexpr std::int32_t kStateIdle = 5;
inline constexpr std::int32_t kStateGroupSent = 6;
inline constexpr std::int32_t kStateUserSent = 7;
inline constexpr std::int32_t kStatePassSent = 8;
inline constexpr std::int32_t kStateXoverSent = 11;
inline constexpr std::int32_t kStateXoverText = 12;
inline constexpr std::int32_t kStateHeadSent = 14;
inline constexpr std::int32_t kStateHeadText = 15;
inline constexpr std::int32_t kStateBodySent = 16;
inline constexpr std::int32_t kStateBodyText = 17;

// Command texts are formatted into buffers of this size; a group name or password is refused
// when its length + 32 does not fit.
inline constexpr std::size_t kCommandBufferSize = 256;

// Writes a trace line to log.txt while VerboseLog is set (it always is; the test is the
// caller's, as everywhere in the engine).
template <typename... Args>
inline void NntpTrace(const char* format, Args... args) {
    if (VerboseLog) {
        DebugLogPrintf(format, args...);
    }
}

// A trace line showing a server line (format with one %s): the line is made printable only
// when the trace line is written, since header and overview lines pass here one by one.
inline void NntpTraceServerLine(const char* format, const char* line) {
    if (VerboseLog) {
        DebugLogPrintf(format, PrintableLine(line).c_str());
    }
}

// A server's status line as the reason of a failure: made printable, its line end dropped.
std::string ServerLineReason(const char* line);

using StepFn = void (CNNTPSocket::*)();

// The public side is what the engine and BaseSocket use: the engine attaches a connection,
// starts its job, ticks it, reads its rate and resets it; BaseSocket hands it the socket's and
// the window's events. The steps, the machinery that runs them and their helpers are private
// members; the state is private too, in four groups (receive, step machine, job, reporting).
// Only the connection's own thread touches any of it.
class CNNTPSocket : public BaseSocket {
public:
    CNNTPSocket();
    ~CNNTPSocket() override;
    CNNTPSocket(const CNNTPSocket&) = delete;
    CNNTPSocket& operator=(const CNNTPSocket&) = delete;

    // --- window and socket events ----------------------------------------------------------
    LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnConnect(int error) override;
    void OnReceive(int error) override;
    void OnClose(int error) override;
    // TLS notes from the transport go to the status list like the steps' own rows.
    void OnTransportStatus(const std::string& text) override;
    // Called by the engine at every tick (and on WM_TIMER): rate, delay expiry, receive
    // time-out.
    void OnTimer();

    // --- what the engine attaches, starts and reads -----------------------------------------
    // The connection's own store: "article" lives here, the rest falls through to the parent
    // the engine sets. Configuration, not machine state, hence public.
    SettingsStore Settings;
    void SetConnectionOptions(const std::map<std::string, std::string>& options) {
        ConnectionOptions = options;
    }
    // Where the connection publishes what it does and the download it belongs to; either may
    // be null (nobody watches).
    void AttachMonitor(ConnectionMonitor* monitor, RunMonitor* download) {
        Monitor = monitor;
        Download = download;
    }
    void AttachStatusList(StatusList* list) { m_pStatusList = list; }
    void SetConnectionNumber(std::int32_t number) { ConnectionNumber = number; }
    void SetCompletedArticlesCounter(std::atomic<std::uint64_t>* counter) {
        CompletedArticles = counter;
    }
    // Called by the engine on a new connection: group, first article number, then the job
    // message to the connection's own window.
    void StartArticleJob(const std::string& group, int article);
    // Closes the socket (the state drops to no connection) and deletes an unfinished article
    // file; the return stack, a wait or delay and the bytes already received stay. The engine
    // calls it before it deletes a connection.
    void ResetConnection();
    // Bytes read since the last tick, not yet in any rate.
    std::int32_t PendingBytes() const { return BytesSinceTick; }
    // KiB/s over the last tick; safe to read from any thread.
    double CurrentRate() const { return Rate.load(std::memory_order_relaxed); }

    // Steps run as nested calls. A server that keeps answering without ever making a step
    // wait (a buffer full of error replies, say) would nest them without bound, so beyond
    // kMaxNestedSteps the next step is handed to the outermost GoToStep, which runs it once
    // the chain above it has returned. Every step hands on as its last action, so the order
    // of effects is the same.
    static constexpr int kMaxNestedSteps = 200;

private:
    // The step files' shared helpers (ArticleSteps.cpp, AuthSteps.cpp).
    friend struct ArticleJobHelpers;
    friend struct LoginHelpers;
    // The tests' one way in (tests/common/NNTPSocketTestAccess.h).
    friend class NNTPSocketTestAccess;

    // --- step machinery ---------------------------------------------------------------------
    bool GoToStep(StepFn step);
    void CallSequence(StepFn first, StepFn continuation);
    void ReturnSuccess();  // also usable as a step
    void ReturnFailure();
    void DelayThen(std::int32_t seconds, StepFn continuation);
    void StartDelay();   // step: arms the delay that DelayThen asked for
    void WaitForData();  // step
    void EndOfJob();     // step that does nothing: the "no step" sentinel, never pushed
    void Callback();     // step: bottom continuation of the overview job
    void ClearStack();

    // --- commands, settings, groups --------------------------------------------------------
    int SendCommand(const char* text, std::int32_t newState);
    // Sends the command and waits for its reply in replyStep. A send that fails (or takes only
    // part of the command) drops the connection and enters replyStep at once with
    // StepSucceeded 0, as a reply that never came would after the receive time-out.
    void SendCommandAndWait(const char* text, std::int32_t newState, StepFn replyStep);
    void SetGroupName(const std::string& name);
    std::string GetConnectionOption(const std::string& key, const std::string& defaultValue) const;
    // The option as a decimal number of seconds; text that is no number gives 0, as does an
    // empty default.
    int GetConnectionOptionSeconds(const std::string& key, const char* defaultValue) const;
    // The socket handle as the "%d" of step traces.
    int SocketId() const;

    // --- what the connection publishes (nntp/ConnectionReports.cpp) -----------------------
    // Each does nothing while the connection has no monitor.
    void PublishActivity(ConnectionActivity activity);
    // Counts a failure and keeps its reason, in words for the user (a server's line, an error
    // text), as the latest of its kind.
    void CountFailure(FailureKind kind, const char* reason);
    void CountFailure(FailureKind kind, const std::string& reason) {
        CountFailure(kind, reason.c_str());
    }
    // A status line of the server: kept as the last one, and its latency recorded from the
    // moment the command was sent.
    void NoteStatusLine(const char* line, CommandKind kind);
    // The latency of kind up to now, from the moment the command was sent (or from `since`).
    void RecordLatency(CommandKind kind);
    void RecordLatencySince(CommandKind kind, std::int64_t since);
    // A row for the status list, labelled with the connection's number; false when no status
    // list is attached. Directives as StatusListPrintf's.
    // Each argument must be a 32-bit integer or a string.
    template <typename... Args>
    bool ReportStatus(const char* format, Args... args) {
        auto arguments = MakeLogArguments(args...);
        return ReportStatusArgs(format, arguments);
    }
    bool ReportStatusArgs(const char* format, LogArguments& args);
    // What a connection in this ConnectionState is doing.
    static ConnectionActivity ActivityOfState(std::int32_t state);

    // --- receive path -----------------------------------------------------------------------
    int FillBuffer();
    // The next complete line (with its "\r\n"), NUL-terminated in LineBuffer, or null when no
    // complete line is there yet. Valid until the next call.
    char* ReadLine();
    // The reply steps' way of reading: the next complete line, or null once `step` has been
    // set to run again when more bytes have come (the step then returns at once).
    const char* ReadLineOrWait(StepFn step);
    // Every change of ConnectionState goes through here, and only along IsStateChangeAllowed.
    void SetState(std::int32_t value);
    // Connecting follows no connection, the greeting a connect, idle a greeting or a reply;
    // a command goes out only once greeted, and a text follows only its own command. Any
    // state may drop back to no connection.
    static bool IsStateChangeAllowed(std::int32_t from, std::int32_t to);

    // --- connect sequence and idle state ---------------------------------------------------
    void GetToIdle();
    void GetToIdle2();
    void Connect1();
    void Connect2();
    void Connect3();
    void Connect4();
    void Connect5();
    // Counts a failed connect by its cause and adds its status row.
    void ReportConnectFailure();
    // Once per connection: a server that accepted the connection and has said nothing for
    // kTlsHintSeconds may be speaking TLS on a port we talk plain text to.
    void HintTlsOnSilentGreeting();
    bool IsSilentSinceConnect() const;
    static constexpr int kTlsHintSeconds = 5;
    static constexpr const char* kTlsQuestion = "does the port expect TLS? try --tls";

    // --- group selection --------------------------------------------------------------------
    void SelectGroup1();
    void SelectGroup2();
    void SelectGroup3();
    // The last GROUP reply showed no article to fetch (count 0, or no number from 1 on).
    bool IsGroupEmpty() const;
    // The lowest article the walk may ask for: the group's first, and never below 1.
    std::int32_t LowestArticle() const;
    // Counts and shows an empty group, once per connection.
    void NoteEmptyGroup();

    // --- authentication ---------------------------------------------------------------------
    void Auth1();
    void Auth2();
    void Auth3();
    void CommonAuthHandler();

    // --- article jobs -----------------------------------------------------------------------
    void Head1();
    void Head2();
    void Head3();
    void Head4();
    void Body1();
    void Body2();
    void Body3();
    void Body4();
    void Xover1();
    void Xover2();
    void Xover3();
    void Xover4();
    void NextArticle();

    // --- receive: bytes from the socket and the line being cut from them (ReceivePath.cpp) -
    bool IsUnreadData = false;
    char ReceiveBuffer[kReceiveBufferSize];
    char* ReadPos = ReceiveBuffer;
    char* DataEnd = ReceiveBuffer;
    char LineBuffer[kLineBufferSize];
    std::uint32_t LineLength = 0;
    // Read for every batch of lines.
    CachedIntSetting WriteToDiskSetting{keys::kWriteToDisk};

    // --- step machine: where the connection is and what runs next ---------------------------
    std::int32_t ConnectionState = kStateNoConnection;
    bool IsWaitingForData = false;
    std::uint64_t WaitStart = 0;  // 100-ns system time when the wait began
    bool IsDelaying = false;
    std::uint64_t DelayStart = 0;  // 100-ns system time when the delay was armed
    std::int32_t DelaySeconds = 60;
    std::int32_t StepSucceeded = 0;
    std::vector<StepFn> ReturnStack;
    int StepDepth = 0;
    StepFn DeferredStep = nullptr;
    // Set by OnConnect while Connect3 is inside BaseSocket::Connect, so that a connect that
    // fails at once is reported to Connect4 exactly once.
    bool ConnectReported = false;
    bool InsideConnect = false;
    StepFn AuthResendFn = &CNNTPSocket::EndOfJob;
    std::int32_t AuthFailure = 0;

    // --- job: server, group, article walk and the file being written -----------------------
    std::map<std::string, std::string> ConnectionOptions;
    std::string WantedGroup;
    std::string ConnectedServer;
    std::string SelectedGroup;
    std::int32_t GroupCount = 0;
    std::int32_t GroupFirst = 0;
    std::int32_t GroupLast = 0;
    // Set by a step that found its article missing (423, 430): the walk moves on to the next
    // article at once instead of waiting as after a failure.
    bool ArticleMissing = false;
    // Articles completed since the last GROUP reply: a walk through the whole group that
    // completed none waits before it starts again.
    std::uint32_t RoundArticles = 0;
    ArticleFile OutputFile;
    // Batches the text lines of the article steps into OutputFile.
    ArticleLineWriter LineWriter;
    // Distinct for every connection made in this process: the number in the temporary
    // article file's "%d.tmp" name.
    const std::int32_t TempFileNumber;

    // --- reporting: status rows, monitor, rate and latency (ConnectionReports.cpp) ---------
    StatusList* m_pStatusList = nullptr;  // optional status hooks; the engine attaches the list
    ConnectionMonitor* Monitor = nullptr;
    RunMonitor* Download = nullptr;
    // 1..N within the download; labels the connection's status rows.
    std::int32_t ConnectionNumber = 0;
    // Monotonic time the last command was sent (or the connection made, for the greeting).
    std::int64_t CommandSentAt = 0;
    // Monotonic time the last HEAD was sent: the header's and the whole article's latency
    // count from here, across the BODY that follows.
    std::int64_t HeadSentAt = 0;
    // The error of the last connect report (0 = connected), for telling failures apart.
    int LastConnectError = 0;
    // The user has been told that the group is empty (once per connection).
    bool EmptyGroupReported = false;
    // The user has been told that articles are missing (once per connection).
    bool MissingArticleReported = false;
    // The user has been told that a silent server may expect TLS (once per connection).
    bool TlsHintReported = false;
    // KiB/s over the last tick; written by OnTimer, sampled by the dialog's thread.
    std::atomic<double> Rate{0.0};
    std::uint64_t LastTickTime = 0;
    std::int32_t BytesSinceTick = 0;
    // Bumped when a body's end line arrives; the engine points it at its published total.
    std::atomic<std::uint64_t>* CompletedArticles = nullptr;
};
