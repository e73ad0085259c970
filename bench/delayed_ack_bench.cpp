// Per-article latency of one connection whose server writes a reply's status line and its
// text in separate writes with Nagle on, as real news servers do.
//
// Our HEAD/BODY loop waits for each reply. With a split reply the server holds the text back
// until the status line is acknowledged; a client that lets Linux delay that ACK waits about
// 40 ms per reply. The connection re-arms TCP_QUICKACK after every draining read, so its rate
// must not be bounded by that time.
//
// Small articles (2 KiB bodies), so the per-article round trips dominate. Reported per run:
// articles per second and milliseconds per article of the article loop alone (from the first
// HEAD the server sees to the HEAD after the last counted article), for the connection with
// the server writing each reply in one write and in two. The connection's re-arm cannot be
// switched off from outside, so a plain stop-and-wait client stands in as the reference,
// with and without the re-arm, against the same split replies.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "newsd/Server.h"
#include "nntp/NNTPSocket.h"
#include "bench/BenchSupport.h"
#include "platform/windows.h"

namespace {

constexpr int kConnectionArticles = 300;
// The reference client without the re-arm is expected to take about 40 ms per reply.
constexpr int kReferenceArticles = 50;
constexpr std::int64_t kNewestArticle = 1000;
constexpr std::size_t kBodyBytes = 2 * 1024;

using Clock = std::chrono::steady_clock;
using bench::ScratchDirectory;
using bench::SocketLibrary;

newsd::ServerOptions SmallArticleServer() {
    newsd::ServerOptions options;
    options.articles.first = 1;
    options.articles.last = kNewestArticle;
    options.articles.bodyBytes = kBodyBytes;
    return options;
}

newsd::ConnectionScript ReplyWrites(bool separate) {
    newsd::ConnectionScript script;
    script.separateStatusWrite = separate;
    return script;
}

void ReportArticleRate(benchmark::State& state, int articles, double seconds) {
    const double total = static_cast<double>(articles) * static_cast<double>(state.iterations());
    state.counters["articles/s"] = seconds > 0 ? total / seconds : 0;
    state.counters["ms/article"] = total > 0 ? seconds * 1000.0 / total : 0;
}

// The walk the connection must have made: GROUP, then HEAD n and BODY n from the newest down.
bool WalkedDown(const std::vector<std::string>& commands, int articles) {
    if (commands.size() < 1 + 2 * static_cast<std::size_t>(articles) ||
        commands[0] != "GROUP alt.binaries.test") {
        return false;
    }
    for (int i = 0; i < articles; ++i) {
        const std::string number = std::to_string(kNewestArticle - i);
        if (commands[1 + 2 * i] != "HEAD " + number || commands[2 + 2 * i] != "BODY " + number) {
            return false;
        }
    }
    return true;
}

// Pumps this thread's messages until the server has seen `count` commands in all. The wait
// ends now and then without a message, so a connection that went quiet is given up on.
bool PumpUntilCommands(const newsd::Server& server, std::uint64_t count) {
    const auto giveUp = Clock::now() + std::chrono::seconds(120);
    MSG msg;
    while (server.CommandCount() < count) {
        if (Clock::now() > giveUp) {
            return false;
        }
        if (MsgWaitForMultipleObjects(0, nullptr, FALSE, 500, QS_ALLINPUT) == WAIT_OBJECT_0 &&
            PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageA(&msg);
        }
    }
    return true;
}

// The engine's connection on this thread's message loop. Argument: the server writes status
// line and text separately (1, Nagle on) or in one write (0).
void BM_ConnectionArticleLatency(benchmark::State& state) {
    ScratchDirectory scratch("zodiva-delayed-ack");
    SocketLibrary library;
    newsd::Server server(SmallArticleServer());
    if (!scratch.Ready() || !server.Start()) {
        state.SkipWithError("no working directory or server");
        return;
    }
    server.SetScript(ReplyWrites(state.range(0) != 0));

    SettingsStore root;
    root.SetString("news_server", "127.0.0.1");
    root.SetInt("news_port", server.Port());
    root.SetInt("writetodisk", 0);

    double loopSeconds = 0;
    for (auto _ : state) {
        server.ClearCommands();
        const std::uint64_t base = server.CommandCount();
        CNNTPSocket connection;
        connection.Settings.SetParent(&root);
        connection.StartArticleJob("alt.binaries.test", 1);
        // GROUP and the first HEAD; the HEAD after the last counted article shows that its
        // body is complete.
        const bool started = PumpUntilCommands(server, base + 2);
        const auto start = Clock::now();
        const bool finished =
            started && PumpUntilCommands(server, base + 2 + 2 * kConnectionArticles);
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        connection.ResetConnection();
        if (!finished || !WalkedDown(server.Commands(), kConnectionArticles)) {
            state.SkipWithError("the connection did not walk down the articles");
            return;
        }
        state.SetIterationTime(elapsed.count());
        loopSeconds += elapsed.count();
    }
    ReportArticleRate(state, kConnectionArticles, loopSeconds);
}
BENCHMARK(BM_ConnectionArticleLatency)
    ->ArgName("separate_writes")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

// Waits for whole replies on a blocking socket and drops them; false when the connection ends.
class ReplySkipper {
public:
    ReplySkipper(SOCKET s, bool rearmQuickAck) : m_socket(s), m_rearmQuickAck(rearmQuickAck) {}

