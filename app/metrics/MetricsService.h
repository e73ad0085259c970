#pragma once
// The metrics of one session: the totals a scrape reads and the endpoint that serves them.
// The front end starts it once its settings are known and attaches each download's counters.
#include <memory>
#include <string>

#include "app/metrics/ListenAddress.h"
#include "app/metrics/MetricsEndpoint.h"
#include "app/metrics/MetricsHub.h"

class EngineCounters;
class EngineMonitor;

class MetricsService {
public:
    // `instance` empty: the host name. `server` is the news server as "host:port".
    MetricsService(const std::string& instance, const std::string& server,
                   const std::string& version = std::string());
    // Stops the endpoint before the totals it reads go.
    ~MetricsService();

    bool Start(const ListenAddress& address, std::string& error);
    void Attach(std::shared_ptr<const EngineCounters> counters,
                std::shared_ptr<const EngineMonitor> monitor, EngineCpuSource cpu = {},
                std::uint64_t targetConnections = 0) {
        m_hub.Attach(std::move(counters), std::move(monitor), std::move(cpu), targetConnections);
    }
    std::string Url() const { return m_endpoint.Url(); }
    const MetricsHub& Hub() const { return m_hub; }

private:
    MetricsHub m_hub;
    MetricsEndpoint m_endpoint;
};

// The host name of this machine, "localhost" when it has none.
std::string ThisHostName();
