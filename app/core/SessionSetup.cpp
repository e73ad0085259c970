#include "app/core/SessionSetup.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>
#include <system_error>

#include "app/core/TestDialogLogic.h"
#ifdef ZODIVA_NO_METRICS
class MetricsService {};
#else
#include "app/metrics/MetricsService.h"
#endif
#include "newsd/Server.h"
#include "nntp/ConnectionOptionKeys.h"
#include "platform/LogFiles.h"
#ifndef _WIN32
#include "platform/RegFile.h"
#endif
#include "platform/Registry.h"
#include "support/Log.h"
#include "support/SettingsStore.h"

namespace {

// The demo group: enough articles that a download never walks off the bottom in a session,
// bodies large enough that the rate reflects the engine rather than per-command costs.
constexpr std::int64_t kDemoArticles = 100000;
constexpr std::size_t kDemoBodyBytes = 128 * 1024;

#ifndef _WIN32

bool PointRegistryAt(const std::string& file, std::string& error) {
    std::error_code ec;
    const std::filesystem::path path = std::filesystem::absolute(file, ec);
    if (ec) {
        error = "cannot use the settings file '" + file + "': " + ec.message();
        return false;
    }
    if (std::filesystem::is_directory(path, ec)) {
        error = "cannot read the settings file '" + file + "': it is a directory";
        return false;
    }
    std::ifstream probe(path, std::ios::binary);
    if (!probe) {
        error = "cannot read the settings file '" + file + "': " + std::strerror(errno);
        return false;
    }
    // The registry layer reads the file named here whenever the settings are loaded.
    setenv("QUORREL_REGISTRY", path.c_str(), 1);
    return true;
}

// A file that exists must be a registry export: settings silently ignored because the file
// is something else would make the run use defaults the user did not mean. `problems`: how
// many lines the reading will report.
bool CheckIsRegistryExport(const std::string& file, std::size_t& problemCount,
                           std::string& error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        error = "cannot read the settings file '" + file + "': " + std::strerror(errno);
        return false;
    }
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    platform::RegFile parsed;
    std::vector<platform::RegFileProblem> problems;  // reported when the settings load
    const bool parsedOk = platform::ParseRegFile(bytes, parsed, problems);
    problemCount = problems.size();
    if (!parsedOk) {
        error = "the settings file '" + file +
                "' is not a registry export (its first line must be \"Windows Registry Editor "
                "Version 5.00\" or \"REGEDIT4\")";
        return false;
    }
    return true;
}

#endif

bool EnterWorkDir(const std::string& dir, std::string& error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        error = "cannot create the working directory '" + dir + "': " + ec.message();
        return false;
    }
    if (chdir(dir.c_str()) != 0) {
        error = "cannot change to the working directory '" + dir + "': " + std::strerror(errno);
        return false;
    }
    platform::RememberWorkingFolder(std::filesystem::absolute(dir, ec).string());
    return true;
}

// The logs and the article files go to the working folder; a run that cannot write there
// would lose them silently. Tried with a file of our own, as only a write tells for sure
// (permissions, a read-only file system, a full quota).
// `named`: the folder as the user named it (empty: the current one).
bool CheckWorkDirWritable(const std::string& named, std::string& error) {
    std::error_code ec;
    const std::filesystem::path folder = std::filesystem::current_path(ec);
    const std::filesystem::path probe =
        folder / (".zodiva-write-test-" + std::to_string(static_cast<long>(getpid())));
    FILE* file = std::fopen(probe.string().c_str(), "wb");
    if (file == nullptr) {
        error = "cannot write in the working folder '" + (named.empty() ? folder.string() : named) +
                "': " + std::strerror(errno) +
                " (log.txt, errorlog.txt and article files go there; choose another with "
                "--workdir DIR)";
        return false;
    }
    std::fclose(file);
    std::filesystem::remove(probe, ec);
    return true;
}

}  // namespace

std::map<std::string, std::string> ConnectionOptionsOf(const CommandLineOptions& options) {
    std::map<std::string, std::string> table;
    const std::pair<const char*, const std::optional<int>*> given[] = {
        {connection_options::kReceiveTimeout, &options.receiveTimeout},
        {connection_options::kErrorDelay, &options.connectRetryDelay},
        {connection_options::kRejectDelay, &options.rejectDelay}};
    for (const auto& [name, value] : given) {
        if (*value) {
            table[name] = std::to_string(**value);
        }
    }
    return table;
}

SessionSetup::SessionSetup() = default;

SessionSetup::~SessionSetup() {
    StopDemo();
}

