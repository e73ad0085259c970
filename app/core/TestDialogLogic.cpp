#include "app/core/TestDialogLogic.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "app/core/EngineCpuClock.h"
#include "engine/QW.h"
#include "engine/QWThread.h"
#include "support/Log.h"
#include "support/SettingsStore.h"

TestDialogLogic::TestDialogLogic()
    : settings_(std::make_shared<SettingsStore>()), stopWaitMs_(WorkerThread::kStopWaitMs) {}

TestDialogLogic::~TestDialogLogic() {
    StopThread();
}

bool TestDialogLogic::LoadSettings() {
    return settings_->Load(HKEY_CURRENT_USER, kSettingsRegistryKey);
}

SettingsStore& TestDialogLogic::Settings() {
    return *settings_;
}

unsigned TestDialogLogic::ConnectionsForDisplay() const {
    return static_cast<unsigned>(settings_->GetInt("DLConnections", 1, true));
}

bool TestDialogLogic::WriteToDisk() const {
    return settings_->GetInt("writetodisk", 1, true) != 0;
}

void TestDialogLogic::SetWriteToDisk(bool checked) {
    settings_->SetInt("writetodisk", checked ? 1 : 0);
}

TestDialogLogic::GoResult TestDialogLogic::Go(const std::string& connectionsText,
                                              const ConfirmFn& confirm) {
    DebugLogPrintf("%T: OnGo: Thread Id %d\n", static_cast<int>(GetCurrentThreadId()));
    settings_->SetInt("DLConnections", static_cast<int>(ReadUnsignedNumber(connectionsText)));
    StopThread();

    const int connections = settings_->GetInt("DLConnections", 1, true);
    if (connections >= kConfirmFromConnections) {
        if (!confirm || !confirm(ConfirmationText(connections))) {
            return GoResult::kDeclined;
        }
    }

    auto thread = std::make_unique<CQWThread>();
    DebugLogPrintf("%T: CQWThread = %d\n",
                   static_cast<int>(reinterpret_cast<std::intptr_t>(thread.get())));
    // The engine reads this store through its parent link for as long as it runs.
    thread->KeepAliveWhileRunning(settings_);
    thread->SetStopWaitMilliseconds(stopWaitMs_);
    auto monitor = std::make_shared<EngineMonitor>();
    thread->SetMonitor(monitor);
    thread->SetConnectionOptions(connectionOptions_);
    if (!thread->Start()) {
        MessageBoxA(nullptr, "Could not start the engine thread.", kApplicationTitle, MB_OK);
        return GoResult::kEngineUnavailable;
    }
    if (thread->m_pQW == nullptr) {
        // The socket library did not start; the engine thread has shown why. Nothing may be
        // done through the missing engine, and an engine thread without engine is of no use.
        WorkerThread::Release(std::move(thread));
        return GoResult::kEngineUnavailable;
    }
    thread->m_pQW->Settings.SetParent(settings_.get());
    lastCounters_ = thread->Counters();
    monitor_ = std::move(monitor);
    cpuClock_ = std::make_shared<EngineCpuClock>(thread->ThreadHandle());
    if (countersListener_) {
        std::shared_ptr<const EngineCpuClock> clock = cpuClock_;
        countersListener_({lastCounters_, thread->Monitor(), [clock] { return clock->Seconds(); },
                           static_cast<std::uint64_t>(connections < 0 ? 0 : connections)});
    }
    thread->m_pQW->StartDownload();
    thread_ = std::move(thread);
    return GoResult::kStarted;
}

void TestDialogLogic::Stop() {
    StopThread();
}

void TestDialogLogic::StopThread() {
    if (thread_) {
        if (cpuClock_) {
            // Stop closes the thread's handle; the CPU of the download is what it used until
            // now (closing the connections is not part of it).
            cpuClock_->Freeze();
        }
        thread_->Stop();
        WorkerThread::Release(std::move(thread_));
        if (countersListener_) {
            countersListener_(DownloadWatch{});
        }
    }
    FlushDebugLog();  // the run's last trace lines are in the file when Stop returns
}

bool TestDialogLogic::IsRunning() const {
    return thread_ != nullptr;
}

double TestDialogLogic::TotalRate() const {
    if (thread_ && thread_->m_pQW != nullptr) {
        return thread_->m_pQW->GetTotalRate();
    }
    return 0.0;
}

std::string TestDialogLogic::RateText() const {
    if (!thread_ || thread_->m_pQW == nullptr) {
        return std::string();
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.2fKBps", thread_->m_pQW->GetTotalRate());
    return text;
}

void TestDialogLogic::SetConnectionOptions(std::map<std::string, std::string> options) {
    connectionOptions_ = std::move(options);
}

double TestDialogLogic::EngineCpuSeconds() const {
    return cpuClock_ ? cpuClock_->Seconds() : -1.0;
}

EngineTotals TestDialogLogic::Totals() const {
    return lastCounters_ ? lastCounters_->Read() : EngineTotals{};
}

std::string TestDialogLogic::ConfirmationText(int connections) {
    return "Are you sure you want to make " + std::to_string(connections) +
           " connections to the server?";
}

unsigned TestDialogLogic::ReadUnsignedNumber(const std::string& text) {
    std::size_t begin = 0;
    std::size_t end = text.size();
    while (begin < end && std::isspace(static_cast<unsigned char>(text[begin]))) {
        ++begin;
    }
    while (end > begin && std::isspace(static_cast<unsigned char>(text[end - 1]))) {
        --end;
    }
    if (begin == end) {
        return 0;
    }
    unsigned long long value = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') {
            return 0;
        }
        value = value * 10 + static_cast<unsigned>(c - '0');
        if (value > std::numeric_limits<unsigned>::max()) {
            return 0;
        }
    }
    return static_cast<unsigned>(value);
}

void TestDialogLogic::SetCountersListener(CountersListener listener) {
    countersListener_ = std::move(listener);
}

void TestDialogLogic::SetStopWaitMilliseconds(std::uint32_t milliseconds) {
    stopWaitMs_ = milliseconds;
}