    bool SkipStatusLine() { return SkipUntil("\r\n"); }
    bool SkipMultiLineReply() { return SkipUntil("\r\n.\r\n"); }

private:
    bool SkipUntil(const std::string& marker) {
        for (;;) {
            const std::size_t found = m_pending.find(marker);
            if (found != std::string::npos) {
                m_pending.erase(0, found + marker.size());
                return true;
            }
            const int count = recv(m_socket, m_buffer, sizeof m_buffer, 0);
            if (count <= 0) {
                return false;
            }
            if (m_rearmQuickAck) {
                const int on = 1;
                setsockopt(m_socket, IPPROTO_TCP, TCP_QUICKACK, reinterpret_cast<const char*>(&on),
                           sizeof on);
            }
            m_pending.append(m_buffer, static_cast<std::size_t>(count));
        }
    }

    SOCKET m_socket;
    bool m_rearmQuickAck;
    std::string m_pending;
    char m_buffer[65536];
};

bool SendLine(SOCKET s, const std::string& text) {
    return send(s, text.data(), static_cast<int>(text.size()), 0) == static_cast<int>(text.size());
}

SOCKET ConnectTo(int port) {
    const SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(port));
    if (connect(s, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    const int on = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return s;
}

// The reference: a stop-and-wait client sending the same commands against split replies.
// Argument: re-arm TCP_QUICKACK after every read (1) or leave the kernel's ACK policy (0).
void BM_StopAndWaitReference(benchmark::State& state) {
    SocketLibrary library;
    newsd::ServerOptions options = SmallArticleServer();
    options.recordCommands = false;
    newsd::Server server(options);
    if (!server.Start()) {
        state.SkipWithError("no server");
        return;
    }
    server.SetScript(ReplyWrites(true));
    const bool rearm = state.range(0) != 0;

    double loopSeconds = 0;
    for (auto _ : state) {
        const SOCKET client = ConnectTo(server.Port());
        ReplySkipper replies(client, rearm);
        bool ok = client != INVALID_SOCKET && replies.SkipStatusLine() &&
                  SendLine(client, "GROUP alt.binaries.test\r\n") && replies.SkipStatusLine();
        const auto start = Clock::now();
        for (int i = 0; ok && i < kReferenceArticles; ++i) {
            const std::string number = std::to_string(kNewestArticle - i);
            ok = SendLine(client, "HEAD " + number + "\r\n") && replies.SkipMultiLineReply() &&
                 SendLine(client, "BODY " + number + "\r\n") && replies.SkipMultiLineReply();
        }
        const std::chrono::duration<double> elapsed = Clock::now() - start;
        closesocket(client);
        if (!ok) {
            state.SkipWithError("the reference client lost its connection");
            return;
        }
        state.SetIterationTime(elapsed.count());
        loopSeconds += elapsed.count();
    }
    ReportArticleRate(state, kReferenceArticles, loopSeconds);
}
BENCHMARK(BM_StopAndWaitReference)
    ->ArgName("quickack")
    ->Arg(0)
    ->Arg(1)
    ->Iterations(2)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();

}  // namespace
