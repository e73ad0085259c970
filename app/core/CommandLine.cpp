#include "app/core/CommandLine.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <set>

#include "app/core/Sweep.h"
#include "app/reg/SettingKeys.h"

#include "net/TlsSession.h"

namespace {

// Whole decimal number within [low, high]; false for anything else (signs, blanks, overflow).
bool ParseWholeNumber(const std::string& text, long low, long high, long& value) {
    if (text.empty() || text.size() > 12) {
        return false;
    }
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
    }
    const long parsed = std::strtol(text.c_str(), nullptr, 10);
    if (parsed < low || parsed > high) {
        return false;
    }
    value = parsed;
    return true;
}

bool ParseSeconds(const std::string& text, double& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const double parsed = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(parsed) ||
        parsed <= 0.0 || parsed > 365.0 * 24 * 3600) {
        return false;
    }
    value = parsed;
    return true;
}

constexpr int kTlsDefaultPort = 563;

bool IsHexGroup(const std::string& text) {
    if (text.empty() || text.size() > 4)
        return false;
    for (char c : text) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return true;
}

// How to write an IPv6 address given without brackets. A last part that is a port number
// ("::1:21125") is most likely meant as one; when it could also be the address's last group
// ("::1:119"), both readings are offered.
std::string BracketedSuggestion(const std::string& text) {
    const std::size_t last = text.rfind(':');
    const std::string address = text.substr(0, last);
    const std::string tail = text.substr(last + 1);
    long port = 0;
    // "2001:db8::1" ends in a group after "::", not in a port.
    const bool addressLeft = !address.empty() && address.back() != ':';
    if (addressLeft && ParseWholeNumber(tail, 1, 65535, port)) {
        std::string suggestion = "[" + address + "]:" + tail;
        if (IsHexGroup(tail))
            suggestion += " (port " + tail + ") or [" + text + "] (no port)";
        return "write " + suggestion;
    }
    return "write [" + text + "] or [" + text + "]:PORT";
}

// HOST, HOST:PORT, [IPv6], [IPv6]:PORT, each optionally after nntp:// or nntps://.
bool ParseServer(const std::string& text, CommandLineOptions& options, std::string& message) {
    std::string rest = text;
    bool secure = false;
    if (rest.rfind("nntps://", 0) == 0) {
        secure = true;
        rest = rest.substr(8);
    } else if (rest.rfind("nntp://", 0) == 0) {
        rest = rest.substr(7);
    }
    if (!rest.empty() && rest.back() == '/') {
        rest.pop_back();
    }
    std::string host = rest;
    std::string port;
    bool hasPort = false;
    if (!rest.empty() && rest.front() == '[') {
        const std::size_t close = rest.find(']');
        if (close == std::string::npos) {
            message = "--server: '" + text + "' opens an IPv6 address with '[' but has no ']'";
            return false;
        }
        if (close == 1) {
            message = "--server: '" + text + "' has no address between '[' and ']'";
            return false;
        }
        host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                message = "--server: expected ':PORT' after the IPv6 address in '" + text + "'";
                return false;
            }
            port = after.substr(1);
            hasPort = true;
        }
    } else {
        const std::size_t colon = rest.find(':');
        if (colon != std::string::npos && rest.find(':', colon + 1) != std::string::npos) {
            message = "--server: an IPv6 address must be written in brackets: " +
                      BracketedSuggestion(rest);
            return false;
        }
        if (colon != std::string::npos) {
            host = rest.substr(0, colon);
            port = rest.substr(colon + 1);
            hasPort = true;
        }
    }
    if (host.empty()) {
        message = "--server needs a host name or address, as HOST, HOST:PORT, [IPv6]:PORT or "
                  "nntps://HOST";
        return false;
    }
    if (hasPort) {
        long value = 0;
        if (!ParseWholeNumber(port, 1, 65535, value)) {
            message = "--server: the port '" + port + "' is not a number from 1 to 65535";
            return false;
        }
        options.serverPort = static_cast<int>(value);
    } else if (secure) {
        options.serverPort = kTlsDefaultPort;
    }
    if (secure) {
        options.tls = true;
    }
    options.serverHost = host;
    return true;
}

bool ParseCaFile(const std::string& text, CommandLineOptions& options, std::string& message) {
    std::string reason;
    if (text.empty() || !TlsSession::CheckCaFile(text, &reason)) {
        message = "--tls-ca: " + (text.empty() ? std::string("needs a file name") : reason);
        return false;
    }
    options.tlsCaFile = text;
    return true;
}

