#pragma once
// The engine threads of one download. One engine thread drives every connection given to it,
// so on a machine with several cores a download may run on several (--engines N): each a
// CQWThread with its own CQW and its share of the connections, numbered 1..total across
// them. They share one EngineCounters (bytes, articles and one rate slot each) and one
// EngineMonitor, so a front end reads one download whatever the number of engines, and they
// write to the same trace and error logs as any engine does. With one engine the download
// runs exactly as it always did.
//
// Every member is called on the front end's thread.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineCounters.h"
#include "engine/EngineMonitor.h"
#include "platform/windows.h"

class CQWThread;
class SettingsStore;

class EngineGroup {
public:
    static constexpr int kMaxEngines = static_cast<int>(EngineCounters::kMaxEngines);

    enum class StartResult {
        kStarted,
        kThreadFailed,       // an engine thread could not be created; nothing runs
        kEngineUnavailable,  // the socket library did not start; the engine thread said why
    };

    // The engines read their settings through `settings` (the dialog's store), which they
    // keep alive while they run.
    EngineGroup(std::shared_ptr<SettingsStore> settings, int engines, std::uint32_t stopWaitMs);
    // Stops what still runs.
    ~EngineGroup();
    EngineGroup(const EngineGroup&) = delete;
    EngineGroup& operator=(const EngineGroup&) = delete;

    // Options every connection gets (see CQWThread::SetConnectionOptions); before Start.
    void SetConnectionOptions(std::map<std::string, std::string> options) {
        m_connectionOptions = std::move(options);
    }

    // Starts the engine threads and their downloads of `connections` connections in all,
    // publishing into `monitor`. Engines beyond the number of connections are not started.
    StartResult Start(int connections, std::shared_ptr<EngineMonitor> monitor);
    // Asks every engine thread to end, then waits for each (at most the stop wait each).
    void Stop();

    std::size_t EngineCount() const { return m_threads.size(); }
    // The sum of the engines' rates (KiB/s) as of their last ticks.
    double TotalRate() const;
    std::shared_ptr<EngineCounters> Counters() const { return m_counters; }
    // The engine threads' handles, in engine order (for their CPU time); valid until Stop.
    std::vector<HANDLE> ThreadHandles() const;

    // Each engine's share of `connections`: as even as can be, the first engines taking one
    // more; no share is 0 unless there are no connections (then one engine with none).
    static std::vector<int> Shares(int connections, int engines);

private:
    StartResult StartEngine(int index, int share, int firstNumber,
                            const std::shared_ptr<EngineMonitor>& monitor);

    std::shared_ptr<SettingsStore> m_settings;
    int m_engines;
    std::uint32_t m_stopWaitMs;
    std::shared_ptr<EngineCounters> m_counters = std::make_shared<EngineCounters>();
    std::map<std::string, std::string> m_connectionOptions;
    std::vector<std::unique_ptr<CQWThread>> m_threads;
};
