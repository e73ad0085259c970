#pragma once
// Applies the command-line options that both front ends share, in the order they need:
// first the environment (settings file, working directory) before the settings are loaded,
// then the values that go into the dialog's store after loading (demo server, --server,
// --set, --no-write, --connections). Owns the in-process demo server for the session.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "app/core/CommandLine.h"

class MetricsService;
namespace newsd {
class Server;
}
class TestDialogLogic;

class SessionSetup {
public:
    SessionSetup();
    // Stops the demo server; call after the engine thread has stopped.
    ~SessionSetup();
    SessionSetup(const SessionSetup&) = delete;
    SessionSetup& operator=(const SessionSetup&) = delete;

    // Before TestDialogLogic::LoadSettings: points the registry at --registry FILE (which
    // must be readable) and changes to --workdir DIR (created when missing). The settings
    // file, wherever it comes from, must be a registry export if it exists; a file named by
    // $QUORREL_REGISTRY that does not exist is reported in Warnings() and the defaults apply.
    // On false, `error` says why in a user's words (exit code 2).
    bool PrepareEnvironment(const CommandLineOptions& options, std::string& error);
    // What PrepareEnvironment noticed that does not stop the run.
    const std::vector<std::string>& Warnings() const { return m_warnings; }
    // The settings file read (empty: none), and how many problems its reading reported (each
    // is printed when the settings load).
    const std::string& SettingsFile() const { return m_settingsFile; }
    std::size_t SettingsFileProblems() const { return m_settingsFileProblems; }

    // After LoadSettings: starts the demo server when asked and stores the options' values in
    // the dialog's store as its controls would. On false, `error` says why.
    bool ApplySettings(const CommandLineOptions& options, TestDialogLogic& logic,
                       std::string& error);

    // After ApplySettings, before Go: with --metrics, starts serving the metrics and has
    // `logic` report each download to them. On false, `error` says why (exit code 2).
    bool StartMetrics(const CommandLineOptions& options, TestDialogLogic& logic,
                      std::string& error);
    // "http://host:port/metrics", empty without --metrics.
    std::string MetricsUrl() const;

    // The demo server's port, 0 when no demo server runs.
    std::uint16_t DemoPort() const;
    // Stops the demo server (the engine must have stopped first).
    void StopDemo();

private:
    bool StartDemo(TestDialogLogic& logic, std::string& error);

    std::shared_ptr<newsd::Server> m_demo;  // shared: an empty one needs no server code to destroy
    std::unique_ptr<MetricsService> m_metrics;
    std::vector<std::string> m_warnings;
    std::string m_settingsFile;
    std::size_t m_settingsFileProblems = 0;
};

// The numbered copies of the trace log a headless run keeps unless told otherwise: a long
// load test would otherwise fill the folder. The dialog keeps every copy.
inline constexpr int kHeadlessKeptLogs = 20;

// The connections' options the command line gives ("ReceiveTimeout", "ErrorDelay",
// "RejectDelay" in whole seconds); those not given are left out.
std::map<std::string, std::string> ConnectionOptionsOf(const CommandLineOptions& options);

// The numbered copies of the trace log to keep (kKeepAllLogs: every one) for these options.
inline int KeptLogCopies(const CommandLineOptions& options) {
    return options.keepLogs.value_or(options.headless ? kHeadlessKeptLogs : kKeepAllLogs);
}
