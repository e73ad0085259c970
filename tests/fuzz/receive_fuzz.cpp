// Arbitrary server byte streams, cut at arbitrary points, fed to a real connection over
// loopback: through OnReceive and ReadLine into the reply steps of the connect sequence, group
// selection, login and the article jobs. Time-outs, peer closes and socket errors are mixed in
// by the input too. Nothing may crash, overflow or hang.
//
// Input: one mode byte (which job, whether to write articles, whether to trace), then
// operations until the input runs out. Each operation byte picks one of:
//   0       the engine tick after a receive time-out (200 s of test clock)
//   1       the server closes the connection
//   2       an error reported with a read notification
//   others  a piece of server bytes: a length byte, then that many bytes
// Before every operation the harness accepts a pending connect and ends a running delay, so
// the input always talks to a connection that listens.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>

#include "nntp/NNTPSocket.h"
#include "platform/windows.h"
#include "tests/common/NNTPSocketTestAccess.h"
#include "tests/common/RawPeer.h"

using Access = NNTPSocketTestAccess;
using Steps = NNTPSocketTestAccess::Steps;

namespace {

constexpr std::int64_t kSecond = 10000000;  // 100-ns system time units
constexpr int kMaxOperations = 96;
constexpr int kSettleRounds = 8;
constexpr int kConnectSpins = 20000;

void DispatchPending() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Everything that lives across inputs: the socket library, the settings every connection
// inherits, and the test clock. Each input gets a listener of its own standing in for the
// news server, so that a connect left half-made by the previous input is never taken for
// this one's.
struct Harness {
    Harness() {
        WSADATA data;
        WSAStartup(0x0202, &data);
        platform::InstallTestClock(platform::kFileTimeUnixEpoch + 1796656960LL * kSecond);
        root.SetString("news_server", "127.0.0.1");
        root.SetString("username", "reader");
        root.SetString("password", "secret");
        root.SetString("range", "1-5");
    }

    SettingsStore root;
};

class ByteSource {
public:
    ByteSource(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    bool Empty() const { return m_position >= m_size; }
    std::uint8_t Next() { return Empty() ? 0 : m_data[m_position++]; }
    std::string Take(std::size_t count) {
        const std::size_t available = m_size - m_position;
        const std::size_t taken = count < available ? count : available;
        std::string bytes(reinterpret_cast<const char*>(m_data + m_position), taken);
        m_position += taken;
        return bytes;
    }

private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_position = 0;
};

// The server side (the system's own sockets): a listener of its own for each input and the
// current connection, with the client socket it was accepted for.
struct ServerEnd {
    RawPeer peer;
    SOCKET pairedClient = INVALID_SOCKET;
    void Close() { peer.Close(); }
};

// Accepts the connection the client socket is making; false when none arrives.
bool AcceptConnect(CNNTPSocket& connection, ServerEnd& server) {
    server.Close();
    for (int spin = 0; spin < kConnectSpins; ++spin) {
        if (server.peer.TryAccept()) {
            server.pairedClient = connection.GetSocketHandle();
            return true;
        }
        std::this_thread::yield();
    }
    return false;
}

// Brings the connection to where it listens to the server: the connect accepted and its
// notification delivered, no delay running.
void Settle(CNNTPSocket& connection, ServerEnd& server) {
    for (int round = 0; round < kSettleRounds; ++round) {
        DispatchPending();
        const SOCKET client = connection.GetSocketHandle();
        if (client != INVALID_SOCKET && client != server.pairedClient &&
            !connection.IsLookupPending()) {
            if (!AcceptConnect(connection, server)) {
                return;
            }
        } else if (Access::ConnectionState(connection) == kStateConnecting) {
            for (int spin = 0; spin < kConnectSpins; ++spin) {
                DispatchPending();
                if (Access::ConnectionState(connection) != kStateConnecting) {
                    break;
                }
                std::this_thread::yield();
            }
        } else if (Access::IsDelaying(connection)) {
            platform::AdvanceTestClock(1000 * kSecond);
            connection.OnTimer();
        } else {
            return;
        }
    }
}

void StartJob(CNNTPSocket& connection, int job) {
    switch (job) {
        case 0:
            Access::CallSequence(connection, Steps::GetToIdle, Steps::Callback);
            break;
        case 1:
            connection.WindowProc(connection.GetWindowHandle(), kMsgStartArticleJob, 0, 0);
            break;
        default:
            connection.WindowProc(connection.GetWindowHandle(), kMsgStartXoverJob, 0, 0);
            break;
    }
}

void Operate(CNNTPSocket& connection, ServerEnd& server, ByteSource& input) {
    switch (const std::uint8_t operation = input.Next(); operation) {
        case 0:
            platform::AdvanceTestClock(200 * kSecond);
            connection.OnTimer();
            break;
        case 1:
            server.Close();
            DispatchPending();
            break;
        case 2:
            connection.OnReceive(10054);
            break;
        default: {
            const std::string piece = input.Take(input.Next());
            if (!piece.empty()) {
                server.peer.Write(piece);
            }
            // Handed over directly rather than through the message loop, so that the bytes
            // just sent are what this notification reads.
            connection.OnReceive(0);
            break;
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Harness harness;
    ByteSource input(data, size);
    const std::uint8_t mode = input.Next();
    // Tracing costs a file append per line; now and then it runs, to cover its formatting.
    VerboseLog = (mode & 0xF0) == 0xF0;
    harness.root.SetInt("writetodisk", mode & 1);

    ServerEnd server;
    if (!server.peer.Listening()) {
        return 0;
    }
    harness.root.SetInt("news_port", server.peer.Port());
    {
        auto connection = std::make_unique<CNNTPSocket>();
        connection->Settings.SetParent(&harness.root);
        Access::SetGroupName(*connection, "alt.binaries.test");
        StartJob(*connection, (mode >> 1) % 3);
        for (int operation = 0; operation < kMaxOperations && !input.Empty(); ++operation) {
            Settle(*connection, server);
            Operate(*connection, server, input);
        }
        connection->ResetConnection();
    }
    server.Close();
    DispatchPending();
    return 0;
}
