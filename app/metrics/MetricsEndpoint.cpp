#include "app/metrics/MetricsEndpoint.h"

#include <httplib.h>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32
using ProbeSocket = SOCKET;
constexpr ProbeSocket kNoProbe = INVALID_SOCKET;
int LastProbeError() {
    return WSAGetLastError();
}
void CloseProbe(ProbeSocket probe) {
    ::closesocket(probe);
}
std::string SystemMessage(int error) {
    return "Windows Sockets error " + std::to_string(error);
}
// What Windows Sockets says, in the words the Linux build uses for the same failures.
std::string ProbeFailure(int error, int port) {
    switch (error) {
        case WSAEADDRINUSE:
            return "port " + std::to_string(port) + " is in use";
        case WSAEADDRNOTAVAIL:
            return "it is not an address of this machine";
        case WSAEACCES:
            return "port " + std::to_string(port) + " is in use or needs privileges";
        default:
            return SystemMessage(error);
    }
}
#else
using ProbeSocket = int;
constexpr ProbeSocket kNoProbe = -1;
int LastProbeError() {
    return errno;
}
void CloseProbe(ProbeSocket probe) {
    ::close(probe);
}
std::string SystemMessage(int error) {
    return std::strerror(error);
}
std::string ProbeFailure(int error, int port) {
    switch (error) {
        case EADDRINUSE:
            return "port " + std::to_string(port) + " is in use";
        case EADDRNOTAVAIL:
            return "it is not an address of this machine";
        case EACCES:
            return "port " + std::to_string(port) + " needs privileges";
        default:
            return SystemMessage(error);
    }
}
#endif

// The endpoint's own listening socket must not share its port: a second process on the same
// port would take half the scrapes. Linux refuses a port in use unless SO_REUSEPORT is set
// (the library's default sets it), and SO_REUSEADDR only lets a port with closed connections
// still waiting be taken again. Windows lets SO_REUSEADDR take a port that is in use, so there
// the socket asks for the port alone instead.
void ListenAlone(ProbeSocket sock) {
    const int on = 1;
#ifdef _WIN32
    ::setsockopt(sock, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on),
                 sizeof(on));
#else
    ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
#endif
}

std::string ProbeBind(const addrinfo& candidate, int port) {
#ifdef _WIN32
    const ProbeSocket probe = ::socket(candidate.ai_family, candidate.ai_socktype,
                                       candidate.ai_protocol);
#else
    const ProbeSocket probe = ::socket(candidate.ai_family, candidate.ai_socktype | SOCK_CLOEXEC,
                                       candidate.ai_protocol);
#endif
    if (probe == kNoProbe) {
        return SystemMessage(LastProbeError());
    }
#ifndef _WIN32
    ListenAlone(probe);  // as the endpoint's own socket does
#endif
    std::string reason;
    if (::bind(probe, candidate.ai_addr, static_cast<int>(candidate.ai_addrlen)) != 0 ||
        ::listen(probe, 1) != 0) {
        reason = ProbeFailure(LastProbeError(), port);
    }
    CloseProbe(probe);
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

MetricsEndpoint::MetricsEndpoint(RenderFn render) : m_impl(std::make_unique<Impl>()) {
    httplib::Server& server = m_impl->server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
    server.set_socket_options([](socket_t sock) { ListenAlone(sock); });
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
    if (m_impl->thread.joinable()) {
        error = "the metrics endpoint is already serving on " + m_bound.Text();
        return false;
    }
    httplib::Server& server = m_impl->server;
    m_bound = address;
    bool bound = false;
    if (address.port == 0) {
        const int port = server.bind_to_any_port(address.host);
        bound = port > 0;
        m_bound.port = port;
    } else {
        bound = server.bind_to_port(address.host, address.port);
    }
    if (!bound) {
        std::string reason = DiagnoseListenFailure(address);
        error = "cannot serve metrics on " + address.Text() + ": " +
                (reason.empty() ? "the address could not be bound" : reason);
        return false;
    }
    m_impl->finished = false;
    m_impl->thread = std::thread([impl = m_impl.get()] {
#ifndef _WIN32
        // Signals are for the front end's thread; its workers inherit this mask.
        sigset_t all;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, nullptr);
#endif
        impl->server.listen_after_bind();
        impl->finished = true;
    });
    // stop() only reaches a server that has entered its accept loop.
    while (!server.is_running() && !m_impl->finished) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string MetricsEndpoint::Url() const {
    return "http://" + m_bound.Text() + "/metrics";
}

void MetricsEndpoint::Stop() {
    if (!m_impl->thread.joinable()) {
        return;
    }
    if (!m_impl->finished) {
        m_impl->server.stop();
    }
    m_impl->thread.join();
}
