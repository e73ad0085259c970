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
#include "net/BaseSocket.h"
#include "platform/windows.h"

namespace {

using bench::SocketLibrary;

constexpr int kChunk = 16384;
constexpr std::int64_t kBytesPerIteration = 64LL * 1024 * 1024;

// Listens on loopback; Accept blocks until the client has connected.
class Listener {
public:
    Listener() { m_Socket = bench::ListenOnLoopback(1, &m_Port); }
    ~Listener() { closesocket(m_Socket); }
    int Port() const { return m_Port; }
    SOCKET Accept() { return accept(m_Socket, nullptr, nullptr); }

private:
    SOCKET m_Socket = INVALID_SOCKET;
    int m_Port = 0;
};

// Writes as fast as the connection takes it until told to stop.
class Writer {
public:
    explicit Writer(SOCKET s) : m_Socket(s), m_Thread([this] { Run(); }) {}
    ~Writer() {
        m_Stop = true;
        shutdown(m_Socket, SD_BOTH);
        m_Thread.join();
        closesocket(m_Socket);
    }

private:
    void Run() {
        const std::vector<char> block(256 * 1024, 'x');
        while (!m_Stop) {
            if (send(m_Socket, block.data(), static_cast<int>(block.size()), 0) <= 0) {
                return;
            }
        }
    }
    SOCKET m_Socket;
    std::atomic<bool> m_Stop{false};
    std::thread m_Thread;
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
        const int count = Receive(m_Buffer, kChunk, 0);
        if (count > 0) {
            Received += count;
        }
    }

private:
    char m_Buffer[kChunk];
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
    const SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(listener.Port()));
    connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address);
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
