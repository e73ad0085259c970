// The Windows Sockets layer over loopback: start-up, the error table, asynchronous selection
// with its re-enabling rules, and asynchronous host lookup.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/LeakCheck.h"
#include "common/RawPeer.h"
#include "common/TestClock.h"
#include "common/TestWindowParent.h"
#include "platform/LeakCounts.h"
#include "platform/windows.h"

namespace {

constexpr UINT kMsgLookup = 0x8000;
constexpr UINT kMsgSocket = 0x8001;
constexpr UINT_PTR kGuardTimer = 99;

struct Note {
    UINT message;
    WPARAM wParam;
    WORD event;
    WORD error;
};

thread_local std::vector<Note>* tNotes = nullptr;

LRESULT CALLBACK NoteProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kMsgSocket || message == kMsgLookup) {
        if (tNotes != nullptr) {
            tNotes->push_back(
                {message, wParam, WSAGETSELECTEVENT(lParam), WSAGETSELECTERROR(lParam)});
        }
        return 0;
    }
    if (message == WM_TIMER && wParam == kGuardTimer) {
        ADD_FAILURE() << "no notification arrived";
        if (tNotes != nullptr)
            tNotes->push_back({WM_TIMER, wParam, 0, 0});
        return 0;
    }
    return DefWindowProcA(hwnd, message, wParam, lParam);
}

// Windows Sockets for one test, started before the server's end is made: on Windows that end's
// sockets (the system's own) need it too.
struct WinsockStarted {
    WinsockStarted() {
        WSADATA data;
        started = WSAStartup(0x0202, &data) == 0;
    }
    ~WinsockStarted() {
        if (started)
            WSACleanup();
    }
    bool started = false;
};

class WinsockTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(winsock_.started);
        static const bool registered = [] {
            WNDCLASSEXA windowClass{};
            windowClass.cbSize = sizeof windowClass;
            windowClass.lpfnWndProc = &NoteProc;
            windowClass.lpszClassName = "WinsockTestWindow";
            return RegisterClassExA(&windowClass) != 0;
        }();
        ASSERT_TRUE(registered);
        hwnd_ = CreateWindowExA(0, "WinsockTestWindow", "", 0, 0, 0, 0, 0, kNoParent, nullptr,
                                nullptr, nullptr);
        ASSERT_NE(hwnd_, nullptr);
        tNotes = &notes_;
    }

    void TearDown() override {
        for (SOCKET s : sockets_) closesocket(s);
        DestroyWindow(hwnd_);
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        tNotes = nullptr;
    }

    SOCKET Track(SOCKET s) {
        EXPECT_NE(s, INVALID_SOCKET) << WSAGetLastError();
        sockets_.push_back(s);
        return s;
    }

    void Forget(SOCKET s) {
        closesocket(s);
        std::erase(sockets_, s);
    }

    static sockaddr_in Loopback(u_short port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = inet_addr("127.0.0.1");
        return address;
    }

    // A selected client connected to the server end (the system's own socket); both
    // FD_CONNECT and FD_WRITE seen.
    void ConnectPair(SOCKET* client) {
        ASSERT_TRUE(server_.Listening());
        *client = Track(socket(AF_INET, SOCK_STREAM, 0));
        ASSERT_EQ(WSAAsyncSelect(*client, hwnd_, kMsgSocket, FD_ALL_EVENTS), 0);
        sockaddr_in address = Loopback(server_.Port());
        ASSERT_EQ(connect(*client, reinterpret_cast<sockaddr*>(&address), sizeof address),
                  SOCKET_ERROR);
        ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
        ASSERT_TRUE(server_.Accept());
        PumpUntil([&] { return Count(*client, FD_WRITE) == 1; });
        ASSERT_EQ(Count(*client, FD_CONNECT), 1);
        EXPECT_EQ(notes_.front().event, FD_CONNECT);
        EXPECT_EQ(notes_.front().error, 0);
        notes_.clear();
    }

    // Dispatches messages (sleeping in GetMessageA) until the condition holds; a 10-second
    // guard timer turns a missing notification into a failure instead of a hang.
    template <typename Condition>
    void PumpUntil(Condition done) {
        SetTimer(hwnd_, kGuardTimer, 10000, nullptr);
        MSG msg;
        while (!done() && !GuardFired() && GetMessageA(&msg, nullptr, 0, 0) > 0) {
            DispatchMessageA(&msg);
        }
        KillTimer(hwnd_, kGuardTimer);
    }

    // Dispatches what is queued now, after waiting until `s` holds `bytes` unread. Our layer
    // may already hold bytes it took from the kernel, and FIONREAD then counts only those (what
    // one recv can take), so there the wait is for the server's bytes to be acknowledged.
    void SettleAndDrain(SOCKET s, u_long bytes) {
#ifdef _WIN32
        u_long readable = 0;
        while (ioctlsocket(s, FIONREAD, &readable) == 0 && readable < bytes) {
            std::this_thread::yield();
        }
#else
        (void)s;
        if (bytes > 0) {
            ASSERT_TRUE(server_.WaitUntilAcknowledged());
        }
#endif
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    }

    bool GuardFired() const {
        for (const Note& note : notes_) {
            if (note.message == WM_TIMER)
                return true;
        }
        return false;
    }

    int Count(SOCKET s, long event) const {
        int count = 0;
        for (const Note& note : notes_) {
            count += note.message == kMsgSocket && note.wParam == s && note.event == event;
        }
        return count;
    }

    void SendAll(const std::string& data) {
        ASSERT_TRUE(server_.Write(data));
    }

    LeakCheck leaks_;  // first: checked once everything below is gone
    WinsockStarted winsock_;
    RawPeer server_;
    HWND hwnd_ = nullptr;
    std::vector<Note> notes_;
    std::vector<SOCKET> sockets_;
};

