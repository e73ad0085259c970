// GetThreadTimes: the CPU time of one thread, read from another while it runs and kept once
// it has ended. Only ratios between threads of the same test are compared, never wall time.
#include "platform/Kernel.h"
#include "platform/Time.h"
#include "platform/windows.h"  // WINAPI, the thread routines' calling convention

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>

namespace {

std::uint64_t Ticks(const FILETIME& time) {
    return (static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

struct Times {
    std::uint64_t creation = 0, exit = 0, cpu = 0;  // 100-ns units
};

bool Read(HANDLE thread, Times& times) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    if (!GetThreadTimes(thread, &creation, &exit, &kernel, &user))
        return false;
    times.creation = Ticks(creation);
    times.exit = Ticks(exit);
    times.cpu = Ticks(kernel) + Ticks(user);
    return true;
}

// A thread that spins until told to stop, or waits on an event until it is set.
struct Worker {
    std::atomic<bool> stop{false};
    std::atomic<bool> started{false};
    HANDLE wake = nullptr;  // set: the thread waits on it instead of spinning
    volatile std::uint64_t sink = 0;

    static unsigned WINAPI Routine(void* self) {
        auto* worker = static_cast<Worker*>(self);
        worker->started = true;
        if (worker->wake != nullptr) {
            WaitForSingleObject(worker->wake, INFINITE);
            return 0;
        }
        while (!worker->stop.load(std::memory_order_relaxed))
            worker->sink = worker->sink * 31 + 7;
        return 0;
    }
    HANDLE Start() {
        HANDLE thread = reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, Routine, this, 0, nullptr));
        while (thread != nullptr && !started)
            Sleep(1);
        return thread;
    }
};

// Waits until `thread` has used at least `cpu` (100-ns units); false when it never does
// within a patience far beyond what the machine needs.
bool WaitForCpu(HANDLE thread, std::uint64_t cpu) {
    const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    Times times;
    while (Read(thread, times) && times.cpu < cpu) {
        if (std::chrono::steady_clock::now() > giveUp)
            return false;
        Sleep(5);
    }
    return times.cpu >= cpu;
}

TEST(ThreadTimes, CpuTimeGrowsWhileTheThreadWorksAndIsKeptOnceItEnded) {
    Worker busy;
    HANDLE thread = busy.Start();
    ASSERT_NE(thread, nullptr);
    Times running;
    ASSERT_TRUE(Read(thread, running));
    EXPECT_NE(running.creation, 0u);
    ASSERT_TRUE(WaitForCpu(thread, running.cpu + 200000));  // 20 ms more
    busy.stop = true;
    ASSERT_EQ(WaitForSingleObject(thread, INFINITE), WAIT_OBJECT_0);
#ifndef _WIN32  // Wine reports no CPU time for an ended thread, where Windows keeps it
    Times ended, later;
    ASSERT_TRUE(Read(thread, ended));
    EXPECT_GE(ended.cpu, running.cpu + 200000);
    EXPECT_GE(ended.exit, ended.creation);
    EXPECT_EQ(ended.creation, running.creation);
    ASSERT_TRUE(Read(thread, later));
    EXPECT_EQ(later.cpu, ended.cpu);  // an ended thread uses no more
#endif
    CloseHandle(thread);
}

TEST(ThreadTimes, AWaitingThreadUsesFarLessThanABusyOne) {
    Worker waiting;
    waiting.wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(waiting.wake, nullptr);
    Worker busy;
    HANDLE sleeper = waiting.Start();
    HANDLE spinner = busy.Start();
    ASSERT_NE(sleeper, nullptr);
    ASSERT_NE(spinner, nullptr);
    ASSERT_TRUE(WaitForCpu(spinner, 500000));  // 50 ms
    Times spun, slept;
    ASSERT_TRUE(Read(spinner, spun));
    ASSERT_TRUE(Read(sleeper, slept));
    EXPECT_LT(slept.cpu * 10, spun.cpu);
    busy.stop = true;
    SetEvent(waiting.wake);
    WaitForSingleObject(spinner, INFINITE);
    WaitForSingleObject(sleeper, INFINITE);
    CloseHandle(spinner);
    CloseHandle(sleeper);
    CloseHandle(waiting.wake);
}

TEST(ThreadTimes, AHandleThatIsNoThreadIsRefused) {
    FILETIME creation{}, exit{}, kernel{}, user{};
    EXPECT_FALSE(GetThreadTimes(nullptr, &creation, &exit, &kernel, &user));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
#ifndef _WIN32  // our layer's handles are never reused, so a closed one is simply unknown
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    EXPECT_FALSE(GetThreadTimes(event, &creation, &exit, &kernel, &user));
    CloseHandle(event);
#endif
}

}  // namespace