bool ParseSetting(const std::string& text, CommandLineOptions& options, std::string& message) {
    const std::size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0) {
        message = "--set needs KEY=VALUE, not '" + text + "'";
        return false;
    }
    const std::string key = text.substr(0, equals);
    const std::string value = text.substr(equals + 1);
    const std::string problem = settings_keys::CheckValue(key, value);
    if (!problem.empty()) {
        message = "--set " + problem;
        return false;
    }
    // Checked here like --tls-ca: found out only at connect time, it would fail every attempt.
    std::string reason;
    if (key == keys::kNewsSslCa.name && !value.empty() &&
        !TlsSession::CheckCaFile(value, &reason)) {
        message = "--set news_sslca: " + reason;
        return false;
    }
    const std::string warning = settings_keys::UnknownKeyWarning(key);
    if (!warning.empty()) {
        options.warnings.push_back("--set: " + warning);
    }
    options.settings.emplace_back(key, value);
    return true;
}

bool ParseMetrics(const std::string& text, CommandLineOptions& options, std::string& message) {
    ListenAddress address;
    if (!ParseListenAddress(text, address, message)) {
        message = "--metrics: " + message;
        return false;
    }
    options.metrics = address;
    return true;
}

bool ParseInstance(const std::string& text, CommandLineOptions& options, std::string& message) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == 0x7f) {
            message = "--instance: the name must not hold control characters";
            return false;
        }
    }
    if (text.empty()) {
        message = "--instance needs a name";
        return false;
    }
    options.instance = text;
    return true;
}

// Options the window toolkit reads itself; the dialog passes them on. The first set takes
// a value in the next argument.
bool IsToolkitOption(const std::string& name, bool& takesValue) {
    static const std::set<std::string> withValue = {
        "-platform",     "-platformpluginpath", "-platformtheme", "-plugin",
        "-style",        "-stylesheet",         "-display",       "-geometry",
        "-qwindowgeometry", "-qwindowicon",     "-qwindowtitle",  "-session",
        "-qmljsdebugger"};
    static const std::set<std::string> flags = {"-reverse", "-widgetcount", "-nograb",
                                                "-dograb", "-sync"};
    std::string bare = name;
    if (bare.rfind("--", 0) == 0) {
        bare.erase(0, 1);  // the toolkit takes both -style and --style
    }
    takesValue = withValue.count(bare) != 0;
    return takesValue || flags.count(bare) != 0;
}

using ValueHandler = std::function<bool(const std::string&, CommandLineOptions&, std::string&)>;

// An option whose value is a whole number from `low` to `high` (`what`: "a whole number",
// "whole seconds"), stored in `member`.
ValueHandler WholeNumber(const char* option, const char* what, long low, long high,
                         std::optional<int> CommandLineOptions::*member) {
    return [=](const std::string& v, CommandLineOptions& o, std::string& m) {
        long value = 0;
        if (!ParseWholeNumber(v, low, high, value)) {
            m = std::string(option) + " needs " + what + " from " + std::to_string(low) + " to " +
                std::to_string(high) + ", not '" + v + "'";
            return false;
        }
        o.*member = static_cast<int>(value);
        return true;
    };
}

// An option whose value is whole seconds from `low` up to a day.
ValueHandler Seconds(const char* option, long low, std::optional<int> CommandLineOptions::*member) {
    return WholeNumber(option, "whole seconds", low, kMaxConnectionOptionSeconds, member);
}

// An option whose value must not be empty (a file or folder name), stored in `member`.
ValueHandler NonEmptyText(const char* emptyMessage, std::string CommandLineOptions::*member) {
    return [emptyMessage, member](const std::string& v, CommandLineOptions& o, std::string& m) {
        if (v.empty()) {
            m = emptyMessage;
            return false;
        }
        o.*member = v;
        return true;
    };
}

// A flag: stored as true in `member`.
ValueHandler Flag(bool CommandLineOptions::*member) {
    return [member](const std::string&, CommandLineOptions& o, std::string&) {
        o.*member = true;
        return true;
    };
}

bool ParseKeepLogs(const std::string& v, CommandLineOptions& o, std::string& m) {
    if (v == "all") {
        o.keepLogs = kKeepAllLogs;
        return true;
    }
    long value = 0;
    if (!ParseWholeNumber(v, 0, kMaxKeptLogs, value)) {
        m = "--keep-logs needs a whole number from 0 to " + std::to_string(kMaxKeptLogs) +
            " or 'all', not '" + v + "'";
        return false;
    }
    o.keepLogs = static_cast<int>(value);
    return true;
}

