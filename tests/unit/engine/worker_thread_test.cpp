// The thread object's start and stop protocols, including a thread that does not end in time.
#include <atomic>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/WorkerThread.h"
#include "unit/engine/EngineTestKit.h"

namespace {


constexpr UINT kProbeMessage = WM_USER + 7;

// Records what happens on the thread; its Run may be held busy by the test.
struct Probe {
    std::atomic<bool> initDone{false};
    std::atomic<bool> exitDone{false};
    std::atomic<bool> destroyed{false};
    std::atomic<bool> runEntered{false};
    std::atomic<int> probesSeen{0};
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    bool blockInRun = false;
};

class ProbeThread : public WorkerThread {
public:
    explicit ProbeThread(std::shared_ptr<Probe> probe) : probe_(std::move(probe)) {}
    ~ProbeThread() override { probe_->destroyed = true; }

    bool OnInitInstance() override {
        probe_->initDone = true;
        return true;
    }
    bool OnExitInstance() override {
        probe_->exitDone = true;
        return true;
    }
    int Run() override {
        probe_->runEntered = true;
        if (probe_->blockInRun) {
            probe_->released.wait();
        }
        MSG message;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (message.hwnd == nullptr && message.message == WM_CLOSE) {
                break;
            }
            if (message.message == kProbeMessage) {
                ++probe_->probesSeen;
            }
        }
        return 0;
    }

private:
    std::shared_ptr<Probe> probe_;
};

TEST(WorkerThreadTest, StopWithoutStartAndSecondStopReturnAtOnce) {
    auto probe = std::make_shared<Probe>();
    auto thread = std::make_unique<ProbeThread>(probe);
    thread->Stop();
    EXPECT_FALSE(thread->IsStarted());
    EXPECT_FALSE(probe->initDone);

    ASSERT_TRUE(thread->Start());
    thread->Stop();
    EXPECT_FALSE(thread->IsStarted());
    EXPECT_TRUE(probe->exitDone);
    thread->Stop();  // already stopped: nothing to wait for
    EXPECT_FALSE(thread->WasAbandoned());
    WorkerThread::Release(std::move(thread));
    EXPECT_TRUE(probe->destroyed);
}

TEST(WorkerThreadTest, StartReturnsAfterInitAndEarlyMessagesReachRun) {
    auto probe = std::make_shared<Probe>();
    auto thread = std::make_unique<ProbeThread>(probe);
    ASSERT_TRUE(thread->Start());
    EXPECT_TRUE(probe->initDone);
    EXPECT_NE(thread->GetThreadId(), GetCurrentThreadId());
    // Posted before Run may have begun: the queue exists from the thread's first step.
    ASSERT_TRUE(PostThreadMessageA(thread->GetThreadId(), kProbeMessage, 0, 0));
    ASSERT_TRUE(PostThreadMessageA(thread->GetThreadId(), kProbeMessage, 0, 0));
    thread->Stop();
    EXPECT_EQ(probe->probesSeen, 2);
    EXPECT_TRUE(probe->exitDone);
    WorkerThread::Release(std::move(thread));
}

TEST(WorkerThreadTest, ReleaseStopsAThreadStillRunning) {
    auto probe = std::make_shared<Probe>();
    auto thread = std::make_unique<ProbeThread>(probe);
    ASSERT_TRUE(thread->Start());
    WorkerThread::Release(std::move(thread));
    EXPECT_TRUE(probe->exitDone);
    EXPECT_TRUE(probe->destroyed);
}

TEST(WorkerThreadTest, BusyThreadIsGivenUpAndCleansUpAfterItselfLater) {
    auto probe = std::make_shared<Probe>();
    probe->blockInRun = true;
    auto thread = std::make_unique<ProbeThread>(probe);
    thread->SetStopWaitMilliseconds(30);
    auto token = std::make_shared<int>(42);
    std::weak_ptr<int> watch = token;
    thread->KeepAliveWhileRunning(token);
    token.reset();

    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(WaitUntil([&] { return probe->runEntered.load(); }));
    const int abandonedBefore = WorkerThread::AbandonedThreadsRunning();
    thread->Stop();
    EXPECT_TRUE(thread->WasAbandoned());
    EXPECT_FALSE(thread->IsStarted());
    EXPECT_EQ(WorkerThread::AbandonedThreadsRunning(), abandonedBefore + 1);
    thread->Stop();  // a second Stop does not wait again

    // The owner lets go at once, as it would after Stop; the object must live on for the
    // thread, and so must what the thread was given to keep.
    WorkerThread::Release(std::move(thread));
    EXPECT_FALSE(probe->destroyed);
    EXPECT_FALSE(watch.expired());

    probe->release.set_value();
    ASSERT_TRUE(WaitUntil([&] { return probe->destroyed.load(); }));
    EXPECT_TRUE(probe->exitDone);
    ASSERT_TRUE(
        WaitUntil([&] { return WorkerThread::AbandonedThreadsRunning() == abandonedBefore; }));
    EXPECT_TRUE(watch.expired());
}

TEST(WorkerThreadTest, ThreadThatEndsAfterTheTimeOutButBeforeReleaseIsDeletedByTheOwner) {
    auto probe = std::make_shared<Probe>();
    probe->blockInRun = true;
    auto thread = std::make_unique<ProbeThread>(probe);
    thread->SetStopWaitMilliseconds(10);
    ASSERT_TRUE(thread->Start());
    ASSERT_TRUE(WaitUntil([&] { return probe->runEntered.load(); }));
    thread->Stop();
    ASSERT_TRUE(thread->WasAbandoned());
    probe->release.set_value();
    ASSERT_TRUE(WaitUntil([&] { return probe->exitDone.load(); }));
    ASSERT_TRUE(WaitUntil([&] { return WorkerThread::AbandonedThreadsRunning() == 0; }));
    EXPECT_FALSE(probe->destroyed);  // the thread finished without having been handed it
    WorkerThread::Release(std::move(thread));
    EXPECT_TRUE(probe->destroyed);
}

}  // namespace