TEST(WinsockStartup, CallsFailUntilStartedAndTheHookCanRefuseVersions) {
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(WSAGetLastError(), WSANOTINITIALISED);
    EXPECT_EQ(WSACleanup(), SOCKET_ERROR);

    platform::SetWsaStartupHook([](WORD version) {
        return version == 0x0202 || version == 0x0002 ? WSAVERNOTSUPPORTED : 0;
    });
    WSADATA data;
    EXPECT_EQ(WSAStartup(0x0202, &data), WSAVERNOTSUPPORTED);
    EXPECT_EQ(WSAStartup(0x0002, &data), WSAVERNOTSUPPORTED);
    ASSERT_EQ(WSAStartup(0x0101, &data), 0);
    EXPECT_EQ(data.wVersion, 0x0101);
    platform::SetWsaStartupHook(nullptr);

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(closesocket(s), 0);
    EXPECT_EQ(closesocket(s), SOCKET_ERROR);  // closing twice: unknown handle, no harm
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
    SOCKET next = socket(AF_INET, SOCK_STREAM, 0);
#ifndef _WIN32
    // Never reused: our layer's rule. Windows hands a closed socket's number out again.
    EXPECT_NE(next, s);
#endif
    closesocket(next);
    EXPECT_EQ(WSACleanup(), 0);
    EXPECT_EQ(socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
}

#ifndef _WIN32  // the errno table is our layer's; Windows reports its own codes
TEST(WinsockTables, ErrorCodesFromErrno) {
    EXPECT_EQ(platform::WsaErrorFromErrno(EWOULDBLOCK), WSAEWOULDBLOCK);
    EXPECT_EQ(platform::WsaErrorFromErrno(EINPROGRESS), WSAEWOULDBLOCK);
    EXPECT_EQ(platform::WsaErrorFromErrno(ECONNREFUSED), WSAECONNREFUSED);
    EXPECT_EQ(platform::WsaErrorFromErrno(ECONNRESET), WSAECONNRESET);
    EXPECT_EQ(platform::WsaErrorFromErrno(ETIMEDOUT), WSAETIMEDOUT);
    EXPECT_EQ(platform::WsaErrorFromErrno(EHOSTUNREACH), WSAEHOSTUNREACH);
    EXPECT_EQ(platform::WsaErrorFromErrno(ENETUNREACH), WSAENETUNREACH);
    EXPECT_EQ(platform::WsaErrorFromErrno(EPIPE), WSAESHUTDOWN);
    EXPECT_EQ(platform::WsaErrorFromErrno(0), 0);
    EXPECT_EQ(platform::WsaErrorFromErrno(ENOENT), WSASYSCALLFAILURE);
}
#endif

TEST(WinsockTables, ByteOrderAndAddresses) {
    EXPECT_EQ(htons(0x1234), 0x3412);
    EXPECT_EQ(ntohs(htons(119)), 119);
    EXPECT_EQ(htonl(0x01020304UL), 0x04030201UL);
    EXPECT_EQ(inet_addr("10.1.2.3"), htonl(0x0A010203UL));
    EXPECT_EQ(inet_addr("not an address"), INADDR_NONE);
    EXPECT_EQ(inet_addr(""), INADDR_NONE);
    EXPECT_EQ(inet_addr(nullptr), INADDR_NONE);
    static_assert(sizeof(sockaddr_in) == 16 && sizeof(sockaddr) == 16);
}

TEST_F(WinsockTest, ConnectToAClosedPortIsRefusedOnceAndNothingFollows) {
    u_short port = 0;
    {
        RawPeer probe;
        port = probe.Port();
    }  // the port is now closed
    SOCKET client = Track(socket(AF_INET, SOCK_STREAM, 0));
    ASSERT_EQ(WSAAsyncSelect(client, hwnd_, kMsgSocket, FD_ALL_EVENTS), 0);
    sockaddr_in address = Loopback(port);
    const int result = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (result == SOCKET_ERROR && WSAGetLastError() == WSAECONNREFUSED) {
        GTEST_SKIP() << "refused at once; reported through the return value";
    }
    ASSERT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
    PumpUntil([&] { return Count(client, FD_CONNECT) == 1; });
    ASSERT_EQ(notes_.size(), 1u);
    EXPECT_EQ(notes_[0].error, WSAECONNREFUSED);
    SettleAndDrain(client, 0);
    EXPECT_EQ(notes_.size(), 1u) << "no FD_CLOSE or FD_WRITE after a failed connect";
#ifndef _WIN32  // our layer refuses another attempt; Windows allows one (the engine never asks)
    EXPECT_EQ(connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEINVAL);
#endif
}

TEST_F(WinsockTest, ReadIsReEnabledOnlyByRecv) {
    SOCKET client = 0;
    ConnectPair(&client);

    SendAll(std::string(100, 'a'));
    PumpUntil([&] { return Count(client, FD_READ) == 1; });

    // More data while the first FD_READ is unanswered: no second one.
    SendAll(std::string(100, 'b'));
    SettleAndDrain(client, 200);
    EXPECT_EQ(Count(client, FD_READ), 1);

    // A recv that leaves data brings exactly one more.
    char buffer[512];
    ASSERT_EQ(recv(client, buffer, 50, 0), 50);
    SettleAndDrain(client, 150);
    EXPECT_EQ(Count(client, FD_READ), 2);

    // A recv that takes everything brings none; new data brings one again.
    ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 150);
    SettleAndDrain(client, 0);
    EXPECT_EQ(Count(client, FD_READ), 2);
    SendAll("c");
    PumpUntil([&] { return Count(client, FD_READ) == 3; });
    EXPECT_EQ(Count(client, FD_CLOSE), 0);

    // recv on an empty non-blocking socket: WSAEWOULDBLOCK.
    ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 1);
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAEWOULDBLOCK);
}

