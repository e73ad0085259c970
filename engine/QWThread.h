#pragma once
// The engine thread: starts the socket library, creates the download engine and serves every
// message of the engine's windows until a WM_CLOSE thread message ends it.
#include <map>
#include <memory>
#include <string>

#include "engine/EngineCounters.h"
#include "engine/EngineMonitor.h"
#include "engine/WorkerThread.h"

class CQW;

class CQWThread : public WorkerThread {
public:
    CQWThread() = default;

    bool OnInitInstance() override;
    bool OnExitInstance() override;
    int Run() override;

    // The engine's counters; they outlive the engine, so the owner can read the final figures
    // after Stop. Null when the engine could not be created.
    std::shared_ptr<EngineCounters> Counters() const { return m_counters; }

    // What the front end watches: call before Start. The engine publishes into it from the
    // start message on; it outlives the engine like the counters. Without a call the thread
    // makes one of its own, so Monitor() is never null.
    void SetMonitor(std::shared_ptr<EngineMonitor> monitor);
    // One engine of several serving one download: see CQW::JoinGroup. Call before Start.
    void JoinGroup(std::shared_ptr<EngineCounters> counters, std::size_t engineIndex,
                   std::int32_t firstConnectionNumber);
    std::shared_ptr<EngineMonitor> Monitor() const { return m_monitor; }

    // Options every connection the engine creates gets in its ConnectionOptions
    // ("ReceiveTimeout", "ErrorDelay", "RejectDelay": whole seconds as text). Call before
    // Start. Without a call the table stays empty and each option keeps its default.
    void SetConnectionOptions(std::map<std::string, std::string> options) {
        m_connectionOptions = std::move(options);
    }

    // The download engine; null until OnInitInstance has created it, and null for good when
    // the socket library did not start. Read by the owner only after Start has returned.
    CQW* m_pQW = nullptr;

private:
    std::shared_ptr<EngineCounters> m_counters;
    std::shared_ptr<EngineCounters> m_groupCounters;
    std::size_t m_engineIndex = 0;
    std::int32_t m_firstConnectionNumber = 0;
    std::shared_ptr<EngineMonitor> m_monitor = std::make_shared<EngineMonitor>();
    std::map<std::string, std::string> m_connectionOptions;
};
