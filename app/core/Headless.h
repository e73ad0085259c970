#pragma once
// The headless front end: the dialog's logic driven from a terminal. It prints the dialog's
// rate text once a second (or one JSON object per second), stops after --seconds or on
// SIGINT/SIGTERM, and ends with a summary of the run.
#include <iosfwd>

#include "app/core/CommandLine.h"

struct HeadlessConsole {
    std::ostream& out;
    std::ostream& err;
    std::istream& in;
    // A person can answer questions on `in` (a terminal).
    bool interactive;
};

// Exit codes of a run.
inline constexpr int kExitOk = 0;
inline constexpr int kExitEngineFailed = 1;
inline constexpr int kExitBadInput = 2;
inline constexpr int kExitNoArticles = 3;  // the run ended without completing an article
inline constexpr int kExitCheckFailed = 4;  // a --check failed (a sweep's: in its first step)

// Runs the headless front end with the parsed options and returns the exit code. SIGINT and
// SIGTERM are taken by the run while it lasts (they stop it cleanly).
int RunHeadless(const CommandLineOptions& options, HeadlessConsole& console);
// The same on the process's standard streams.
int RunHeadless(const CommandLineOptions& options);
