#pragma once
// The command line shared by both front ends (the dialog and the headless run), and the
// options only the headless run reads. Parsing never exits the process: it reports what to
// do (run, print help or version, or stop with a message and exit code 2).
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/core/RunCheck.h"
#include "app/metrics/ListenAddress.h"

// Upper bound for --connections: far above what a news server allows one user, low enough
// that a typing slip cannot exhaust the machine.
inline constexpr int kMaxCommandLineConnections = 100000;
inline constexpr int kMaxKeptLogs = 1000000;
inline constexpr const char* kZodivaVersion = "1.0";
// --keep-logs all
inline constexpr int kKeepAllLogs = -1;
// The connection options' bounds, in seconds: a day is far beyond any useful wait.
inline constexpr int kMaxConnectionOptionSeconds = 86400;
// Upper bound for --engines: one engine thread per core is the most that helps.
inline constexpr int kMaxCommandLineEngines = 64;

struct CommandLineOptions {
    // --- shared by both front ends --------------------------------------------------------
    bool demo = false;         // --demo: serve articles from an in-process server
    std::string registryFile;  // --registry FILE (empty: the default settings file)
    std::string workDir;       // --workdir DIR: logs and temporary files go there
    // --set KEY=VALUE, in the order given; stored in the top settings store after loading.
    std::vector<std::pair<std::string, std::string>> settings;
    std::string serverHost;  // --server [nntps://]HOST[:PORT] or [IPv6]:PORT; empty when not given
    std::optional<int> serverPort;
    bool tls = false;          // --tls or --server nntps://: "news_ssl" 1
    bool tlsNoVerify = false;  // --tls-no-verify: "news_sslverify" 0
    std::string tlsCaFile;     // --tls-ca FILE: "news_sslca"
    bool noWrite = false;            // --no-write: "writetodisk" 0
    std::optional<int> connections;  // --connections N: "DLConnections"
    // --metrics [HOST:PORT]: serve /metrics there (127.0.0.1:9464 when no address is given).
    std::optional<ListenAddress> metrics;
    std::string instance;  // --instance NAME: the metrics' instance label (default: host name)
    // --keep-logs N|all: at most N numbered copies of the trace log (kKeepAllLogs: every
    // copy); none given: the dialog keeps all, a headless run kHeadlessKeptLogs.
    std::optional<int> keepLogs;
    bool noTrace = false;  // --no-trace: no trace lines that depend on VerboseLog
    // --receive-timeout S, --connect-retry-delay S, --reject-delay S: the connection options
    // "ReceiveTimeout", "ErrorDelay" and "RejectDelay" (whole seconds); none given: the
    // engine's defaults.
    std::optional<int> receiveTimeout;
    std::optional<int> connectRetryDelay;
    std::optional<int> rejectDelay;
    // The window toolkit's own options (-platform NAME, -style NAME, ...), in order, for the
    // dialog; the headless run refuses them.
    std::vector<std::string> otherArguments;
    // What the user should hear about but that does not stop the run (a --set key the
    // program does not read), without the program's name.
    std::vector<std::string> warnings;

    // --- headless run ---------------------------------------------------------------------
    bool headless = false;          // --headless
    std::optional<double> seconds;  // --seconds S; none: until SIGINT/SIGTERM
    bool yes = false;               // --yes: answer the 20-connection question with Yes
    bool json = false;              // --json: one JSON object per second, then a summary
    // --sweep LIST: the connections of each step, growing; empty without --sweep.
    std::vector<int> sweep;
    std::vector<RunCheck> checks;  // --check EXPR, in the order given
    double warmup = 0.0;           // --warmup S: left out of the summary, checks and knee
    std::string timeline;          // --timeline FILE (.jsonl, or .csv for the seconds only)
    // --engines N: engine threads sharing the connections (1 to kMaxCommandLineEngines).
    std::optional<int> engines;
    bool help = false;              // --help
    bool version = false;           // --version
};

enum class ParseOutcome {
    kRun,      // options are valid; run
    kHelp,     // print HelpText() and exit 0
    kVersion,  // print VersionText() and exit 0
    kError,    // print the message and exit 2
};

// Parses argv[1..argc-1]. On kError, `message` says what was wrong in a user's words.
ParseOutcome ParseCommandLine(int argc, const char* const* argv, CommandLineOptions& options,
                              std::string& message);
ParseOutcome ParseCommandLine(const std::vector<std::string>& args, CommandLineOptions& options,
                              std::string& message);

std::string HelpText(const std::string& programName);
std::string VersionText();