bool ParseSecondsOption(const std::string& v, CommandLineOptions& o, std::string& m) {
    double value = 0;
    if (!ParseSeconds(v, value)) {
        m = "--seconds needs a number of seconds above 0, not '" + v + "'";
        return false;
    }
    o.seconds = value;
    return true;
}

bool ParseWarmup(const std::string& v, CommandLineOptions& o, std::string& m) {
    double value = 0;
    if (v != "0" && !ParseSeconds(v, value)) {
        m = "--warmup needs a number of seconds, not '" + v + "'";
        return false;
    }
    o.warmup = value;
    return true;
}

bool ParseSweep(const std::string& v, CommandLineOptions& o, std::string& m) {
    SweepParseError error;
    if (!ParseSweepList(v, kMaxCommandLineConnections, o.sweep, error)) {
        m = DescribeSweepError(v, error);
        return false;
    }
    return true;
}

bool ParseCheck(const std::string& v, CommandLineOptions& o, std::string& m) {
    RunCheck check;
    CheckParseError error;
    if (!ParseRunCheck(v, check, error)) {
        m = DescribeCheckError(v, error);
        return false;
    }
    o.checks.push_back(std::move(check));
    return true;
}

enum class ValueKind {
    kNone,      // a flag: a value is refused
    kRequired,  // in the next argument or after '='
    kOptional,  // after '=', or the next argument when that is no option
};

// One option: how it is written, what it takes, what it does and what --help says of it.
// The table below is the only place an option is declared.
struct OptionSpec {
    const char* name;
    const char* alias;      // another spelling, not shown in the help; or null
    const char* valueName;  // as the help shows the value ("N", "[HOST:PORT]"); "" for a flag
    ValueKind kind;
    bool headless;       // listed under "Headless run" in the help
    std::string help;    // one line per '\n', shown after the name
    ValueHandler apply;  // checks the value and stores it
};

