#include "app/core/EngineGroup.h"

#include <algorithm>
#include <cstdint>
#include <utility>

#include "engine/QW.h"
#include "engine/QWThread.h"
#include "support/Log.h"
#include "support/SettingsStore.h"

EngineGroup::EngineGroup(std::shared_ptr<SettingsStore> settings, int engines,
                         std::uint32_t stopWaitMs)
    : m_settings(std::move(settings)),
      m_engines(std::clamp(engines, 1, kMaxEngines)),
      m_stopWaitMs(stopWaitMs) {}

EngineGroup::~EngineGroup() {
    Stop();
}

std::vector<int> EngineGroup::Shares(int connections, int engines) {
    connections = std::max(connections, 0);
    const int count = std::max(1, std::min(engines, connections));
    std::vector<int> shares(static_cast<std::size_t>(count), connections / count);
    for (int i = 0; i < connections % count; ++i) {
        ++shares[static_cast<std::size_t>(i)];
    }
    return shares;
}

EngineGroup::StartResult EngineGroup::Start(int connections,
                                            std::shared_ptr<EngineMonitor> monitor) {
    const std::vector<int> shares = Shares(connections, m_engines);
    int firstNumber = 1;
    for (std::size_t i = 0; i < shares.size(); ++i) {
        const StartResult result =
            StartEngine(static_cast<int>(i), shares[i], firstNumber, monitor);
        if (result != StartResult::kStarted) {
            Stop();
            return result;
        }
        firstNumber += shares[i];
    }
    // Every engine exists before any download starts, so none waits on another's start-up.
    for (const auto& thread : m_threads) {
        thread->m_pQW->StartDownload();
    }
    return StartResult::kStarted;
}

EngineGroup::StartResult EngineGroup::StartEngine(int index, int share, int firstNumber,
                                                  const std::shared_ptr<EngineMonitor>& monitor) {
    auto thread = std::make_unique<CQWThread>();
    DebugLogPrintf("%T: CQWThread = %d\n",
                   static_cast<int>(reinterpret_cast<std::intptr_t>(thread.get())));
    // The engine reads this store through its parent link for as long as it runs.
    thread->KeepAliveWhileRunning(m_settings);
    thread->SetStopWaitMilliseconds(m_stopWaitMs);
    thread->SetMonitor(monitor);
    thread->SetConnectionOptions(m_connectionOptions);
    if (m_engines > 1) {
        thread->JoinGroup(m_counters, static_cast<std::size_t>(index), firstNumber);
    }
    if (!thread->Start()) {
        return StartResult::kThreadFailed;
    }
    if (thread->m_pQW == nullptr) {
        // The socket library did not start; the engine thread has shown why. Nothing may be
        // done through the missing engine, and an engine thread without engine is of no use.
        WorkerThread::Release(std::move(thread));
        return StartResult::kEngineUnavailable;
    }
    thread->m_pQW->Settings.SetParent(m_settings.get());
    if (m_engines > 1) {
        // The engine's own store holds its share; every other key falls through as before.
        thread->m_pQW->Settings.SetInt(keys::kConnections, share);
    } else {
        m_counters = thread->Counters();
    }
    m_threads.push_back(std::move(thread));
    return StartResult::kStarted;
}

void EngineGroup::Stop() {
    // All are asked first, so that they wind down together rather than one after another.
    for (const auto& thread : m_threads) {
        if (thread->IsStarted()) {
            PostThreadMessageA(thread->GetThreadId(), WM_CLOSE, 0, 0);
        }
    }
    for (auto& thread : m_threads) {
        thread->Stop();
        WorkerThread::Release(std::move(thread));
    }
    m_threads.clear();
}

std::vector<HANDLE> EngineGroup::ThreadHandles() const {
    std::vector<HANDLE> handles;
    for (const auto& thread : m_threads) {
        handles.push_back(thread->ThreadHandle());
    }
    return handles;
}

double EngineGroup::TotalRate() const {
    return m_threads.empty() ? 0.0 : m_counters->Rate();
}
