#pragma once
// The tests' one way into a connection's private state: to set up the moment a step is tested
// in (a state, a group, bytes already received) and to read what the step left behind. Tests
// that can drive a connection through a server and read the monitor and the logs do that
// instead.

#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "nntp/NNTPSocket.h"

class NNTPSocketTestAccess {
public:
    // --- receive ---------------------------------------------------------------------------
    // Puts bytes into the receive buffer as if the socket had delivered them (at most the
    // buffer's size).
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
    static const char* LineBuffer(const CNNTPSocket& c) { return c.LineBuffer; }
    static std::uint32_t& LineLength(CNNTPSocket& c) { return c.LineLength; }
    static bool& IsUnreadData(CNNTPSocket& c) { return c.IsUnreadData; }

    // --- step machine ----------------------------------------------------------------------
    static std::int32_t& ConnectionState(CNNTPSocket& c) { return c.ConnectionState; }
    static bool& IsWaitingForData(CNNTPSocket& c) { return c.IsWaitingForData; }
    static bool& IsDelaying(CNNTPSocket& c) { return c.IsDelaying; }
    static std::uint64_t DelayStart(const CNNTPSocket& c) { return c.DelayStart; }
    static std::int32_t DelaySeconds(const CNNTPSocket& c) { return c.DelaySeconds; }
    static std::int32_t& StepSucceeded(CNNTPSocket& c) { return c.StepSucceeded; }
    static const std::vector<StepFn>& ReturnStack(const CNNTPSocket& c) { return c.ReturnStack; }
    // The continuations waiting, the last one runs first.
    static void SetReturnStack(CNNTPSocket& c, std::initializer_list<StepFn> steps) {
        c.ReturnStack.assign(steps);
    }
    static void PushReturn(CNNTPSocket& c, StepFn step) { c.ReturnStack.push_back(step); }
    static int& StepDepth(CNNTPSocket& c) { return c.StepDepth; }
    static StepFn DeferredStep(const CNNTPSocket& c) { return c.DeferredStep; }
    static std::int32_t& AuthFailure(CNNTPSocket& c) { return c.AuthFailure; }
    static StepFn AuthResendFn(const CNNTPSocket& c) { return c.AuthResendFn; }

    // --- job -------------------------------------------------------------------------------
    static std::map<std::string, std::string>& ConnectionOptions(CNNTPSocket& c) {
        return c.ConnectionOptions;
    }
    static const std::string& WantedGroup(const CNNTPSocket& c) { return c.WantedGroup; }
    static std::string& SelectedGroup(CNNTPSocket& c) { return c.SelectedGroup; }
    static std::int32_t& GroupCount(CNNTPSocket& c) { return c.GroupCount; }
    static std::int32_t& GroupFirst(CNNTPSocket& c) { return c.GroupFirst; }
    static std::int32_t& GroupLast(CNNTPSocket& c) { return c.GroupLast; }
    static bool& ArticleMissing(CNNTPSocket& c) { return c.ArticleMissing; }
    static std::uint32_t& RoundArticles(CNNTPSocket& c) { return c.RoundArticles; }
    static ArticleFile& OutputFile(CNNTPSocket& c) { return c.OutputFile; }
    static std::int32_t TempFileNumber(const CNNTPSocket& c) { return c.TempFileNumber; }

    // --- reporting -------------------------------------------------------------------------
    static ConnectionMonitor* Monitor(const CNNTPSocket& c) { return c.Monitor; }
    static RunMonitor* Download(const CNNTPSocket& c) { return c.Download; }
    static std::int32_t ConnectionNumber(const CNNTPSocket& c) { return c.ConnectionNumber; }
    static std::uint64_t& LastTickTime(CNNTPSocket& c) { return c.LastTickTime; }
    static std::int32_t& BytesSinceTick(CNNTPSocket& c) { return c.BytesSinceTick; }
    static double Rate(const CNNTPSocket& c) { return c.Rate.load(); }
};