const std::vector<OptionSpec>& Options() {
    using O = CommandLineOptions;
    constexpr ValueKind kFlag = ValueKind::kNone;
    constexpr ValueKind kValue = ValueKind::kRequired;
    static const std::vector<OptionSpec> options = {
        {"--demo", nullptr, "", kFlag, false, "serve articles from a built-in server on 127.0.0.1",
         Flag(&O::demo)},
        {"--registry", nullptr, "FILE", kValue, false,
         "read settings from this .reg file instead of the default",
         NonEmptyText("--registry needs a file name", &O::registryFile)},
        {"--workdir", nullptr, "DIR", kValue, false,
         "write log.txt, errorlog.txt and temporary files in DIR",
         NonEmptyText("--workdir needs a directory", &O::workDir)},
        {"--set", nullptr, "KEY=VALUE", kValue, false, "store a setting after loading (repeatable)",
         ParseSetting},
        {"--server", nullptr, "HOST[:PORT]", kValue, false,
         "news server (sets news_server and news_port); an IPv6\n"
         "address in brackets, [::1]:119; nntps://HOST[:PORT] for\n"
         "TLS (port 563 unless given)",
         ParseServer},
        {"--tls", nullptr, "", kFlag, false, "TLS from the first byte (news_ssl 1)", Flag(&O::tls)},
        {"--tls-no-verify", nullptr, "", kFlag, false,
         "do not check the server's certificate (news_sslverify 0)", Flag(&O::tlsNoVerify)},
        {"--tls-ca", nullptr, "FILE", kValue, false,
         "trust the CA certificates in FILE instead of the system's\n(news_sslca)", ParseCaFile},
        {"--no-write", nullptr, "", kFlag, false, "do not write articles to disk (writetodisk 0)",
         Flag(&O::noWrite)},
        {"--keep-logs", nullptr, "N|all", kValue, false,
         "keep at most N numbered copies of log.txt (oldest go);\n"
         "the dialog keeps all, a headless run 20 unless told",
         ParseKeepLogs},
        {"--no-trace", nullptr, "", kFlag, false,
         "leave out the step-by-step trace lines of log.txt", Flag(&O::noTrace)},
        {"--receive-timeout", nullptr, "S", kValue, false,
         "give up on a server silent for S seconds (default 180)",
         Seconds("--receive-timeout", 1, &O::receiveTimeout)},
        {"--connect-retry-delay", nullptr, "S", kValue, false,
         "wait S seconds before a failed connect or group\n"
         "selection is tried again (ErrorDelay, default 30)",
         Seconds("--connect-retry-delay", 0, &O::connectRetryDelay)},
        {"--reject-delay", nullptr, "S", kValue, false,
         "wait S seconds after the server refused a greeting\n(RejectDelay, default 180)",
         Seconds("--reject-delay", 0, &O::rejectDelay)},
        {"--connections", nullptr, "N", kValue, false,
         "number of connections (DLConnections), 0 to " +
             std::to_string(kMaxCommandLineConnections),
         WholeNumber("--connections", "a whole number", 0, kMaxCommandLineConnections,
                     &O::connections)},
        {"--metrics", nullptr, "[HOST:PORT]", ValueKind::kOptional, false,
         "serve metrics for scrapers at http://HOST:PORT/metrics\n"
         "(default 127.0.0.1:9464; other interfaces only when\n"
         "written out, e.g. 0.0.0.0:9464)",
         ParseMetrics},
        {"--instance", nullptr, "NAME", kValue, false,
         "the metrics' instance label (default: the host name)", ParseInstance},
        {"--headless", nullptr, "", kFlag, true,
         "run without the dialog, printing the rate once a second", Flag(&O::headless)},
        {"--seconds", nullptr, "S", kValue, true,
         "stop S seconds after Go (default: run until Ctrl-C)", ParseSecondsOption},
        {"--yes", nullptr, "", kFlag, true,
         "answer Yes when 20 or more connections ask to be confirmed", Flag(&O::yes)},
        {"--json", nullptr, "", kFlag, true, "print one JSON object per second and a JSON summary",
         Flag(&O::json)},
        {"--check", nullptr, "EXPR", kValue, true,
         "a target the run must meet, METRIC OP VALUE[UNIT], e.g.\n"
         "'p99(body) < 50ms', 'rate >= 100MB/s', 'failures == 0'\n"
         "(repeatable; exit code 4 when one fails)",
         ParseCheck},
        {"--sweep", nullptr, "LIST", kValue, true,
         "run a step per connection count, each for --seconds:\n"
         "1,4,16,64 or 1..64 (doubling); prints the knee and, with\n"
         "--check, the capacity",
         ParseSweep},
        {"--warmup", nullptr, "S", kValue, true,
         "leave the first S seconds of a run (of each step) out of\nits summary, checks and knee",
         ParseWarmup},
        {"--timeline", nullptr, "FILE", kValue, true,
         "write every second to FILE as it goes: JSON lines, or CSV\nwhen FILE ends in .csv",
         NonEmptyText("--timeline needs a file name", &O::timeline)},
        {"--engines", nullptr, "N", kValue, true,
         "share the connections among N engine threads (default 1;\n"
         "one per core is the most that helps)",
         WholeNumber("--engines", "a whole number", 1, kMaxCommandLineEngines, &O::engines)},
        {"--help", "-h", "", kFlag, true, "show this text", Flag(&O::help)},
        {"--version", nullptr, "", kFlag, true, "show the version", Flag(&O::version)},
    };
    return options;
}

const OptionSpec* FindOption(const std::string& name) {
    for (const OptionSpec& option : Options()) {
        if (name == option.name || (option.alias != nullptr && name == option.alias))
            return &option;
    }
    return nullptr;
}

// The help lines of one section: the name and value in a column of 22, the text beside it
// and its further lines under it.
std::string OptionHelp(bool headless) {
    constexpr std::size_t kColumn = 22;
    std::string text;
    for (const OptionSpec& option : Options()) {
        if (option.headless != headless)
            continue;
        std::string head = option.name;
        if (*option.valueName != '\0')
            head += std::string(" ") + option.valueName;
        head += head.size() < kColumn ? std::string(kColumn - head.size(), ' ') : "  ";
        text += "  " + head;
        for (char c : option.help)
            text += c == '\n' ? "\n" + std::string(kColumn + 2, ' ') : std::string(1, c);
        text += "\n";
    }
    return text;
}

// The options of a load test: each needs a headless run, a sweep needs a length per step.
bool CheckLoadTestOptions(const CommandLineOptions& options, std::string& message) {
    if (!options.headless && (!options.sweep.empty() || !options.checks.empty() ||
                              options.warmup > 0.0 || !options.timeline.empty())) {
        message = "--sweep, --check, --warmup and --timeline work with --headless only";
        return false;
    }
    if (!options.sweep.empty() && !options.seconds) {
        message = "--sweep needs --seconds S: how long each step runs";
        return false;
    }
    if (!options.sweep.empty() && options.connections) {
        message = "--sweep sets the connections of each step; leave out --connections";
        return false;
    }
    if (options.seconds && options.warmup >= *options.seconds) {
        message = "--warmup must be shorter than --seconds: nothing would be measured";
        return false;
    }
    return true;
}