// Windows leaves the queued FD_READ in place and recv then fails with WSAEWOULDBLOCK, which
// the receive path takes as "wait again".
#ifndef _WIN32
TEST_F(WinsockTest, QueuedReadNotificationIsWithdrawnWhenItsDataWasTaken) {
    SOCKET client = 0;
    ConnectPair(&client);
    SendAll("abc");
    u_long readable = 0;
    while (ioctlsocket(client, FIONREAD, &readable) == 0 && readable < 3) {
        std::this_thread::yield();
    }
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));  // FD_READ is queued
    // A recv before the notification is taken empties the socket: nothing is left for it.
    char buffer[16];
    ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 3);
    SettleAndDrain(client, 0);
    EXPECT_EQ(Count(client, FD_READ), 0);
    SendAll("d");
    PumpUntil([&] { return Count(client, FD_READ) == 1; });
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 1);
}
#endif

TEST_F(WinsockTest, FionreadCountsWhatIsLeftAfterAPartialRecv) {
    SOCKET client = 0;
    ConnectPair(&client);
    SendAll(std::string(1000, 'a') + std::string(1000, 'b'));
    PumpUntil([&] { return Count(client, FD_READ) == 1; });
    SettleAndDrain(client, 2000);
#ifndef _WIN32
    const std::uint64_t reads = platform::KernelReadCount();
#endif
    char buffer[4000];
    ASSERT_EQ(recv(client, buffer, 400, 0), 400);
    u_long readable = 0;
    ASSERT_EQ(ioctlsocket(client, FIONREAD, &readable), 0);
    EXPECT_EQ(readable, 1600u);
    ASSERT_EQ(recv(client, buffer, 1100, 0), 1100);
    EXPECT_EQ(std::string(buffer + 599, 2), "ab") << "bytes in their order";
    ASSERT_EQ(ioctlsocket(client, FIONREAD, &readable), 0);
    EXPECT_EQ(readable, 500u);
    ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 500);
    EXPECT_EQ(buffer[499], 'b');
