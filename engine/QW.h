#pragma once
// The download engine: owns the pool of NNTP connections, creates them on its start message,
// relays its 2-second tick to each of them and sums their receive rates. Lives entirely on
// the engine thread; the front end's thread only posts the start message (StartDownload) and
// reads the published figures (GetTotalRate, Counters), which never blocks the engine.
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineCounters.h"
#include "engine/EngineMonitor.h"
#include "engine/StatusRowWindow.h"
#include "net/HiddenWindow.h"
#include "support/SettingsStore.h"

class CNNTPSocket;

class CQW : public HiddenWindow {
public:
    static constexpr UINT kMsgStartDownload = WM_APP + 10;  // 0x800A, to the engine's window
    static constexpr UINT_PTR kTimerId = 1;
    static constexpr UINT kTickMilliseconds = 2000;
    static constexpr const char* kGroup = "alt.binaries.test";
    static constexpr int kFirstArticle = 1;

    CQW();
    ~CQW() override;

    LRESULT WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) override;
    // Relays the tick to every connection, in creation order.
    virtual void OnTimer();

    // Front end's thread: posts the start message to the engine's window; nothing else.
    void StartDownload();
    // Any thread: the sum of the connections' rates in KiB/s as of the last tick.
    double GetTotalRate() const;
    std::shared_ptr<EngineCounters> Counters() const { return m_counters; }
    // Where the connections publish their activity, failures, latencies and status rows.
    // The engine makes its own; a front end that wants to watch gives one before the start
    // message (engine thread, or before the engine thread runs its loop).
    std::shared_ptr<EngineMonitor> Monitor() const { return m_monitor; }
    void SetMonitor(std::shared_ptr<EngineMonitor> monitor);

    // On the start message: "DLConnections" connections, each on the group with one job.
    void CreateConnections();

    // One engine of several serving one download (EngineGroup): the download's counters,
    // shared with the other engines, this engine's slot among them (0 .. kMaxEngines - 1) and
    // the number of its first connection (0: numbered on from the monitor's connections).
    // Called before the start message, like SetMonitor.
    void JoinGroup(std::shared_ptr<EngineCounters> counters, std::size_t engineIndex,
                   std::int32_t firstConnectionNumber);

    // The engine's own store; its parent is set by the front end to the dialog's store.
    SettingsStore Settings;
    // Copied into the ConnectionOptions of every connection created from then on; set on the
    // engine thread before the start message (CQWThread does it when it creates the engine).
    std::map<std::string, std::string> ConnectionOptions;

    const std::vector<std::unique_ptr<CNNTPSocket>>& Connections() const { return m_connections; }

private:
    void PublishTotalRate();
    void DeleteConnections();
    void ShowDiskSpaceShortage();

    std::vector<std::unique_ptr<CNNTPSocket>> m_connections;
    std::shared_ptr<EngineCounters> m_counters = std::make_shared<EngineCounters>();
    std::size_t m_engineIndex = 0;
    std::int32_t m_firstConnectionNumber = 0;
    std::shared_ptr<EngineMonitor> m_monitor;
    // The status list every connection writes to, shown through the monitor's row queue.
    std::unique_ptr<StatusRowWindow> m_statusWindow;
    StatusList m_statusList;
    // The last time disk space ran short that this monitor's status list was told of.
    std::uint64_t m_diskSpaceEpisodeShown = 0;
};
