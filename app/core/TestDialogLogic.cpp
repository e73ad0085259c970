#include "app/core/TestDialogLogic.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <utility>

#include "app/core/EngineCpuClock.h"
#include "app/core/EngineGroup.h"
#include "engine/WorkerThread.h"
#include "support/Log.h"
#include "support/SettingsStore.h"

namespace {

// The CPU of all engine threads together; negative when there are none or one is unknown.
double SumOfSeconds(const std::vector<std::shared_ptr<EngineCpuClock>>& clocks) {
    double total = 0.0;
    for (const auto& clock : clocks) {
        const double seconds = clock->Seconds();
        if (seconds < 0) {
            return -1.0;
        }
        total += seconds;
    }
    return clocks.empty() ? -1.0 : total;
}

}  // namespace

TestDialogLogic::TestDialogLogic()
    : m_settings(std::make_shared<SettingsStore>()), m_stopWaitMs(WorkerThread::kStopWaitMs) {}

TestDialogLogic::~TestDialogLogic() {
    StopThread();
}

bool TestDialogLogic::LoadSettings() {
    return m_settings->Load(HKEY_CURRENT_USER, kSettingsRegistryKey);
}

SettingsStore& TestDialogLogic::Settings() {
    return *m_settings;
}

unsigned TestDialogLogic::ConnectionsForDisplay() const {
    return static_cast<unsigned>(m_settings->GetInt(keys::kConnections, true));
}

bool TestDialogLogic::WriteToDisk() const {
    return m_settings->GetInt(keys::kWriteToDisk, true) != 0;
}

void TestDialogLogic::SetWriteToDisk(bool checked) {
    m_settings->SetInt(keys::kWriteToDisk, checked ? 1 : 0);
}

TestDialogLogic::GoResult TestDialogLogic::Go(const std::string& connectionsText,
                                              const ConfirmFn& confirm) {
    DebugLogPrintf("%T: OnGo: Thread Id %d\n", static_cast<int>(GetCurrentThreadId()));
    m_settings->SetInt(keys::kConnections, static_cast<int>(ReadUnsignedNumber(connectionsText)));
    StopThread();

    const int connections = m_settings->GetInt(keys::kConnections, true);
    if (connections >= kConfirmFromConnections) {
        if (!confirm || !confirm(ConfirmationText(connections))) {
            return GoResult::kDeclined;
        }
    }

    auto group = std::make_unique<EngineGroup>(m_settings, m_engines, m_stopWaitMs);
    group->SetConnectionOptions(m_connectionOptions);
    auto monitor = std::make_shared<EngineMonitor>();
    switch (group->Start(connections, monitor)) {
        case EngineGroup::StartResult::kStarted:
            break;
        case EngineGroup::StartResult::kThreadFailed:
            MessageBoxA(nullptr, "Could not start the engine thread.", kApplicationTitle, MB_OK);
            return GoResult::kEngineUnavailable;
        case EngineGroup::StartResult::kEngineUnavailable:
            return GoResult::kEngineUnavailable;
    }
    m_lastCounters = group->Counters();
    m_monitor = std::move(monitor);
    m_cpuClocks.clear();
    for (HANDLE thread : group->ThreadHandles()) {
        m_cpuClocks.push_back(std::make_shared<EngineCpuClock>(thread));
    }
    if (m_countersListener) {
        const auto clocks = m_cpuClocks;
        m_countersListener({m_lastCounters, m_monitor, [clocks] { return SumOfSeconds(clocks); },
                            static_cast<std::uint64_t>(connections < 0 ? 0 : connections)});
    }
    m_group = std::move(group);
    return GoResult::kStarted;
}

void TestDialogLogic::Stop() {
    StopThread();
}

void TestDialogLogic::StopThread() {
    if (m_group) {
        // Stop closes the threads' handles; the CPU of the download is what they used until
        // now (closing the connections is not part of it).
        for (const auto& clock : m_cpuClocks) {
            clock->Freeze();
        }
        m_group->Stop();
        m_group.reset();
        if (m_countersListener) {
            m_countersListener(DownloadWatch{});
        }
    }
    FlushDebugLog();  // the run's last trace lines are in the file when Stop returns
}

bool TestDialogLogic::IsRunning() const {
    return m_group != nullptr;
}

double TestDialogLogic::TotalRate() const {
    return m_group ? m_group->TotalRate() : 0.0;
}

std::string TestDialogLogic::RateText() const {
    if (!m_group) {
        return std::string();
    }
    char text[64];
    std::snprintf(text, sizeof(text), "%.2fKBps", m_group->TotalRate());
    return text;
}

void TestDialogLogic::SetConnectionOptions(std::map<std::string, std::string> options) {
    m_connectionOptions = std::move(options);
}

double TestDialogLogic::EngineCpuSeconds() const {
    return SumOfSeconds(m_cpuClocks);
}

std::vector<double> TestDialogLogic::EngineCpuSecondsEach() const {
    std::vector<double> seconds;
    for (const auto& clock : m_cpuClocks) {
        seconds.push_back(clock->Seconds());
    }
    return seconds;
}

EngineTotals TestDialogLogic::Totals() const {
    return m_lastCounters ? m_lastCounters->Read() : EngineTotals{};
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
    m_countersListener = std::move(listener);
}

void TestDialogLogic::SetEngineCount(int engines) {
    m_engines = std::clamp(engines, 1, EngineGroup::kMaxEngines);
}

void TestDialogLogic::SetStopWaitMilliseconds(std::uint32_t milliseconds) {
    m_stopWaitMs = milliseconds;
}
