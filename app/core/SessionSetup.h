#pragma once
// Applies the command-line options that both front ends share, in the order they need:
// first the environment (settings file, working directory) before the settings are loaded,
// then the values that go into the dialog's store after loading (demo server, --server,
// --set, --no-write, --connections). Owns the in-process demo server for the session.
#include <cstdint>
#include <memory>
#include <string>

#include "app/core/CommandLine.h"

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
    // must be readable) and changes to --workdir DIR (created when missing). On false,
    // `error` says why in a user's words (exit code 2).
    bool PrepareEnvironment(const CommandLineOptions& options, std::string& error);

    // After LoadSettings: starts the demo server when asked and stores the options' values in
    // the dialog's store as its controls would. On false, `error` says why.
    bool ApplySettings(const CommandLineOptions& options, TestDialogLogic& logic,
                       std::string& error);

    // The demo server's port, 0 when no demo server runs.
    std::uint16_t DemoPort() const;
    // Stops the demo server (the engine must have stopped first).
    void StopDemo();

private:
    bool StartDemo(TestDialogLogic& logic, std::string& error);

    std::unique_ptr<newsd::Server> demo_;
};