#ifndef _WIN32
    // Taken from the kernel in one read at most; the rest came from the layer's own buffer.
    EXPECT_LE(platform::KernelReadCount() - reads, 1u);
#endif
    ASSERT_EQ(ioctlsocket(client, FIONREAD, &readable), 0);
    EXPECT_EQ(readable, 0u);
    SettleAndDrain(client, 0);
    // One more was queued after each recv that left bytes; taken after the last recv, they
    // find nothing and are withdrawn.
    EXPECT_EQ(Count(client, FD_READ), 1);
    EXPECT_EQ(Count(client, FD_CLOSE), 0);
}

// What the layer holds for a socket must never outlive a recv: one made while nothing is
// selected still counts, or a close would later be announced as data that is not there.
TEST_F(WinsockTest, ARecvWithoutSelectionStillCountsAgainstTheKnownBytes) {
    SOCKET client = 0;
    ConnectPair(&client);
    SendAll(std::string(1000, 'a'));
    PumpUntil([&] { return Count(client, FD_READ) == 1; });
    SettleAndDrain(client, 1000);
    ASSERT_EQ(WSAAsyncSelect(client, hwnd_, 0, 0), 0);
    char buffer[1000];
    ASSERT_EQ(recv(client, buffer, sizeof buffer, 0), 1000);  // fills its buffer exactly
    ASSERT_EQ(WSAAsyncSelect(client, hwnd_, kMsgSocket, FD_ALL_EVENTS), 0);
    server_.Close();
    PumpUntil([&] { return Count(client, FD_CLOSE) == 1; });
    EXPECT_EQ(Count(client, FD_READ), 1) << "no FD_READ for bytes already taken";
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 0);
}

TEST_F(WinsockTest, GracefulCloseComesOnceAfterTheLastData) {
    SOCKET client = 0;
    ConnectPair(&client);
    SendAll(std::string(3000, 'x'));
    server_.Close();

    std::string received;
    char buffer[1000];
    PumpUntil([&] {
        if (Count(client, FD_CLOSE) > 0)
            return true;
        // Answer each FD_READ with one recv of at most 1000 bytes.
        if (!notes_.empty() && notes_.back().event == FD_READ && received.size() < 3000 &&
            Count(client, FD_READ) > static_cast<int>(received.size() / 1000)) {
            const int got = recv(client, buffer, sizeof buffer, 0);
            if (got > 0)
                received.append(buffer, got);
        }
        return false;
    });
    EXPECT_EQ(received.size(), 3000u) << "FD_CLOSE came before the data was read";
    ASSERT_EQ(Count(client, FD_CLOSE), 1);
    EXPECT_EQ(notes_.back().event, FD_CLOSE);
    EXPECT_EQ(notes_.back().error, 0);
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 0);
    SettleAndDrain(client, 0);
    EXPECT_EQ(Count(client, FD_CLOSE), 1);
}

