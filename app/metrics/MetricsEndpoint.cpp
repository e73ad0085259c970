#include "app/metrics/MetricsEndpoint.h"

#include <httplib.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "app/metrics/Exposition.h"

namespace {

// Scrapes come seconds apart and are answered in microseconds: one worker is plenty, a
// second keeps a slow reader from holding up the next scrape.
constexpr std::size_t kWorkers = 2;
// An idle or slow client gives up its worker after this long, and Stop never waits longer.
constexpr time_t kClientTimeoutSeconds = 2;

std::string ProbeBind(const addrinfo& candidate, int port) {
    const int fd = ::socket(candidate.ai_family, candidate.ai_socktype | SOCK_CLOEXEC,
                            candidate.ai_protocol);
    if (fd < 0) {
        return std::strerror(errno);
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    std::string reason;
    if (::bind(fd, candidate.ai_addr, candidate.ai_addrlen) != 0 ||
        ::listen(fd, 1) != 0) {
        switch (errno) {
            case EADDRINUSE:
                reason = "port " + std::to_string(port) + " is in use";
                break;
            case EADDRNOTAVAIL:
                reason = "it is not an address of this machine";
                break;
            case EACCES:
                reason = "port " + std::to_string(port) + " needs privileges";
                break;
            default:
                reason = std::strerror(errno);
        }
    }
    ::close(fd);
    return reason;
}

}  // namespace

std::string DiagnoseListenFailure(const ListenAddress& address) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string port = std::to_string(address.port);
    const int status = ::getaddrinfo(address.host.c_str(), port.c_str(), &hints, &found);
    if (status != 0) {
        return "'" + address.host + "' is not a known host name or address (" +
               ::gai_strerror(status) + ")";
    }
    std::string reason;
    for (const addrinfo* candidate = found; candidate; candidate = candidate->ai_next) {
        reason = ProbeBind(*candidate, address.port);
        if (reason.empty()) {
            break;
        }
    }
    ::freeaddrinfo(found);
    return reason;
}

struct MetricsEndpoint::Impl {
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> finished{false};
};

MetricsEndpoint::MetricsEndpoint(RenderFn render) : impl_(std::make_unique<Impl>()) {
    httplib::Server& server = impl_->server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    // The library's default also sets SO_REUSEPORT, which lets a second process bind the same
    // port and take half the scrapes. Only SO_REUSEADDR, so that a port in use is refused.
    server.set_socket_options([](socket_t sock) {
        const int on = 1;
        ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    });
    server.set_keep_alive_timeout(kClientTimeoutSeconds);
    server.set_read_timeout(kClientTimeoutSeconds, 0);
    server.set_write_timeout(kClientTimeoutSeconds, 0);
    server.set_payload_max_length(64 * 1024);
    server.Get("/metrics", [render](const httplib::Request&, httplib::Response& response) {
        response.set_content(render(), kExpositionContentType);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& response) {
        response.set_content("zodiva: the metrics are at /metrics\n", "text/plain");
    });
}

MetricsEndpoint::~MetricsEndpoint() {
    Stop();
}

bool MetricsEndpoint::Start(const ListenAddress& address, std::string& error) {
    if (impl_->thread.joinable()) {
        error = "the metrics endpoint is already serving on " + bound_.Text();
        return false;
    }
    httplib::Server& server = impl_->server;
    bound_ = address;
    bool bound = false;
    if (address.port == 0) {
        const int port = server.bind_to_any_port(address.host);
        bound = port > 0;
        bound_.port = port;
    } else {
        bound = server.bind_to_port(address.host, address.port);
    }
    if (!bound) {
        std::string reason = DiagnoseListenFailure(address);
        error = "cannot serve metrics on " + address.Text() + ": " +
                (reason.empty() ? "the address could not be bound" : reason);
        return false;
    }
    impl_->finished = false;
    impl_->thread = std::thread([impl = impl_.get()] {
        // Signals are for the front end's thread; its workers inherit this mask.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
        impl->server.listen_after_bind();
        impl->finished = true;
    });
    // stop() only reaches a server that has entered its accept loop.
    while (!server.is_running() && !impl_->finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string MetricsEndpoint::Url() const {
    return "http://" + bound_.Text() + "/metrics";
}

void MetricsEndpoint::Stop() {
    if (!impl_->thread.joinable()) {
        return;
    }
    if (!impl_->finished) {
        impl_->server.stop();
    }
    impl_->thread.join();
}