bool SessionSetup::PrepareEnvironment(const CommandLineOptions& options, std::string& error) {
    // The settings file is resolved before the working directory changes, so a relative
    // name means what the user meant.
#ifdef _WIN32
    // Windows has the registry itself; a settings file is imported with the registry editor.
    if (!options.registryFile.empty()) {
        error = "--registry is for systems without a registry: on Windows the settings are read "
                "from HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00; import '" +
                options.registryFile + "' with regedit";
        return false;
    }
#else
    if (!options.registryFile.empty() && !PointRegistryAt(options.registryFile, error)) {
        return false;
    }
    const std::string file = platform::RegistryFilePath();
    std::error_code ec;
    if (!file.empty() && std::filesystem::exists(file, ec)) {
        m_settingsFile = file;
        if (!CheckIsRegistryExport(file, m_settingsFileProblems, error)) {
            return false;
        }
    } else if (const char* named = std::getenv("QUORREL_REGISTRY"); named && *named) {
        m_warnings.push_back("cannot read the settings file '" + file +
                             "' (named by QUORREL_REGISTRY): no such file; using the defaults");
    }
#endif
    if (!options.workDir.empty() && !EnterWorkDir(options.workDir, error)) {
        return false;
    }
    if (!CheckWorkDirWritable(options.workDir, error)) {
        return false;
    }
    SetDebugLogKeepCopies(KeptLogCopies(options));
    if (options.noTrace) {
        // Set before any engine thread exists, so the switch never changes while one reads it.
        VerboseLog = false;
    }
    return true;
}

bool SessionSetup::ApplySettings(const CommandLineOptions& options, TestDialogLogic& logic,
                                 std::string& error) {
    SettingsStore& settings = logic.Settings();
    for (const auto& [key, value] : options.settings) {
        settings.SetString(key, value);
    }
    if (!options.serverHost.empty()) {
        settings.SetString(keys::kNewsServer, options.serverHost);
        if (options.serverPort) {
            settings.SetInt(keys::kNewsPort, *options.serverPort);
        }
    }
    if (options.tls) {
        settings.SetInt(keys::kNewsSsl, 1);
    }
    if (options.tlsNoVerify) {
        settings.SetInt(keys::kNewsSslVerify, 0);
    }
    if (!options.tlsCaFile.empty()) {
        settings.SetString(keys::kNewsSslCa, options.tlsCaFile);
    }
    if (options.noWrite) {
        logic.SetWriteToDisk(false);
    }
    if (options.connections) {
        settings.SetInt(keys::kConnections, *options.connections);
    }
    logic.SetConnectionOptions(ConnectionOptionsOf(options));
    if (options.demo && !StartDemo(logic, error)) {
        return false;
    }
    return true;
}

bool SessionSetup::StartDemo(TestDialogLogic& logic, std::string& error) {
    newsd::ServerOptions serverOptions;
    serverOptions.articles.first = 1;
    serverOptions.articles.last = kDemoArticles;
    serverOptions.articles.bodyBytes = kDemoBodyBytes;
    serverOptions.recordCommands = false;  // a long demo would otherwise grow without bound
    auto server = std::make_unique<newsd::Server>(serverOptions);
    if (!server->Start(0, "127.0.0.1")) {
        error = "cannot start the demo server: " + server->LastError();
        return false;
    }
    SettingsStore& settings = logic.Settings();
    settings.SetString(keys::kNewsServer, "127.0.0.1");
    settings.SetInt(keys::kNewsPort, server->Port());
    // The demo talks to its own server directly, whatever proxy or login the settings hold.
    settings.SetInt(keys::kProxyOption, 0);
    m_demo = std::move(server);
    return true;
}

bool SessionSetup::StartMetrics(const CommandLineOptions& options, TestDialogLogic& logic,
                                std::string& error) {
    if (!options.metrics) {
        return true;
    }
#ifdef ZODIVA_NO_METRICS
    (void)logic;
    error = "--metrics is not available in this build (it has no HTTP server)";
    return false;
#else
    SettingsStore& settings = logic.Settings();
    ListenAddress newsServer;  // only for its "host:port" text, IPv6 in brackets
    newsServer.host = settings.GetString(keys::kNewsServer);
    newsServer.port = settings.GetInt(keys::kNewsPort);
    const std::string server = newsServer.Text();
    auto metrics = std::make_unique<MetricsService>(options.instance, server, kZodivaVersion);
    if (!metrics->Start(*options.metrics, error)) {
        return false;
    }
    MetricsService* service = metrics.get();
    logic.SetCountersListener([service](const TestDialogLogic::DownloadWatch& watch) {
        service->Attach(watch.counters, watch.monitor, watch.engineCpuSeconds, watch.connections);
    });
    m_metrics = std::move(metrics);
    return true;
#endif
}

std::string SessionSetup::MetricsUrl() const {
#ifdef ZODIVA_NO_METRICS
    return {};
#else
    return m_metrics ? m_metrics->Url() : std::string();
#endif
}

std::uint16_t SessionSetup::DemoPort() const {
    return m_demo ? m_demo->Port() : 0;
}

void SessionSetup::StopDemo() {
    if (m_demo) {
        m_demo->Stop();
        m_demo.reset();
    }
}
