#pragma once
// Trace lines of the transport (BaseSocket, SOCKS) are written only while SocketTraceLog is
// set: with many connections they would swamp the trace log of the NNTP steps.
#include "support/Log.h"

extern int SocketTraceLog;

template <typename... Args>
void SocketTrace(const char* format, Args... args) {
    if (SocketTraceLog != 0) {
        DebugLogPrintf(format, args...);
    }
}
