// Receive throughput over loopback through the transport: FD_READ message -> BaseSocket (byte
// count query, then OnReceive) -> one 16384-byte Receive with its acknowledgement re-arm, on a
// message loop; against a plain blocking recv loop of 16384 bytes on the same kind of socket.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/PlainSockets.h"
#include "net/BaseSocket.h"
#include "platform/windows.h"

namespace {

using bench::SocketLibrary;

constexpr int kChunk = 16384;
constexpr std::int64_t kBytesPerIteration = 64LL * 1024 * 1024;

// Listens on loopback (the system's own socket); Accept blocks until the client has connected.
class Listener {
public:
    Listener() { m_socket = bench::plain::Listen(1, &m_port); }
    ~Listener() { bench::plain::Close(m_socket); }
    int Port() const { return m_port; }
    int Accept() { return bench::plain::Accept(m_socket); }

private:
    int m_socket = -1;
    int m_port = 0;
};

// Writes as fast as the connection takes it until told to stop.
class Writer {
public:
    explicit Writer(int s) : m_socket(s), m_thread([this] { Run(); }) {}
    ~Writer() {
        m_stop = true;
        bench::plain::Shutdown(m_socket);
        m_thread.join();
        bench::plain::Close(m_socket);
    }

private:
    void Run() {
        const std::vector<char> block(256 * 1024, 'x');
        while (!m_stop) {
            if (bench::plain::Send(m_socket, block.data(), block.size()) <= 0) {
                return;
            }
        }
    }
    int m_socket;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class CountingSocket : public BaseSocket {
public:
    std::int64_t Received = 0;
    bool Connected = false;
    void OnConnect(int error) override { Connected = error == 0; }
    void OnReceive(int error) override {
        if (error != 0) {
            return;
        }
        const int count = Receive(m_buffer, kChunk, 0);
        if (count > 0) {
            Received += count;
        }
    }

private:
    char m_buffer[kChunk];
};

void RunMessageLoopUntil(const CountingSocket& client, std::int64_t target) {
    MSG msg;
    while (client.Received < target && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
}

void BM_BaseSocketOnReceive(benchmark::State& state) {
    SocketLibrary library;
    Listener listener;
    CountingSocket client;
    client.Create();
    client.Connect("127.0.0.1", listener.Port(), "", 0, "", "");
    Writer writer(listener.Accept());
    MSG msg;
    while (!client.Connected && GetMessageA(&msg, nullptr, 0, 0) > 0) {
        DispatchMessageA(&msg);
    }
    for (auto _ : state) {
        RunMessageLoopUntil(client, client.Received + kBytesPerIteration);
    }
    state.SetBytesProcessed(state.iterations() * kBytesPerIteration);
    client.Close();
}
BENCHMARK(BM_BaseSocketOnReceive)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_BaseSocketBlockingBaseline(benchmark::State& state) {
    SocketLibrary library;
    Listener listener;
    const SOCKET client = bench::ConnectBlocking(listener.Port());
    Writer writer(listener.Accept());
    std::vector<char> buffer(kChunk);
    for (auto _ : state) {
        std::int64_t received = 0;
        while (received < kBytesPerIteration) {
            const int count = recv(client, buffer.data(), kChunk, 0);
            if (count <= 0) {
                state.SkipWithError("recv failed");
                break;
            }
            received += count;
        }
    }
    state.SetBytesProcessed(state.iterations() * kBytesPerIteration);
    closesocket(client);
}
BENCHMARK(BM_BaseSocketBlockingBaseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
