// zodiva: the test dialog, or with --headless the same engine run from a terminal.
#ifndef _WIN32
#include <sys/resource.h>
#endif
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>

#include "app/core/CommandLine.h"
#include "app/core/Headless.h"
#include "engine/WorkerThread.h"
#include "support/Log.h"

#if defined(ZODIVA_WITH_GUI) && __has_include("app/qt/RunDialog.h")
#include "app/qt/RunDialog.h"
#define ZODIVA_HAS_DIALOG 1
#elif defined(ZODIVA_WITH_NATIVE_DIALOG)
#include "app/win32/RunDialog.h"
#define ZODIVA_HAS_DIALOG 1
#endif

namespace {

// Every connection holds a socket; a thousand of them need more than the usual soft limit.
void RaiseOpenFileLimit() {
#ifndef _WIN32  // Windows has no such limit on sockets
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

// A thread that Stop gave up on may still be running; the process then ends without
// running static destructors under its feet.
int Finish(int code) {
    FlushDebugLog();
    if (WorkerThread::AbandonedThreadsRunning() > 0) {
        std::cout.flush();
        std::cerr.flush();
        std::fflush(nullptr);
        _exit(code);
    }
    return code;
}

}  // namespace

int main(int argc, char** argv) {
    CommandLineOptions options;
    std::string message;
    switch (ParseCommandLine(argc, argv, options, message)) {
        case ParseOutcome::kHelp:
            std::cout << HelpText("zodiva");
            return kExitOk;
        case ParseOutcome::kVersion:
            std::cout << VersionText();
            return kExitOk;
        case ParseOutcome::kError:
            std::cerr << "zodiva: " << message << "\nTry 'zodiva --help' for the options.\n";
            return kExitBadInput;
        case ParseOutcome::kRun:
            break;
    }
    for (const std::string& warning : options.warnings) {
        std::cerr << "zodiva: warning: " << warning << "\n";
    }
    RaiseOpenFileLimit();
    WriteDebugLogOnCrash();
    // A reader of our output that goes away (| head) must not end the process mid-download:
    // the run notices the failed write and stops cleanly instead.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    if (options.headless) {
        return Finish(RunHeadless(options));
    }
#ifdef ZODIVA_HAS_DIALOG
    return Finish(RunDialog(argc, argv, options));
#else
    std::cerr << "zodiva: this build has no dialog; run 'zodiva --headless' (see --help)\n";
    return kExitBadInput;
#endif
}
