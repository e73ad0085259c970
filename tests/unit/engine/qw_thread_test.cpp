// The engine thread: start-up of the socket library and the engine, its trace lines, the
// start-up failure path, and the message loop's stop request.
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <string>

#include "common/TestClock.h"
#include "engine/QW.h"
#include "engine/QWThread.h"
#include "net/HiddenWindow.h"
#include "unit/engine/EngineTestKit.h"

namespace {

using engine_test::FindLine;
using engine_test::SplitLines;

// Restores the platform's start-up and message-box behaviour after a test that changed it.
class PlatformHooks {
public:
    ~PlatformHooks() {
        platform::SetWsaStartupHook(nullptr);
        platform::SetMessageBoxHandler(nullptr);
    }
};

// Every test starts an engine thread: what it leaves behind (a window, a socket, a queued
// message or timer) fails the test.
class CQWThreadTest : public ::testing::Test {
protected:
    LeakCheck Leaks;
};

struct ShownBox {
    std::string text;
    std::string caption;
    UINT type = 0;
    int count = 0;
};

TEST_F(CQWThreadTest, StartCreatesTheEngineAndStopDeletesItWithTheTraceLines) {
    TempWorkingDir dir;
    auto thread = std::make_unique<CQWThread>();
    ASSERT_TRUE(thread->Start());
    ASSERT_NE(thread->m_pQW, nullptr);
    ASSERT_NE(thread->m_pQW->GetWindowHandle(), nullptr);
    const std::string id = std::to_string(thread->GetThreadId());
    thread->Stop();
    EXPECT_FALSE(thread->WasAbandoned());
    EXPECT_EQ(thread->m_pQW, nullptr);
    WorkerThread::Release(std::move(thread));

    const auto lines = SplitLines(ReadWholeFile("log.txt"));
    const int init = FindLine(lines, ": OnInitInstance - ThreadId " + id);
    ASSERT_GE(init, 0);
    const int alloc = FindLine(lines, "OnInitInstance - Allocating m_pQW", init);
    ASSERT_GT(alloc, init);
    EXPECT_EQ(lines[alloc], "OnInitInstance - Allocating m_pQW");  // no time stamp
    const int window = FindLine(lines, ": CQW(): Creating QW Window", alloc);
    EXPECT_GT(window, alloc);
    EXPECT_GT(FindLine(lines, ": CQW(): Setting timer.  Thread Id " + id, window), window);
    const int exit = FindLine(lines, ": OnExitInstance - Deleting m_pQW.  ThreadId " + id);
    ASSERT_GT(exit, window);
    EXPECT_GT(FindLine(lines, ": ~CQW(): Killing timer.  Thread Id " + id, exit), exit);
}

TEST_F(CQWThreadTest, ConnectionOptionsGivenBeforeStartReachTheEngine) {
    TempWorkingDir dir;
    auto thread = std::make_unique<CQWThread>();
    thread->SetConnectionOptions({{"RejectDelay", "7"}});
    ASSERT_TRUE(thread->Start());
    ASSERT_NE(thread->m_pQW, nullptr);
    // Start returns once the engine exists; nothing else touches the table afterwards.
    const std::map<std::string, std::string> expected = {{"RejectDelay", "7"}};
    EXPECT_EQ(thread->m_pQW->ConnectionOptions, expected);
    thread->Stop();
    WorkerThread::Release(std::move(thread));
}

TEST_F(CQWThreadTest, SocketLibraryFailureShowsTheBoxAndLeavesNoEngine) {
    TempWorkingDir dir;
    PlatformHooks restore;
    platform::SetWsaStartupHook([](WORD) { return WSAVERNOTSUPPORTED; });
    ShownBox box;
    platform::SetMessageBoxHandler([&box](HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
        EXPECT_EQ(owner, nullptr);
        box.text = text;
        box.caption = caption;
        box.type = type;
        ++box.count;
        return IDOK;
    });

    auto thread = std::make_unique<CQWThread>();
    ASSERT_TRUE(thread->Start());
    EXPECT_EQ(thread->m_pQW, nullptr);
    EXPECT_EQ(thread->Counters(), nullptr);
    EXPECT_EQ(box.count, 1);
    EXPECT_EQ(box.text, "Could not initialize WINSOCK 1.1.  Exiting.");
    EXPECT_EQ(box.caption, "Quorrel - Error");
    EXPECT_EQ(box.type, static_cast<UINT>(MB_OK));
    thread->Stop();  // the thread serves its loop all the same and ends normally
    EXPECT_FALSE(thread->WasAbandoned());
    WorkerThread::Release(std::move(thread));

    const std::string errors = ReadWholeFile("errorlog.txt");
    EXPECT_NE(errors.find(": Error: Unable to initialize WINSOCK 2.2"), std::string::npos);
    EXPECT_NE(errors.find(": Error: Unable to initialize WINSOCK 2.0"), std::string::npos);
    const std::string trace = ReadWholeFile("log.txt");
    EXPECT_EQ(trace.find("Allocating m_pQW"), std::string::npos);
    EXPECT_NE(trace.find("OnExitInstance - Deleting m_pQW"), std::string::npos);
}

TEST_F(CQWThreadTest, AFailedVersionFollowedByAWorkingOneLeavesOnlyItsErrorLine) {
    TempWorkingDir dir;
    PlatformHooks restore;
    platform::SetWsaStartupHook(
        [](WORD version) { return version == 0x0202 ? WSAVERNOTSUPPORTED : 0; });
    auto thread = std::make_unique<CQWThread>();
    ASSERT_TRUE(thread->Start());
    EXPECT_NE(thread->m_pQW, nullptr);
    WorkerThread::Release(std::move(thread));

    const std::string errors = ReadWholeFile("errorlog.txt");
    EXPECT_NE(errors.find("Unable to initialize WINSOCK 2.2"), std::string::npos);
    EXPECT_EQ(errors.find("Unable to initialize WINSOCK 2.0"), std::string::npos);
}

TEST_F(CQWThreadTest, StartWaitsUntilTheErrorBoxIsClosed) {
    TempWorkingDir dir;
    PlatformHooks restore;
    platform::SetWsaStartupHook([](WORD) { return WSASYSNOTREADY; });
    std::promise<void> shown;
    std::promise<void> dismiss;
    std::shared_future<void> dismissed = dismiss.get_future().share();
    platform::SetMessageBoxHandler([&](HWND, LPCSTR, LPCSTR, UINT) {
        shown.set_value();
        dismissed.wait();
        return IDOK;
    });

    auto thread = std::make_unique<CQWThread>();
    auto started = std::async(std::launch::async, [&] { return thread->Start(); });
    shown.get_future().wait();
    // The box is up: Start is held until the user closes it.
    EXPECT_EQ(started.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
    dismiss.set_value();
    EXPECT_TRUE(started.get());
    EXPECT_EQ(thread->m_pQW, nullptr);
    WorkerThread::Release(std::move(thread));
}

// A window of the test thread that notes the WM_CLOSE messages it receives.
class CloseCounter : public HiddenWindow {
public:
    CloseCounter() {
        RECT rect = {0, 0, 0, 0};
        Create("TestWindow", "Test", 0, rect, nullptr, nullptr);
    }
    LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override {
        if (message == WM_CLOSE) {
            ++closes;
            return 0;
        }
        if (message == WM_TIMER) {
            // Once: the tick notes how many messages went before it and ends the loop.
            KillTimer(hwnd, wParam);
            closesBeforeTimer = closes;
            PostThreadMessageA(GetCurrentThreadId(), WM_CLOSE, 0, 0);
            return 0;
        }
        return HiddenWindow::WindowProc(hwnd, message, wParam, lParam);
    }
    // Queues `count` WM_CLOSE to the window, as a flood of notifications would stand.
    bool PostCloses(int count) {
        for (int i = 0; i < count; ++i) {
            if (!PostMessageA(GetWindowHandle(), WM_CLOSE, 0, 0))
                return false;
        }
        return true;
    }
    int closes = 0;
    int closesBeforeTimer = -1;
};

TEST_F(CQWThreadTest, OnlyAThreadMessageCloseEndsTheLoop) {
    TempWorkingDir dir;
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    CloseCounter window;
    ASSERT_NE(window.GetWindowHandle(), nullptr);
    ASSERT_TRUE(PostMessageA(window.GetWindowHandle(), WM_CLOSE, 0, 0));
    ASSERT_TRUE(PostMessageA(window.GetWindowHandle(), WM_CLOSE, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_CLOSE, 0, 0));
    ASSERT_TRUE(PostMessageA(window.GetWindowHandle(), WM_CLOSE, 0, 0));

    CQWThread loop;  // never started: its Run serves the calling thread's queue
    EXPECT_EQ(loop.Run(), 0);
    EXPECT_EQ(window.closes, 2);  // the one after the stop request stays queued
    DispatchPending();
    EXPECT_EQ(window.closes, 3);
}

// A flood of notifications queued before the stop request (as a server that pre-sends
// megabytes leaves them) must not delay it: the loop takes it within a few messages.
TEST_F(CQWThreadTest, StopRequestOvertakesAFloodOfQueuedMessages) {
    TempWorkingDir dir;
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    CloseCounter window;
    ASSERT_NE(window.GetWindowHandle(), nullptr);
    constexpr int kFlood = 5000;
    ASSERT_TRUE(window.PostCloses(kFlood));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_CLOSE, 0, 0));

