#pragma once
// Runs a test in a fresh working directory, so that "log.txt" and "errorlog.txt" written by
// the transport can be read back and do not litter the build tree. Restores the trace switch.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "net/SocketTrace.h"
#include "support/Log.h"

class LogDirectory {
public:
    explicit LogDirectory(bool traceOn = false) : m_SavedTrace(SocketTraceLog) {
        FlushDebugLog();  // held trace lines belong to the folder they were written in
        m_Previous = std::filesystem::current_path();
        std::string pattern = (std::filesystem::temp_directory_path() / "zodiva-net-XXXXXX");
        m_Path = mkdtemp(pattern.data()) ? pattern : std::string();
        std::filesystem::current_path(m_Path);
        SocketTraceLog = traceOn ? 1 : 0;
    }
    ~LogDirectory() {
        SocketTraceLog = m_SavedTrace;
        FlushDebugLog();
        std::error_code ignored;
        std::filesystem::current_path(m_Previous, ignored);
        std::filesystem::remove_all(m_Path, ignored);
    }
    LogDirectory(const LogDirectory&) = delete;
    LogDirectory& operator=(const LogDirectory&) = delete;

    static std::string Read(const char* name) {
        FlushDebugLog();
        std::ifstream in(name, std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }
    static bool Exists(const char* name) { return std::filesystem::exists(name); }
    std::string TraceLog() const { return Read("log.txt"); }
    std::string ErrorLog() const { return Read("errorlog.txt"); }

private:
    int m_SavedTrace;
    std::filesystem::path m_Previous;
    std::string m_Path;
};