// Answers every FD_READ with one recv of at most `piece` bytes, until FD_CLOSE; what was read.
std::string ReadUntilClose(SOCKET client, int piece, const std::vector<Note>& notes,
                           const std::function<void(std::function<bool()>)>& pump) {
    std::string received;
    std::vector<char> buffer(static_cast<size_t>(piece));
    std::size_t answered = 0;
    pump([&] {
        for (; answered < notes.size(); ++answered) {
            const Note& note = notes[answered];
            if (note.message != kMsgSocket || note.wParam != client)
                continue;
            if (note.event == FD_CLOSE)
                return true;
            if (note.event != FD_READ)
                continue;
            const int got = recv(client, buffer.data(), piece, 0);
            if (got > 0)
                received.append(buffer.data(), static_cast<size_t>(got));
        }
        return false;
    });
    return received;
}

// More than the layer takes from the kernel at once, read in the engine's 16 KiB pieces:
// every byte in order, and the close only after the last of them.
TEST_F(WinsockTest, LargeDataThenCloseArrivesWholeBeforeTheClose) {
    SOCKET client = 0;
    ConnectPair(&client);
    std::string data(700 * 1024, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
    std::thread writer([&] {
        server_.Write(data);
        server_.Close();
    });
    const std::string received =
        ReadUntilClose(client, 16384, notes_, [&](std::function<bool()> done) { PumpUntil(done); });
    writer.join();
    EXPECT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data) << "bytes lost or out of order";
    ASSERT_EQ(Count(client, FD_CLOSE), 1);
    EXPECT_EQ(notes_.back().event, FD_CLOSE);
    EXPECT_EQ(notes_.back().error, 0);
    char buffer[16];
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 0);
}

// A reset behind data: the data first, then FD_CLOSE with the reset, never the other way.
TEST_F(WinsockTest, DataThenResetGivesTheDataThenTheReset) {
    SOCKET client = 0;
    ConnectPair(&client);
    SendAll(std::string(5000, 'r'));
    SettleAndDrain(client, 5000);
    server_.Reset();
    const std::string received =
        ReadUntilClose(client, 1000, notes_, [&](std::function<bool()> done) { PumpUntil(done); });
    EXPECT_EQ(received, std::string(5000, 'r'));
    ASSERT_EQ(Count(client, FD_CLOSE), 1);
    EXPECT_EQ(notes_.back().event, FD_CLOSE);
    EXPECT_EQ(notes_.back().error, WSAECONNRESET);
}

TEST_F(WinsockTest, CloseWithNothingToReadComesAloneAndOnce) {
    SOCKET client = 0;
    ConnectPair(&client);
    server_.Close();
    PumpUntil([&] { return Count(client, FD_CLOSE) == 1; });
    u_long readable = 1;
    EXPECT_EQ(ioctlsocket(client, FIONREAD, &readable), 0);
    EXPECT_EQ(readable, 0u);
    char buffer[16];
    EXPECT_EQ(recv(client, buffer, sizeof buffer, 0), 0);
    SettleAndDrain(client, 0);
    EXPECT_EQ(Count(client, FD_READ), 0);
    EXPECT_EQ(Count(client, FD_CLOSE), 1);
    EXPECT_EQ(notes_.back().error, 0);
}

TEST_F(WinsockTest, ResetIsReportedAsConnectionReset) {
    SOCKET client = 0;
    ConnectPair(&client);
    server_.Reset();
    PumpUntil([&] { return Count(client, FD_CLOSE) == 1; });
    EXPECT_EQ(notes_.back().error, WSAECONNRESET);
}

