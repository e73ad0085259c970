// newsd: serves generated articles over NNTP until SIGINT or SIGTERM.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <string>
#include <vector>

#include "newsd/CommandLine.h"
#include "newsd/Server.h"

namespace {

constexpr int kExitBadUsage = 2;
constexpr int kExitFailure = 1;

}  // namespace

int main(int argc, char** argv) {
    newsd::CommandLine line;
    std::string error;
    if (!newsd::ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), &line, &error)) {
        std::fprintf(stderr, "newsd: %s\nTry 'newsd --help'.\n", error.c_str());
        return kExitBadUsage;
    }
    if (line.help) {
        std::fputs(newsd::UsageText().c_str(), stdout);
        return 0;
    }
    if (line.version) {
        std::puts("newsd 1.0");
        return 0;
    }

    // Signals are taken by sigwait below; the server's thread inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    line.server.recordCommands = false;
    newsd::Server server(line.server);
    server.SetScript(line.script);
    if (!server.Start(line.port, line.address)) {
        std::fprintf(stderr, "newsd: %s\n", server.LastError().c_str());
        return kExitFailure;
    }
    const auto& articles = line.server.articles;
    if (!line.quiet) {
        std::printf("newsd listening on %s:%u, %s articles %lld-%lld of %zu bytes\n",
                    line.address.c_str(), server.Port(), articles.group.c_str(),
                    static_cast<long long>(articles.first), static_cast<long long>(articles.last),
                    server.Articles().BodyOctets());
        std::fflush(stdout);
    }
    int signalNumber = 0;
    sigwait(&stopSignals, &signalNumber);
    server.Stop();
    if (!line.quiet) {
        std::printf("newsd stopped: %llu connections, %llu commands, %llu bytes sent\n",
                    static_cast<unsigned long long>(server.ConnectionsAccepted()),
                    static_cast<unsigned long long>(server.CommandCount()),
                    static_cast<unsigned long long>(server.BytesSent()));
    }
    return 0;
}
