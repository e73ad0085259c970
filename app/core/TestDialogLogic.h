#pragma once
// The test dialog's logic without any widget toolkit: the settings store loaded from the
// registry, the values the Connections box and the "Write to disk" box store, Go with its
// confirmation from 20 connections on, Stop, and the once-a-second rate text. The Qt dialog
// forwards its controls here; the headless front end and the tests drive the same code.
//
// Every member is called on the front end's main thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineCounters.h"
#pragma push_macro("slots")
#undef slots
#include "engine/EngineMonitor.h"
#pragma pop_macro("slots")

class SettingsStore;
class EngineGroup;
class EngineMonitor;
class EngineCpuClock;

class TestDialogLogic {
public:
    // Caption of the confirmation box, as the application's title.
    static constexpr const char* kApplicationTitle = "zodiva";
    // From this many connections on, Go asks before it starts.
    static constexpr int kConfirmFromConnections = 20;

    // Answers the confirmation question (text as ConfirmationText gives it): true for Yes.
    using ConfirmFn = std::function<bool(const std::string& question)>;

    enum class GoResult {
        kStarted,            // an engine thread runs and the download was started
        kDeclined,           // the user said No; nothing runs (a previous run was stopped)
        kEngineUnavailable,  // the socket library did not start; the error box was shown and
                             // nothing runs
    };

    TestDialogLogic();
    // Stops a running engine thread first, as closing the dialog does.
    ~TestDialogLogic();
    TestDialogLogic(const TestDialogLogic&) = delete;
    TestDialogLogic& operator=(const TestDialogLogic&) = delete;

    // Loads the dialog's store from the registry key of the program (a missing key leaves it
    // empty). Returns what the store's Load returned.
    bool LoadSettings();
    // The top of the settings chain (registry values plus what the controls stored).
    SettingsStore& Settings();

    // What the Connections box shows when the dialog opens: "DLConnections", default 1.
    unsigned ConnectionsForDisplay() const;
    // The check box state: "writetodisk" (default 1) is not 0.
    bool WriteToDisk() const;
    // The check box was clicked: stores "writetodisk" 1 or 0. A running download sees the
    // change at its next article line.
    void SetWriteToDisk(bool checked);

    // Go: stores the Connections box text (an unsigned number; anything else reads as 0) as
    // "DLConnections", stops a previous engine thread, asks `confirm` from 20 connections on,
    // starts a new engine thread and the download. Writes the Go trace lines.
    // While it starts the engine thread, Go blocks the calling thread until the engine exists;
    // if the socket library fails, the engine thread calls MessageBoxA during that wait, so a
    // message-box handler must not wait for the calling thread to show that box (an MB_OK box
    // can be shown later, asynchronously). kEngineUnavailable comes after the box was shown.
    GoResult Go(const std::string& connectionsText, const ConfirmFn& confirm);
    // Stop: stops and deletes the engine thread, if any (waits up to the stop time-out).
    void Stop();
    bool IsRunning() const;

    // The rate text for the static next to the buttons: "%.2fKBps" of the engine's total
    // rate while a download runs, empty otherwise.
    std::string RateText() const;
    // The total rate in KiB/s while a download runs, 0 otherwise.
    double TotalRate() const;
    // Counters of the running download, or of the last one after Stop (zero before any Go).
    EngineTotals Totals() const;

    // What the engine publishes of the running download (status rows, connections,
    // failures, latencies), or of the last one after Stop; null before any Go. A new one
    // at every Go.
    std::shared_ptr<EngineMonitor> Monitor() const { return m_monitor; }

    // "Are you sure you want to make N connections to the server?"
    static std::string ConfirmationText(int connections);
    // The Connections box read as an unsigned number, as the dialog reads it: digits only
    // (surrounding blanks allowed), no sign; anything else, or a value beyond 32 bits, is 0.
    static unsigned ReadUnsignedNumber(const std::string& text);

    // Options every connection of the next downloads gets ("ReceiveTimeout", "ErrorDelay",
    // "RejectDelay": whole seconds as text); an option left out keeps the engine's default.
    void SetConnectionOptions(std::map<std::string, std::string> options);
    const std::map<std::string, std::string>& ConnectionOptions() const {
        return m_connectionOptions;
    }

    // The engine threads' CPU time in seconds, of the running download or of the last one
    // after Stop; negative before any Go or when the system cannot tell.
    double EngineCpuSeconds() const;
    // The same for each engine thread, in engine order (one entry without --engines).
    std::vector<double> EngineCpuSecondsEach() const;

    // What a watcher of the download gets when it starts; all empty when it stops.
    struct DownloadWatch {
        std::shared_ptr<const EngineCounters> counters;
        std::shared_ptr<const EngineMonitor> monitor;
        // The engine thread's CPU seconds so far (negative: unknown); safe on any thread, also
        // after Stop.
        std::function<double()> engineCpuSeconds;
        std::uint64_t connections = 0;  // the connections the download was asked to make
    };
    // Told of each download when it starts, and of an empty watch when it stops (called on
    // this thread, inside Go and Stop).
    using CountersListener = std::function<void(const DownloadWatch&)>;
    void SetCountersListener(CountersListener listener);

    // How many engine threads the next Go starts (1 to EngineGroup::kMaxEngines; default 1,
    // the dialog's one engine). The connections are shared out among them.
    void SetEngineCount(int engines);

    // How long Stop waits for the engine thread before giving it up (default 30000 ms);
    // tests shorten it.
    void SetStopWaitMilliseconds(std::uint32_t milliseconds);

private:
    void StopThread();

    std::shared_ptr<SettingsStore> m_settings;
    std::unique_ptr<EngineGroup> m_group;
    int m_engines = 1;
    std::shared_ptr<EngineCounters> m_lastCounters;
    CountersListener m_countersListener;
    std::shared_ptr<EngineMonitor> m_monitor;
    std::vector<std::shared_ptr<EngineCpuClock>> m_cpuClocks;  // one per engine thread
    std::map<std::string, std::string> m_connectionOptions;
    std::uint32_t m_stopWaitMs;
};