// Windows may still deliver what was queued before closesocket (its documentation says so).
#ifndef _WIN32
TEST_F(WinsockTest, NothingArrivesForAClosedSocket) {
    SOCKET client = 0;
    ConnectPair(&client);
    SendAll("data");
    server_.Close();
    // Let FD_READ (and perhaps FD_CLOSE) be queued, then close before they are taken.
    u_long readable = 0;
    while (ioctlsocket(client, FIONREAD, &readable) == 0 && readable < 4) {
        std::this_thread::yield();
    }
    MSG msg;
    PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE);  // readiness becomes queued notifications
    Forget(client);
    SettleAndDrain(INVALID_SOCKET, 0);
    EXPECT_EQ(Count(client, FD_READ) + Count(client, FD_CLOSE), 0);
    EXPECT_EQ(send(client, "x", 1, 0), SOCKET_ERROR);
    EXPECT_EQ(WSAGetLastError(), WSAENOTSOCK);
}
#endif

TEST_F(WinsockTest, WriteIsReportedAgainAfterASendWouldBlock) {
    SOCKET client = 0;
    ConnectPair(&client);
    const int small = 4096;
    setsockopt(client, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char*>(&small), sizeof small);
    const std::string block(65536, 'w');
    int blocked = 0;
    for (int i = 0; i < 1000 && blocked == 0; ++i) {
        if (send(client, block.data(), static_cast<int>(block.size()), 0) == SOCKET_ERROR) {
            blocked = WSAGetLastError();
        }
    }
    ASSERT_EQ(blocked, WSAEWOULDBLOCK);
    EXPECT_EQ(Count(client, FD_WRITE), 0);
    // The server drains; sending becomes possible again and FD_WRITE says so.
    std::thread drain([&] { server_.ReadUntilClosed(); });
    PumpUntil([&] { return Count(client, FD_WRITE) >= 1; });
    Forget(client);
    drain.join();
}

TEST_F(WinsockTest, DueTimerGoesAheadOfSocketTraffic) {
    TestClock clock;
    SOCKET client = 0;
    ConnectPair(&client);
    SetTimer(hwnd_, 1, 2000, nullptr);
    SendAll(std::string(1000, 'z'));
    u_long readable = 0;
    while (ioctlsocket(client, FIONREAD, &readable) == 0 && readable < 1000) {
        std::this_thread::yield();
    }
    MSG msg;
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE));
    EXPECT_EQ(msg.message, kMsgSocket);  // FD_READ is queued
    clock.AdvanceMilliseconds(2000);
    ASSERT_TRUE(PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, WM_TIMER);
    KillTimer(hwnd_, 1);
}

// --- Host lookup ---------------------------------------------------------------------------

TEST_F(WinsockTest, LookupOfLocalhostFillsTheBufferOnDelivery) {
    alignas(hostent) char buffer[MAXGETHOSTSTRUCT] = {};
    HANDLE task = WSAAsyncGetHostByName(hwnd_, kMsgLookup, "localhost", buffer, sizeof buffer);
    ASSERT_NE(task, nullptr);
    PumpUntil([&] { return !notes_.empty(); });
    ASSERT_EQ(notes_.size(), 1u);
    EXPECT_EQ(notes_[0].wParam, reinterpret_cast<WPARAM>(task));
    ASSERT_EQ(notes_[0].error, 0);
    const auto* entry = reinterpret_cast<const hostent*>(buffer);
    EXPECT_EQ(entry->h_addrtype, AF_INET);
    ASSERT_EQ(entry->h_length, 4);
    ASSERT_NE(entry->h_addr_list[0], nullptr);
    in_addr first{};
    std::memcpy(&first, entry->h_addr_list[0], 4);
    EXPECT_EQ(first.s_addr, inet_addr("127.0.0.1"));
    EXPECT_EQ(platform::PendingLookupCount(), 0u);
}

TEST_F(WinsockTest, FinishedOrUnknownLookupCannotBeCancelled) {
    alignas(hostent) char buffer[MAXGETHOSTSTRUCT] = {};
    HANDLE task = WSAAsyncGetHostByName(hwnd_, kMsgLookup, "localhost", buffer, sizeof buffer);
    ASSERT_NE(task, nullptr);
    PumpUntil([&] { return !notes_.empty(); });
    ASSERT_EQ(notes_.size(), 1u);
    EXPECT_EQ(WSACancelAsyncRequest(task), SOCKET_ERROR);  // finished: nothing to cancel
    EXPECT_EQ(WSACancelAsyncRequest(reinterpret_cast<HANDLE>(0x7770)), SOCKET_ERROR);
}