    CQWThread loop;
    EXPECT_EQ(loop.Run(), 0);
    EXPECT_GT(window.closes, 0) << "messages before the request are still served";
    EXPECT_LE(window.closes, 16) << "the stop request waited behind the flood";
    DispatchPending();
    EXPECT_EQ(window.closes, kFlood) << "the rest stays queued, none is lost or repeated";

    // A quit is taken ahead of a flood the same way.
    window.closes = 0;
    ASSERT_TRUE(window.PostCloses(kFlood));
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 0, 0));
    EXPECT_EQ(loop.Run(), 0);
    EXPECT_LE(window.closes, 16);
    DispatchPending();
}

// Windows makes WM_TIMER only when no posted message waits, so under a steady flood of
// socket notifications the engine's tick (the rate, time-outs, retry delays) would never come.
// The loop asks for a due timer itself within a few messages.
TEST_F(CQWThreadTest, DueTimerOvertakesAFloodOfQueuedMessages) {
    TempWorkingDir dir;
    TestClock clock;
    MSG message;
    PeekMessageA(&message, nullptr, WM_USER, WM_USER, PM_NOREMOVE);
    CloseCounter window;
    ASSERT_NE(window.GetWindowHandle(), nullptr);
    constexpr UINT kPeriodMs = 10;
    ASSERT_NE(SetTimer(window.GetWindowHandle(), 1, kPeriodMs, nullptr), 0u);
    clock.AdvanceMilliseconds(kPeriodMs);
#ifdef _WIN32
    Sleep(5 * kPeriodMs);  // the system's timers follow the real clock, not the test clock
#endif
    constexpr int kFlood = 5000;
    ASSERT_TRUE(window.PostCloses(kFlood));

    CQWThread loop;
    EXPECT_EQ(loop.Run(), 0);  // ended by the stop request the tick posts
    EXPECT_GE(window.closesBeforeTimer, 0) << "the timer never came";
    EXPECT_LE(window.closesBeforeTimer, 16) << "the due timer waited behind the flood";
    DispatchPending();
    EXPECT_EQ(window.closes, kFlood);
}

}  // namespace
