#pragma once
// The trace log "log.txt" and the error log "errorlog.txt" in the current working directory.
// Every line is written whole under LogMutex, so the file on disk is complete after each
// line and lines of different threads never interleave. The trace log's descriptor is kept
// open between lines (trace lines are frequent enough for open and close to dominate the
// engine's CPU) and checked against the name "log.txt" before each line; the error log is
// opened and closed for each line.
//
// Directives of DebugLogPrintf and ErrorLogPrintf (no flags, widths or length modifiers):
//   %d int, decimal   %x / %X unsigned, hex lower / upper   %s const char*, CR and LF
//   dropped, NULL for a null pointer   %t "Mon DD, YYYY HH:MM:SS: "   %T "HH:MM:SS"
//   %w int error code -> its text   %W int error code -> "code - text"
//   % followed by any other character writes that character alone ("%%" writes "%").
#include <cstdio>
#include <string>

#include "support/LogArguments.h"
#include "support/MutexHandle.h"

// Switch tested by the callers of trace lines; true from start, never changed.
extern bool VerboseLog;

// The one process-wide recursive mutex both logs share.
MutexHandle& LogMutex();

constexpr const char* kDebugLogName = "log.txt";
constexpr const char* kErrorLogName = "errorlog.txt";
// The trace log is rotated when it is larger than this many bytes.
constexpr unsigned long kDebugLogLimit = 1000000;

void DebugLogPrintf(const char* format, ...);
void ErrorLogPrintf(const char* format, ...);

void OpenDebugLog();
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
