#pragma once
// The HTTP endpoint that serves /metrics. It listens and answers on threads of its own, so a
// scrape never waits for the engine thread, and the engine never waits for a scrape.
#include <functional>
#include <memory>
#include <string>

#include "app/metrics/ListenAddress.h"

class MetricsEndpoint {
public:
    // Called on the endpoint's threads for every GET /metrics; must be safe there.
    using RenderFn = std::function<std::string()>;

    explicit MetricsEndpoint(RenderFn render);
    // Stops listening and waits for the endpoint's threads.
    ~MetricsEndpoint();
    MetricsEndpoint(const MetricsEndpoint&) = delete;
    MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

    // Binds the address and starts answering (once per endpoint). On false, `error` says in a user's words why
    // (unknown host, not an address of this machine, port in use, ...); nothing runs then.
    bool Start(const ListenAddress& address, std::string& error);
    // The bound address (with the port chosen when 0 was asked for).
    const ListenAddress& Address() const { return m_bound; }
    // "http://host:port/metrics"
    std::string Url() const;
    void Stop();

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
    ListenAddress m_bound;
};

// Why `address` cannot be listened on, found by trying it; empty when it can be.
std::string DiagnoseListenFailure(const ListenAddress& address);
