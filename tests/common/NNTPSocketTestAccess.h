#pragma once
// The tests' one way into a connection's private side. Tests that can drive a connection
// through a server and read the monitor and the logs do that instead; this is for the rest.
//
// Four kinds of function, kept apart so that a test shows what it does to the connection:
//   - the steps, as values (Steps::Head1), to start or to put under a sequence;
//   - the connection's own private members, called as its steps would call them (GoToStep,
//     CallSequence, SetState, ReadLine, ...): they change state only as the connection does;
//   - set-ups, which write state directly to put a connection in the moment a step is tested
//     in (Feed, PutInState, SelectGroup, ...): their names say which moment;
//   - readers, named after the field they read, which change nothing.

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "nntp/NNTPSocket.h"

class NNTPSocketTestAccess {
public:
    // --- the steps ---------------------------------------------------------------------------
    struct Steps {
        static constexpr StepFn EndOfJob = &CNNTPSocket::EndOfJob;
        static constexpr StepFn Callback = &CNNTPSocket::Callback;
        static constexpr StepFn ReturnSuccess = &CNNTPSocket::ReturnSuccess;
        static constexpr StepFn ReturnFailure = &CNNTPSocket::ReturnFailure;
        static constexpr StepFn WaitForData = &CNNTPSocket::WaitForData;
        static constexpr StepFn GetToIdle = &CNNTPSocket::GetToIdle;
        static constexpr StepFn GetToIdle2 = &CNNTPSocket::GetToIdle2;
        static constexpr StepFn Connect1 = &CNNTPSocket::Connect1;
        static constexpr StepFn SelectGroup1 = &CNNTPSocket::SelectGroup1;
        static constexpr StepFn SelectGroup3 = &CNNTPSocket::SelectGroup3;
        static constexpr StepFn Auth2 = &CNNTPSocket::Auth2;
        static constexpr StepFn Auth3 = &CNNTPSocket::Auth3;
        static constexpr StepFn Head1 = &CNNTPSocket::Head1;
        static constexpr StepFn Head2 = &CNNTPSocket::Head2;
        static constexpr StepFn Head3 = &CNNTPSocket::Head3;
        static constexpr StepFn Head4 = &CNNTPSocket::Head4;
        static constexpr StepFn Body1 = &CNNTPSocket::Body1;
        static constexpr StepFn Body2 = &CNNTPSocket::Body2;
        static constexpr StepFn Body3 = &CNNTPSocket::Body3;
        static constexpr StepFn Body4 = &CNNTPSocket::Body4;
        static constexpr StepFn Xover1 = &CNNTPSocket::Xover1;
        static constexpr StepFn Xover2 = &CNNTPSocket::Xover2;
        static constexpr StepFn Xover3 = &CNNTPSocket::Xover3;
        static constexpr StepFn Xover4 = &CNNTPSocket::Xover4;
        static constexpr StepFn NextArticle = &CNNTPSocket::NextArticle;
    };

    // --- the connection's own members --------------------------------------------------------
    // Runs one step directly, as the step before it would by handing on.
    static void Run(CNNTPSocket& c, StepFn step) { (c.*step)(); }
    static bool GoToStep(CNNTPSocket& c, StepFn step) { return c.GoToStep(step); }
    static void CallSequence(CNNTPSocket& c, StepFn first, StepFn continuation) {
        c.CallSequence(first, continuation);
    }
    static void DelayThen(CNNTPSocket& c, std::int32_t seconds, StepFn continuation) {
        c.DelayThen(seconds, continuation);
    }
    static void ClearStack(CNNTPSocket& c) { c.ClearStack(); }
    // The checked change of state, as the steps make it.
    static void SetState(CNNTPSocket& c, std::int32_t state) { c.SetState(state); }
    static int SendCommand(CNNTPSocket& c, const char* text, std::int32_t newState) {
        return c.SendCommand(text, newState);
    }
    // The group the next job selects.
    static void SetGroupName(CNNTPSocket& c, const std::string& name) { c.SetGroupName(name); }
    static char* ReadLine(CNNTPSocket& c) { return c.ReadLine(); }
    static std::string GetConnectionOption(const CNNTPSocket& c, const std::string& key,
                                           const std::string& defaultValue) {
        return c.GetConnectionOption(key, defaultValue);
    }
    static int GetConnectionOptionSeconds(const CNNTPSocket& c, const std::string& key,
                                          const char* defaultValue) {
        return c.GetConnectionOptionSeconds(key, defaultValue);
    }
    static int SocketId(const CNNTPSocket& c) { return c.SocketId(); }
    static void PublishActivity(CNNTPSocket& c, ConnectionActivity activity) {
        c.PublishActivity(activity);
    }
    template <typename... Args>
    static bool ReportStatus(CNNTPSocket& c, const char* format, Args... args) {
        return c.ReportStatus(format, args...);
    }
    static bool IsGroupEmpty(const CNNTPSocket& c) { return c.IsGroupEmpty(); }
    static std::int32_t LowestArticle(const CNNTPSocket& c) { return c.LowestArticle(); }

