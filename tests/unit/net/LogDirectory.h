#pragma once
// Runs a test in a fresh working directory, so that "log.txt" and "errorlog.txt" written by
// the transport can be read back and do not litter the build tree. Restores the trace switch.
#include <filesystem>
#include <string>

#include "net/SocketTrace.h"
#include "tests/common/TempWorkingDir.h"

class LogDirectory {
public:
    explicit LogDirectory(bool traceOn = false) : m_SavedTrace(SocketTraceLog) {
        SocketTraceLog = traceOn ? 1 : 0;
    }
    ~LogDirectory() { SocketTraceLog = m_SavedTrace; }
    LogDirectory(const LogDirectory&) = delete;
    LogDirectory& operator=(const LogDirectory&) = delete;

    static std::string Read(const char* name) { return ReadWholeFile(name); }
    static bool Exists(const char* name) { return std::filesystem::exists(name); }
    std::string TraceLog() const { return Read("log.txt"); }
    std::string ErrorLog() const { return Read("errorlog.txt"); }

private:
    int m_SavedTrace;
    TempWorkingDir m_Folder;
};
