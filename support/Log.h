#pragma once
// The trace log "log.txt" and the error log "errorlog.txt" in the current working directory.
// Every line is expanded whole under LogMutex, so lines of different threads never
// interleave. Trace lines are gathered in memory and reach the file within 100 ms, before
// the engine's loop sleeps, and at every end (FlushDebugLog, exit, a crash handler); the
// bytes are those of writing line by line. The error log is written line by line.
//
// Directives of DebugLogPrintf and ErrorLogPrintf (no flags, widths or length modifiers):
//   %d int, decimal   %x / %X unsigned, hex lower / upper   %s const char*, CR and LF
//   dropped, NULL for a null pointer   %t "Mon DD, YYYY HH:MM:SS: "   %T "HH:MM:SS"
//   %w int error code -> its text   %W int error code -> "code - text"
//   % followed by any other character writes that character alone ("%%" writes "%").
#include <cstdio>
#include <string>

#include "platform/Kernel.h"
#include "support/LogArguments.h"
#include "support/MutexHandle.h"

// Switch tested by the callers of trace lines; true from start, never changed.
extern bool VerboseLog;

// The calling thread's id as the "%d" of a "Thread Handle" or "ThreadId" trace line.
inline int ThreadIdForTrace() {
    return static_cast<int>(GetCurrentThreadId());
}

// The one process-wide recursive mutex both logs share.
MutexHandle& LogMutex();

constexpr const char* kDebugLogName = "log.txt";
constexpr const char* kErrorLogName = "errorlog.txt";
// The trace log is rotated when it is larger than this many bytes.
constexpr unsigned long kDebugLogLimit = 1000000;

void DebugLogPrintfArgs(const char* format, LogArguments& args);
void ErrorLogPrintfArgs(const char* format, LogArguments& args);

// Each argument must be a 32-bit integer or a string (see LogArguments.h).
template <typename... Args>
void DebugLogPrintf(const char* format, Args... args) {
    auto arguments = MakeLogArguments(args...);
    DebugLogPrintfArgs(format, arguments);
}

template <typename... Args>
void ErrorLogPrintf(const char* format, Args... args) {
    auto arguments = MakeLogArguments(args...);
    ErrorLogPrintfArgs(format, arguments);
}

void OpenDebugLog();

// Writes every pending trace line now: at every end of a run, and before reading the file.
void FlushDebugLog();
// Keeps at most this many numbered copies of the trace log (the oldest go); -1 keeps all.
void SetDebugLogKeepCopies(int copies);
// Installs the crash handler that hands pending trace lines to the file (front ends call
// it once at start).
void WriteDebugLogOnCrash();
void OpenErrorLog();

void WriteDateTimeStamp(FILE* file);
void WriteTimeStamp(FILE* file);

// True when a search for exactly that name finds an entry.
bool FileExists(const char* name);
// Copies the file to the first free "base(n).ext" in the current directory.
void CopyToNumberedFile(const char* path);
std::string MakeNumberedName(const char* path, int number);

// Expands a format with the directive set above and appends the text to out.
void ExpandLogFormat(const char* format, LogArguments& args, std::string& out);