TEST_F(WinsockTest, LookupOfAnUnknownNameReportsAHostError) {
    char buffer[MAXGETHOSTSTRUCT] = {};
    HANDLE task =
        WSAAsyncGetHostByName(hwnd_, kMsgLookup, "no-such-host.invalid", buffer, sizeof buffer);
    ASSERT_NE(task, nullptr);
    PumpUntil([&] { return !notes_.empty(); });
    ASSERT_EQ(notes_.size(), 1u);
    EXPECT_TRUE(notes_[0].error == WSAHOST_NOT_FOUND || notes_[0].error == WSATRY_AGAIN ||
                notes_[0].error == WSANO_DATA || notes_[0].error == WSANO_RECOVERY)
        << notes_[0].error;
    EXPECT_EQ(buffer[0], 0);
}

// Our layer writes the result when it is delivered; Windows writes it before posting, and a
// result already queued can no longer be cancelled there (WSAEALREADY).
#ifndef _WIN32
TEST_F(WinsockTest, CancelledOrOrphanedLookupNeverWritesOrArrives) {
    alignas(hostent) char cancelled[MAXGETHOSTSTRUCT] = {};
    alignas(hostent) char orphaned[MAXGETHOSTSTRUCT] = {};
    HWND doomed = CreateWindowExA(0, "WinsockTestWindow", "", 0, 0, 0, 0, 0, kNoParent, nullptr,
                                  nullptr, nullptr);
    HANDLE first =
        WSAAsyncGetHostByName(hwnd_, kMsgLookup, "localhost", cancelled, sizeof cancelled);
    HANDLE second =
        WSAAsyncGetHostByName(doomed, kMsgLookup, "localhost", orphaned, sizeof orphaned);
    ASSERT_NE(first, nullptr);
    ASSERT_NE(second, nullptr);
    // Wait until both results sit in the queue (peeking does not deliver them).
    MSG msg;
    while (!PeekMessageA(&msg, hwnd_, kMsgLookup, kMsgLookup, PM_NOREMOVE)) {
        std::this_thread::yield();
    }
    while (!PeekMessageA(&msg, doomed, kMsgLookup, kMsgLookup, PM_NOREMOVE)) {
        std::this_thread::yield();
    }
    ASSERT_EQ(WSACancelAsyncRequest(first), 0);
    DestroyWindow(doomed);
    SettleAndDrain(INVALID_SOCKET, 0);
    EXPECT_TRUE(notes_.empty());
    EXPECT_EQ(std::string(cancelled, 8), std::string(8, '\0'));
    EXPECT_EQ(std::string(orphaned, 8), std::string(8, '\0'));
    EXPECT_EQ(WSACancelAsyncRequest(first), SOCKET_ERROR);
    EXPECT_EQ(WSACancelAsyncRequest(second), SOCKET_ERROR);  // over with its window
    EXPECT_EQ(platform::PendingLookupCount(), 0u);
}
#endif

TEST_F(WinsockTest, TooSmallABufferGetsNoBuffersWithTheNeededLength) {
    char buffer[8] = {};
    ASSERT_NE(WSAAsyncGetHostByName(hwnd_, kMsgLookup, "localhost", buffer, sizeof buffer),
              nullptr);
    MSG msg{};
    SetTimer(hwnd_, kGuardTimer, 10000, nullptr);
    while (GetMessageA(&msg, nullptr, 0, 0) > 0 && msg.message != kMsgLookup) {
        DispatchMessageA(&msg);
    }
    KillTimer(hwnd_, kGuardTimer);
    ASSERT_EQ(msg.message, kMsgLookup);
    EXPECT_EQ(WSAGETASYNCERROR(msg.lParam), WSAENOBUFS);
    EXPECT_GT(WSAGETASYNCBUFLEN(msg.lParam), sizeof(hostent));
    EXPECT_EQ(std::string(buffer, 8), std::string(8, '\0'));
}

}  // namespace
