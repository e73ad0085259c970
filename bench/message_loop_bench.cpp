// The engine thread's message loop on its own: messages posted and dispatched per second on
// one thread, and receive throughput through FD_READ notifications (one 16384-byte recv per
// notification) against a plain blocking recv loop on the same kind of loopback socket.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <thread>
#include <vector>

#include "bench/BenchSupport.h"
#include "bench/PlainSockets.h"
#include "platform/windows.h"

namespace {

constexpr UINT kMsgWork = WM_APP + 20;
constexpr UINT kMsgSocket = WM_APP + 1;
constexpr int kChunk = 16384;
constexpr std::int64_t kBytesPerIteration = 64LL * 1024 * 1024;

thread_local std::int64_t tDispatched = 0;
thread_local std::int64_t tReceived = 0;
thread_local char tBuffer[kChunk];

LRESULT CALLBACK BenchProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kMsgWork) {
        ++tDispatched;
        return 0;
    }
    if (message == kMsgSocket && WSAGETSELECTEVENT(lParam) == FD_READ) {
        const int count = recv(static_cast<SOCKET>(wParam), tBuffer, kChunk, 0);
        if (count > 0)
            tReceived += count;
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

HWND MakeBenchWindow() {
    static const bool registered = [] {
        WNDCLASSEXA windowClass{};
        windowClass.cbSize = sizeof windowClass;
        windowClass.lpfnWndProc = &BenchProc;
        windowClass.lpszClassName = "LoopBenchWindow";
        return RegisterClassExA(&windowClass) != 0;
    }();
    if (!registered)
        return nullptr;
    return CreateWindowExA(0, "LoopBenchWindow", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr,
                           nullptr);
}

void BM_PostAndDispatch(benchmark::State& state) {
    HWND hwnd = MakeBenchWindow();
    const int batch = static_cast<int>(state.range(0));
    MSG msg;
    tDispatched = 0;
    for (auto _ : state) {
        for (int i = 0; i < batch; ++i) PostMessageA(hwnd, kMsgWork, i, 0);
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }
    if (tDispatched != state.iterations() * batch)
        state.SkipWithError("messages lost");
    state.SetItemsProcessed(tDispatched);
    DestroyWindow(hwnd);
}
BENCHMARK(BM_PostAndDispatch)->Arg(1)->Arg(1000);

using bench::SocketLibrary;

// A connected loopback pair; the far end is fed by a writer thread as fast as it takes data.
class FedConnection {
public:
    FedConnection() {
        int port = 0;
        const int listener = bench::plain::Listen(1, &port);
        m_client = bench::ConnectBlocking(port);
        m_server = bench::plain::Accept(listener);
        bench::plain::Close(listener);
        m_writer = std::thread([this] {
            const std::vector<char> block(256 * 1024, 'x');
            while (!m_stop && bench::plain::Send(m_server, block.data(), block.size()) > 0) {
            }
        });
    }
    ~FedConnection() {
        m_stop = true;
        bench::plain::Shutdown(m_server);
        m_writer.join();
        bench::plain::Close(m_server);
        closesocket(m_client);
    }
    SOCKET Client() const { return m_client; }

private:
    SOCKET m_client = INVALID_SOCKET;
    int m_server = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_writer;
};

void BM_ReceiveThroughReadNotifications(benchmark::State& state) {
    SocketLibrary library;
    HWND hwnd = MakeBenchWindow();
    FedConnection connection;
    WSAAsyncSelect(connection.Client(), hwnd, kMsgSocket, FD_READ | FD_CLOSE);
    tReceived = 0;
    MSG msg;
    for (auto _ : state) {
        const std::int64_t target = tReceived + kBytesPerIteration;
        while (tReceived < target && GetMessageA(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageA(&msg);
        }
    }
    state.SetBytesProcessed(tReceived);
    WSAAsyncSelect(connection.Client(), hwnd, 0, 0);
    DestroyWindow(hwnd);
}
BENCHMARK(BM_ReceiveThroughReadNotifications)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ReceiveBlockingLoop(benchmark::State& state) {
    SocketLibrary library;
    FedConnection connection;
    std::int64_t received = 0;
    for (auto _ : state) {
        const std::int64_t target = received + kBytesPerIteration;
        while (received < target) {
            const int count = recv(connection.Client(), tBuffer, kChunk, 0);
            if (count <= 0) {
                state.SkipWithError("recv failed");
                return;
            }
            received += count;
        }
    }
    state.SetBytesProcessed(received);
}
BENCHMARK(BM_ReceiveBlockingLoop)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