    // --- set-ups -----------------------------------------------------------------------------
    // Bytes in the receive buffer as if the socket had delivered them (at most the buffer's
    // size).
    static void Feed(CNNTPSocket& c, const void* bytes, std::size_t size) {
        if (size > sizeof c.ReceiveBuffer) {
            size = sizeof c.ReceiveBuffer;
        }
        std::memcpy(c.ReceiveBuffer, bytes, size);
        c.ReadPos = c.ReceiveBuffer;
        c.DataEnd = c.ReceiveBuffer + size;
    }
    // A line begun in an earlier receive and not yet ended.
    static void SetPartialLine(CNNTPSocket& c, const char* text, std::uint32_t length) {
        std::memcpy(c.LineBuffer, text, length);
        c.LineLength = length;
    }
    // The socket has announced bytes that nobody has read yet.
    static void AnnounceData(CNNTPSocket& c) { c.IsUnreadData = true; }
    // The state a step expects to be entered in, put directly: no check of the way there.
    static void PutInState(CNNTPSocket& c, std::int32_t state) { c.ConnectionState = state; }
    // How the sequence the step continues from ended.
    static void SetStepSucceeded(CNNTPSocket& c, std::int32_t succeeded) {
        c.StepSucceeded = succeeded;
    }
    // The continuations waiting, the last one runs first.
    static void SetReturnStack(CNNTPSocket& c, std::initializer_list<StepFn> steps) {
        c.ReturnStack.assign(steps);
    }
    static void PushReturn(CNNTPSocket& c, StepFn step) { c.ReturnStack.push_back(step); }
    // As if `depth` steps were running, one inside the other.
    static void SetStepDepth(CNNTPSocket& c, int depth) { c.StepDepth = depth; }
    // Forgets a wait for data and a delay without running what follows them.
    static void DropWaits(CNNTPSocket& c) {
        c.IsWaitingForData = false;
        c.IsDelaying = false;
    }
    // The failed logins so far (1 unanswered, 2 rejected).
    static void SetAuthFailure(CNNTPSocket& c, std::int32_t failure) { c.AuthFailure = failure; }
    // The server has this group selected.
    static void SelectGroup(CNNTPSocket& c, const std::string& name) { c.SelectedGroup = name; }
    // The figures of the last GROUP reply taken.
    static void SetGroupFigures(CNNTPSocket& c, std::int32_t count, std::int32_t first,
                                std::int32_t last) {
        c.GroupCount = count;
        c.GroupFirst = first;
        c.GroupLast = last;
    }
    // The walk's round so far: the articles it completed and whether the last one was missing.
    static void SetRoundSoFar(CNNTPSocket& c, std::uint32_t completed, bool lastMissing) {
        c.RoundArticles = completed;
        c.ArticleMissing = lastMissing;
    }
    // An article file open under `name`, holding `text`.
    static bool OpenArticleFile(CNNTPSocket& c, const char* name, const std::string& text = "") {
        return c.OutputFile.Open(name, 0, CREATE_ALWAYS) &&
               (text.empty() || c.OutputFile.Write(text.data(), static_cast<DWORD>(text.size())));
    }
    // The tick before the next one, and the bytes read since.
    static void SetLastTickTime(CNNTPSocket& c, std::uint64_t time) { c.LastTickTime = time; }
    static void SetBytesSinceTick(CNNTPSocket& c, std::int32_t bytes) { c.BytesSinceTick = bytes; }

    // --- readers -----------------------------------------------------------------------------
    static const char* LineBuffer(const CNNTPSocket& c) { return c.LineBuffer; }
    static std::uint32_t LineLength(const CNNTPSocket& c) { return c.LineLength; }
    static bool IsUnreadData(const CNNTPSocket& c) { return c.IsUnreadData; }

    static std::int32_t ConnectionState(const CNNTPSocket& c) { return c.ConnectionState; }
    static bool IsWaitingForData(const CNNTPSocket& c) { return c.IsWaitingForData; }
    static bool IsDelaying(const CNNTPSocket& c) { return c.IsDelaying; }
    static std::uint64_t DelayStart(const CNNTPSocket& c) { return c.DelayStart; }
    static std::int32_t DelaySeconds(const CNNTPSocket& c) { return c.DelaySeconds; }
    static std::int32_t StepSucceeded(const CNNTPSocket& c) { return c.StepSucceeded; }
    static const std::vector<StepFn>& ReturnStack(const CNNTPSocket& c) { return c.ReturnStack; }
    static int StepDepth(const CNNTPSocket& c) { return c.StepDepth; }
    static StepFn DeferredStep(const CNNTPSocket& c) { return c.DeferredStep; }
    static std::int32_t AuthFailure(const CNNTPSocket& c) { return c.AuthFailure; }
    static StepFn AuthResendFn(const CNNTPSocket& c) { return c.AuthResendFn; }

    static const std::string& WantedGroup(const CNNTPSocket& c) { return c.WantedGroup; }
    static const std::string& SelectedGroup(const CNNTPSocket& c) { return c.SelectedGroup; }
    static std::int32_t GroupCount(const CNNTPSocket& c) { return c.GroupCount; }
    static std::int32_t GroupFirst(const CNNTPSocket& c) { return c.GroupFirst; }
    static std::int32_t GroupLast(const CNNTPSocket& c) { return c.GroupLast; }
    static bool IsArticleFileOpen(const CNNTPSocket& c) { return c.OutputFile.IsOpen(); }
    static std::int32_t TempFileNumber(const CNNTPSocket& c) { return c.TempFileNumber; }

    static ConnectionMonitor* Monitor(const CNNTPSocket& c) { return c.Monitor; }
    static RunMonitor* Download(const CNNTPSocket& c) { return c.Download; }
    static std::int32_t ConnectionNumber(const CNNTPSocket& c) { return c.ConnectionNumber; }
    static std::int32_t BytesSinceTick(const CNNTPSocket& c) { return c.BytesSinceTick; }
    static double Rate(const CNNTPSocket& c) { return c.Rate.load(); }
};
