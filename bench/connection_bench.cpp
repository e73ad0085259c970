// One connection fetching articles in its HEAD/BODY loop over loopback, against the ceiling of
// a minimal blocking client that sends the same commands to the same server and throws the
// replies away. Both talk to the same in-process feeder, which answers from pre-built text
// with one large write per reply, so the figures measure the clients.
//
// Reported per run: MB/s of article bytes and CPU seconds per GiB spent on the client's
// thread. The engine runs with "writetodisk" 1 and 0, and with its trace lines on (as the
// program always runs) and off, which shows what the trace lines cost.
#include <benchmark/benchmark.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "nntp/NNTPSocket.h"
#include "bench/BenchSupport.h"
#include "bench/PlainSockets.h"
#include "platform/windows.h"

namespace {

using bench::ScratchDirectory;
using bench::SocketLibrary;
using bench::ThreadCpuSeconds;

constexpr int kArticles = 200;
constexpr std::size_t kBodyBytes = 256 * 1024;
constexpr std::size_t kBodyLineLength = 128;
constexpr int kNewestArticle = 1000000;

std::string BuildHeader() {
    std::string header;
    header += "Path: bench.test!not-for-mail\r\n";
    header += "From: bench <poster@bench.test>\r\n";
    header += "Newsgroups: alt.binaries.test\r\n";
    header += "Subject: connection benchmark article (1/1)\r\n";
    header += "Date: Tue, 08 Dec 2026 12:00:00 +0000\r\n";
    header += "Message-ID: <article@bench.test>\r\n";
    header += "Lines: 2048\r\n";
    header += "Bytes: 262144\r\n";
    header += "Xref: bench.test alt.binaries.test:1\r\n";
    return header;
}

// Body lines of printable bytes; every 64th line begins with a dot and is stuffed on the wire.
std::string BuildBodyWire() {
    std::string body;
    body.reserve(kBodyBytes + kBodyBytes / 64);
    std::uint32_t seed = 12345;
    for (std::size_t line = 0; body.size() < kBodyBytes; ++line) {
        if (line % 64 == 0) {
            body += "..";
        }
        for (std::size_t i = 0; i < kBodyLineLength; ++i) {
            seed = seed * 1664525u + 1013904223u;
            body += static_cast<char>('!' + (seed >> 24) % 90);
        }
        body += "\r\n";
    }
    return body;
}

// A news server for one client at a time: GROUP, HEAD and BODY, answered from pre-built text.
class Feeder {
public:
    Feeder() : m_header(BuildHeader()), m_body(BuildBodyWire()) {
        m_listener = bench::plain::Listen(4, &m_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~Feeder() {
        m_stop = true;
        bench::plain::Shutdown(m_listener);
        const int client = m_client.exchange(-1);
        if (client >= 0) {
            bench::plain::Shutdown(client);
        }
        m_thread.join();
        bench::plain::Close(m_listener);
    }
    Feeder(const Feeder&) = delete;
    Feeder& operator=(const Feeder&) = delete;

    int Port() const { return m_port; }
    int HeadsReceived() const { return m_heads.load(); }
    void ResetCounts() { m_heads = 0; }
    // Article bytes of one HEAD and BODY exchange, replies as sent.
    std::size_t BytesPerArticle() const { return m_header.size() + m_body.size() + 64; }

private:
    void Serve() {
        while (!m_stop) {
            const int client = bench::plain::Accept(m_listener);
            if (client < 0) {
                return;
            }
            bench::plain::SetNoDelay(client);
            m_client = client;
            Converse(client);
            m_client = -1;
            bench::plain::Close(client);
        }
    }

    void Converse(int client) {
        SendAll(client, "200 bench feeder ready\r\n");
        std::string pending;
        char block[4096];
        for (;;) {
            const std::size_t end = pending.find("\r\n");
            if (end == std::string::npos) {
                const long count = bench::plain::Receive(client, block, sizeof block);
                if (count <= 0) {
                    return;
                }
                pending.append(block, static_cast<std::size_t>(count));
                continue;
            }
            const std::string command = pending.substr(0, end);
            pending.erase(0, end + 2);
            if (!Answer(client, command)) {
                return;
            }
        }
    }

    bool Answer(int client, const std::string& command) {
        if (command.rfind("GROUP ", 0) == 0) {
            return SendAll(client, "211 1000000 1 1000000 alt.binaries.test\r\n");
        }
        const bool head = command.rfind("HEAD ", 0) == 0;
        const bool body = command.rfind("BODY ", 0) == 0;
        if (!head && !body) {
            return SendAll(client, "500 what?\r\n");
        }
        if (head) {
            ++m_heads;
        }
        const std::string number = command.substr(5);
        m_reply.assign(head ? "221 " : "222 ");
        m_reply += number;
        m_reply += head ? " <article@bench.test> head\r\n" : " <article@bench.test> body\r\n";
        m_reply += head ? m_header : m_body;
        m_reply += ".\r\n";
        return SendAll(client, m_reply);
    }

    static bool SendAll(int client, const std::string& text) {
        std::size_t sent = 0;
        while (sent < text.size()) {
            const long count = bench::plain::Send(client, text.data() + sent, text.size() - sent);
            if (count <= 0) {
                return false;
            }
            sent += static_cast<std::size_t>(count);
        }
        return true;
    }

    const std::string m_header;
    const std::string m_body;
    std::string m_reply;
    int m_listener = -1;
    std::atomic<int> m_client{-1};
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_heads{0};
    std::thread m_thread;
};

void ReportFigures(benchmark::State& state, double bytes, double cpuSeconds) {
    state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
    state.counters["MB/s"] = benchmark::Counter(bytes / 1e6, benchmark::Counter::kIsRate);
    state.counters["CPU-s/GiB"] = cpuSeconds / (bytes / (1024.0 * 1024.0 * 1024.0));
}

// The engine's connection on this thread's message loop. Arguments: writetodisk, trace on.
void BM_ConnectionArticleLoop(benchmark::State& state) {
    ScratchDirectory scratch("zodiva-connection-bench");
    SocketLibrary library;
    Feeder feeder;
    const bool savedVerbose = VerboseLog;
    VerboseLog = state.range(1) != 0;

    SettingsStore root;
    root.SetString("news_server", "127.0.0.1");
    root.SetInt("news_port", feeder.Port());
    root.SetInt("writetodisk", static_cast<int>(state.range(0)));

    double cpuSeconds = 0;
    double bytes = 0;
    for (auto _ : state) {
        feeder.ResetCounts();
        CNNTPSocket connection;
        connection.Settings.SetParent(&root);
        const double cpuStart = ThreadCpuSeconds();
        connection.StartArticleJob("alt.binaries.test", 1);
        MSG msg;
        // The HEAD after the last counted article shows that its body is complete.
        while (feeder.HeadsReceived() <= kArticles && GetMessageA(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageA(&msg);
        }
        cpuSeconds += ThreadCpuSeconds() - cpuStart;
        bytes += static_cast<double>(feeder.BytesPerArticle()) * kArticles;
        connection.ResetConnection();
    }
    VerboseLog = savedVerbose;
    ReportFigures(state, bytes, cpuSeconds);
}
BENCHMARK(BM_ConnectionArticleLoop)
    ->ArgNames({"writetodisk", "trace"})
    ->Args({1, 1})
    ->Args({0, 1})
    ->Args({1, 0})
    ->Args({0, 0})
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// Reads one multi-line reply (or a status line) and drops it; false when the connection ends.
class BlockingReader {
public:
    explicit BlockingReader(SOCKET s) : m_socket(s) {}

    bool SkipStatusLine() { return SkipUntil("\r\n"); }
    bool SkipMultiLineReply() { return SkipUntil("\r\n.\r\n"); }

private:
    // Scans what arrives for the marker; only the last few bytes are kept between reads.
    bool SkipUntil(const std::string& marker) {
        for (;;) {
            const std::size_t found = m_window.find(marker);
            if (found != std::string::npos) {
                m_window.erase(0, found + marker.size());
                return true;
            }
            if (m_window.size() >= marker.size()) {
                m_window.erase(0, m_window.size() - (marker.size() - 1));
            }
            const int count = recv(m_socket, m_buffer, sizeof m_buffer, 0);
            if (count <= 0) {
                return false;
            }
            m_window.append(m_buffer, static_cast<std::size_t>(count));
        }
    }

    SOCKET m_socket;
    std::string m_window;
    char m_buffer[65536];
};

bool SendCommandLine(SOCKET s, const std::string& text) {
    return send(s, text.data(), static_cast<int>(text.size()), 0) == static_cast<int>(text.size());
}

void BM_BlockingClientCeiling(benchmark::State& state) {
    SocketLibrary library;
    Feeder feeder;
    double cpuSeconds = 0;
    double bytes = 0;
    for (auto _ : state) {
        const double cpuStart = ThreadCpuSeconds();
        const SOCKET client = bench::ConnectBlocking(feeder.Port());
        BlockingReader reader(client);
        bool ok = client != INVALID_SOCKET && reader.SkipStatusLine() &&
             SendCommandLine(client, "GROUP alt.binaries.test\r\n") && reader.SkipStatusLine();
        for (int i = 0; ok && i < kArticles; ++i) {
            const std::string number = std::to_string(kNewestArticle - i);
            ok = SendCommandLine(client, "HEAD " + number + "\r\n") &&
                 reader.SkipMultiLineReply() &&
                 SendCommandLine(client, "BODY " + number + "\r\n") && reader.SkipMultiLineReply();
        }
        cpuSeconds += ThreadCpuSeconds() - cpuStart;
        closesocket(client);
        if (!ok) {
            state.SkipWithError("the blocking client lost its connection");
            return;
        }
        bytes += static_cast<double>(feeder.BytesPerArticle()) * kArticles;
    }
    ReportFigures(state, bytes, cpuSeconds);
}
BENCHMARK(BM_BlockingClientCeiling)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