bool CheckCombinations(const CommandLineOptions& options, std::string& message) {
    if (options.demo && !options.serverHost.empty()) {
        message = "--demo and --server cannot be used together: the demo serves its own articles";
        return false;
    }
    if (options.headless && !options.otherArguments.empty()) {
        message = "the dialog's option '" + options.otherArguments.front() +
                  "' does not work with --headless";
        return false;
    }
    if (!options.instance.empty() && !options.metrics) {
        message = "--instance names this process in the metrics; it needs --metrics";
        return false;
    }
    if (options.headless && options.connections && *options.connections == 0) {
        message = "--connections 0 makes no connection: a headless run needs 1 or more";
        return false;
    }
    if (!options.headless && (options.seconds || options.yes || options.json)) {
        message = "--seconds, --yes and --json work with --headless only";
        return false;
    }
    if (!options.headless && options.engines) {
        message = "--engines works with --headless only: the dialog runs one engine";
        return false;
    }
    return CheckLoadTestOptions(options, message);
}

}  // namespace

ParseOutcome ParseCommandLine(const std::vector<std::string>& args, CommandLineOptions& options,
                              std::string& message) {
    options = CommandLineOptions{};
    message.clear();
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool hasInlineValue = false;
        const std::size_t equals = name.find('=');
        if (name.rfind("--", 0) == 0 && equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            hasInlineValue = true;
        }
        const OptionSpec* option = FindOption(name);
        if (option == nullptr) {
            bool takesValue = false;
            if (hasInlineValue || !IsToolkitOption(name, takesValue)) {
                message = (args[i].rfind("-", 0) == 0 ? "unknown option '" : "unexpected argument '") +
                          args[i] + "'";
                return ParseOutcome::kError;
            }
            options.otherArguments.push_back(args[i]);
            if (takesValue) {
                if (i + 1 >= args.size()) {
                    message = "option " + name + " needs a value";
                    return ParseOutcome::kError;
                }
                options.otherArguments.push_back(args[++i]);
            }
            continue;
        }
        if (option->kind == ValueKind::kNone && hasInlineValue) {
            message = "option " + name + " takes no value";
            return ParseOutcome::kError;
        }
        if (option->kind == ValueKind::kRequired && !hasInlineValue) {
            if (i + 1 >= args.size()) {
                message = "option " + name + " needs a value";
                return ParseOutcome::kError;
            }
            value = args[++i];
        }
        // An optional value is taken from the next argument only if that is no option.
        if (option->kind == ValueKind::kOptional && !hasInlineValue && i + 1 < args.size() &&
            args[i + 1].rfind("-", 0) != 0) {
            value = args[++i];
        }
        if (!option->apply(value, options, message)) {
            return ParseOutcome::kError;
        }
    }
    if (options.help) {
        return ParseOutcome::kHelp;
    }
    if (options.version) {
        return ParseOutcome::kVersion;
    }
    if (!CheckCombinations(options, message)) {
        return ParseOutcome::kError;
    }
    return ParseOutcome::kRun;
}

ParseOutcome ParseCommandLine(int argc, const char* const* argv, CommandLineOptions& options,
                              std::string& message) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i] ? argv[i] : "");
    }
    return ParseCommandLine(args, options, message);
}

std::string VersionText() {
    return std::string("zodiva ") + kZodivaVersion + "\n";
}

std::string HelpText(const std::string& programName) {
    return "Usage: " + programName +
           " [OPTIONS]\n"
           "Tests a threaded NNTP download engine: opens N connections to the news server,\n"
           "fetches articles of alt.binaries.test and shows the receive rate once a second.\n"
           "Without --headless the test dialog opens.\n"
           "\n"
           "Options for both the dialog and --headless:\n" +
           OptionHelp(false) +
           "\n"
           "Headless run:\n" +
           OptionHelp(true) +
           "\n"
           "\n"
           "Rates: KBps is 1024 bytes per second (the dialog's %.2fKBps, and KiB/s in the\n"
           "summary); kB/s, MB/s and GB/s are 10^3, 10^6 and 10^9 bytes per second.\n"
           "\n"
           "Exit codes: 0 when an article was completed (its body to the final dot), 1 when\n"
           "the engine could not start, 2 for bad input (also: no news server set, no\n"
           "connection to make, a working folder that cannot be written), 3 when the run\n"
           "completed no article (the most frequent failure is named on stderr), 4 when a\n"
           "--check failed (with --sweep: in the first step).\n";
}
