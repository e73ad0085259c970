// The totals a scrape reads across several downloads of one process, and the endpoint that
// serves them: counters never go down, gauges follow the download that runs.
#include "app/metrics/MetricsHub.h"

#include <gtest/gtest.h>
#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>
#endif

#include <thread>

#include "app/metrics/MetricsEndpoint.h"
#include "app/metrics/MetricsService.h"
#include "engine/EngineCounters.h"
#include "engine/EngineMonitor.h"
#include "unit/metrics/ExpositionReader.h"

namespace {

using metrics_test::Exposition;
using metrics_test::ReadExposition;

double Value(const Exposition& parsed, const std::string& name,
             const std::map<std::string, std::string>& labels = {}) {
    const auto* sample = parsed.Find(name, labels);
    EXPECT_NE(sample, nullptr) << name;
    return sample ? sample->value : -1;
}

// Every counter and histogram series of `later` is at least its value in `earlier`.
void ExpectNoCounterWentDown(const Exposition& earlier, const Exposition& later) {
    for (const auto& sample : earlier.samples) {
        const std::string family = metrics_test::FamilyOf(sample.name, earlier.types);
        const std::string& type = earlier.types.at(family);
        if (type != "counter" && type != "histogram") {
            continue;
        }
        const auto* next = later.Find(sample.name, sample.labels);
        ASSERT_NE(next, nullptr) << sample.name << " vanished";
        EXPECT_GE(next->value, sample.value) << sample.name << " went down";
    }
}

TEST(MetricsHubTest, CountersKeepGrowingOverSeveralDownloadsAndGaugesFollowTheRunningOne) {
    MetricsHub hub({{"instance", "i"}, {"server", "s"}});
    const Exposition before = ReadExposition(hub.Exposition());
    ASSERT_TRUE(before.errors.empty());
    EXPECT_EQ(Value(before, "zodiva_received_bytes_total"), 0);

    auto first = std::make_shared<EngineCounters>();
    auto monitor = std::make_shared<EngineMonitor>();
    monitor->Run().CountFailure(FailureKind::kRefused);
    monitor->Run().CountMissingArticle();
    monitor->Run().RecordLatency(CommandKind::kBodyStatus, 1500);
    hub.Attach(first, monitor);
    first->AddBytes(1000);
    first->ArticleCounter()->fetch_add(2);
    first->PublishRate(12.5);
    const Exposition during = ReadExposition(hub.Exposition());
    EXPECT_EQ(Value(during, "zodiva_received_bytes_total"), 1000);
    EXPECT_EQ(Value(during, "zodiva_rate_kib_per_second"), 12.5);
    EXPECT_EQ(Value(during, "zodiva_failures_total", {{"kind", "refused"}}), 1);
    EXPECT_EQ(Value(during, "zodiva_command_duration_seconds_count", {{"command", "body"}}), 1);
    ExpectNoCounterWentDown(before, during);

    hub.Attach(nullptr, nullptr);  // Stop
    first->AddBytes(5);            // an abandoned thread's late bytes do not count twice
    const Exposition stopped = ReadExposition(hub.Exposition());
    EXPECT_EQ(Value(stopped, "zodiva_received_bytes_total"), 1000);
    EXPECT_EQ(Value(stopped, "zodiva_rate_kib_per_second"), 0);
    ExpectNoCounterWentDown(during, stopped);

    auto second = std::make_shared<EngineCounters>();  // Go again: the engine starts from zero
    auto secondMonitor = std::make_shared<EngineMonitor>();
    hub.Attach(second, secondMonitor);
    hub.Attach(second, secondMonitor);  // told twice: counted once
    second->AddBytes(10);
    secondMonitor->Run().RecordLatency(CommandKind::kBodyStatus, 30);
    const Exposition again = ReadExposition(hub.Exposition());
    EXPECT_EQ(Value(again, "zodiva_received_bytes_total"), 1010);
    EXPECT_EQ(Value(again, "zodiva_articles_completed_total"), 2);
    EXPECT_EQ(Value(again, "zodiva_failures_total", {{"kind", "refused"}}), 1);
    EXPECT_EQ(Value(again, "zodiva_missing_articles_total"), 1);
    EXPECT_EQ(Value(again, "zodiva_command_duration_seconds_count", {{"command", "body"}}), 2);
    EXPECT_NEAR(Value(again, "zodiva_command_duration_seconds_sum", {{"command", "body"}}),
                0.00153, 1e-12);
    ExpectNoCounterWentDown(stopped, again);
}

TEST(MetricsHubTest, EngineCpuAddsUpOverDownloadsAndTheGaugesSayWhatRuns) {
    MetricsHub hub({{"instance", "i"}, {"server", "s"}});
    hub.SetVersion("1.0");
    double cpu = 2.5;
    hub.Attach(std::make_shared<EngineCounters>(), nullptr, [&cpu] { return cpu; }, 8);
    Exposition parsed = ReadExposition(hub.Exposition());
    EXPECT_EQ(Value(parsed, "zodiva_up"), 1);
    EXPECT_EQ(Value(parsed, "zodiva_target_connections"), 8);
    EXPECT_EQ(Value(parsed, "zodiva_engine_cpu_seconds_total"), 2.5);
    EXPECT_EQ(Value(parsed, "zodiva_build_info", {{"version", "1.0"}}), 1);
    cpu = 3.0;  // the engine's last work before it stopped
    hub.Attach(nullptr, nullptr);
    parsed = ReadExposition(hub.Exposition());
    EXPECT_EQ(Value(parsed, "zodiva_up"), 0);
    EXPECT_EQ(Value(parsed, "zodiva_target_connections"), 0);
    EXPECT_EQ(Value(parsed, "zodiva_engine_cpu_seconds_total"), 3.0);
    // A new engine thread starts its clock at zero; the counter goes on from the total.
    hub.Attach(std::make_shared<EngineCounters>(), nullptr, [] { return 0.5; }, 1);
    EXPECT_EQ(Value(ReadExposition(hub.Exposition()), "zodiva_engine_cpu_seconds_total"), 3.5);
    // A clock the system cannot read counts as nothing rather than going backwards.
    hub.Attach(nullptr, nullptr);
    hub.Attach(std::make_shared<EngineCounters>(), nullptr, [] { return -1.0; }, 1);
    EXPECT_EQ(Value(ReadExposition(hub.Exposition()), "zodiva_engine_cpu_seconds_total"), 3.5);
}

TEST(MetricsHubTest, ScrapesWhileTheEngineCountsAreConsistent) {
    MetricsHub hub({{"instance", "i"}, {"server", "s"}});
    auto counters = std::make_shared<EngineCounters>();
    auto monitor = std::make_shared<EngineMonitor>();
    hub.Attach(counters, monitor);
    std::atomic<bool> done{false};
    std::thread engine([&] {
        for (int i = 0; i < 20000; ++i) {
            counters->AddBytes(100);
            monitor->Run().RecordLatency(CommandKind::kHead, static_cast<std::uint64_t>(i));
        }
        done = true;
    });
    Exposition previous = ReadExposition(hub.Exposition());
    while (!done) {
        Exposition next = ReadExposition(hub.Exposition());
        ASSERT_TRUE(next.errors.empty());
        ExpectNoCounterWentDown(previous, next);
        previous = std::move(next);
    }
    engine.join();
    EXPECT_EQ(Value(ReadExposition(hub.Exposition()), "zodiva_received_bytes_total"), 2000000);
}

#ifdef _WIN32
void CloseSocket(SOCKET fd) {
    ::closesocket(fd);
}
#else
void CloseSocket(int fd) {
    ::close(fd);
}
#endif

// A minimal HTTP GET on loopback; the status line and body.
std::string Get(int port, const std::string& path) {
    const auto fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
        CloseSocket(fd);
        return "";
    }
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
    (void)!::send(fd, request.data(), static_cast<int>(request.size()), 0);
    std::string reply;
    char buffer[4096];
    for (int n; (n = static_cast<int>(::recv(fd, buffer, sizeof(buffer), 0))) > 0;) {
        reply.append(buffer, static_cast<std::size_t>(n));
    }
    CloseSocket(fd);
    return reply;
}

std::string BodyOf(const std::string& reply) {
    const std::size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
}

TEST(MetricsEndpointTest, ServesTheExpositionOnAPortOfItsOwn) {
    MetricsService service("pod-7", "news.example:119");
    ListenAddress address;
    address.port = 0;
    std::string error;
    ASSERT_TRUE(service.Start(address, error)) << error;
    auto counters = std::make_shared<EngineCounters>();
    service.Attach(counters, nullptr);
    counters->AddBytes(4242);
    const std::string url = service.Url();
    ASSERT_EQ(url.rfind("http://127.0.0.1:", 0), 0u) << url;
    const int bound = std::stoi(url.substr(17));
    ASSERT_GT(bound, 0);

    const std::string reply = Get(bound, "/metrics");
    EXPECT_EQ(reply.rfind("HTTP/1.1 200", 0), 0u) << reply.substr(0, 200);
    EXPECT_NE(reply.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);
    const Exposition parsed = ReadExposition(BodyOf(reply));
    EXPECT_TRUE(parsed.errors.empty());
    EXPECT_EQ(Value(parsed, "zodiva_received_bytes_total",
                    {{"instance", "pod-7"}, {"server", "news.example:119"}}),
              4242);
    EXPECT_EQ(Get(bound, "/nothing-here").rfind("HTTP/1.1 404", 0), 0u);
}

TEST(MetricsEndpointTest, APortInUseOrAnAddressNotOfThisMachineIsSaidPlainly) {
    const auto busy = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(busy, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(::listen(busy, 1), 0);
    socklen_t length = sizeof(address);
    ::getsockname(busy, reinterpret_cast<sockaddr*>(&address), &length);
    const int port = ntohs(address.sin_port);

    MetricsEndpoint endpoint([] { return std::string(); });
    ListenAddress taken;
    taken.port = port;
    std::string error;
    EXPECT_FALSE(endpoint.Start(taken, error));
    EXPECT_EQ(error, "cannot serve metrics on 127.0.0.1:" + std::to_string(port) + ": port " +
                         std::to_string(port) + " is in use");
    CloseSocket(busy);

    ListenAddress foreign;
    foreign.host = "192.0.2.1";  // documentation range: never an address of a test machine
    EXPECT_FALSE(endpoint.Start(foreign, error));
    EXPECT_NE(error.find("not an address of this machine"), std::string::npos) << error;

    ListenAddress unknown;
    unknown.host = "no-such-host.invalid";
    EXPECT_FALSE(endpoint.Start(unknown, error));
    EXPECT_NE(error.find("not a known host name"), std::string::npos) << error;
}

TEST(MetricsEndpointTest, StopsWhileAClientHoldsAConnectionOpen) {
    MetricsEndpoint endpoint([] { return std::string("x 1\n"); });
    ListenAddress address;
    address.port = 0;
    std::string error;
    ASSERT_TRUE(endpoint.Start(address, error)) << error;
    const auto idle = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(static_cast<std::uint16_t>(endpoint.Address().port));
    target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(idle, reinterpret_cast<sockaddr*>(&target), sizeof(target)), 0);
    endpoint.Stop();  // returns: the idle client gives up its worker after the read time-out
    EXPECT_EQ(Get(endpoint.Address().port, "/metrics"), "");
    CloseSocket(idle);
}

}  // namespace

namespace {

// Two zodiva processes told the same port: the second must be refused, not share the port and
// answer half of the scrapes with its own figures.
TEST(MetricsEndpointTest, ASecondEndpointOnTheSamePortIsRefused) {
    MetricsEndpoint first([] { return std::string("first 1\n"); });
    ListenAddress address;
    address.port = 0;
    std::string error;
    ASSERT_TRUE(first.Start(address, error)) << error;
    MetricsEndpoint second([] { return std::string("second 1\n"); });
    EXPECT_FALSE(second.Start(first.Address(), error));
    EXPECT_NE(error.find("is in use"), std::string::npos) << error;
    EXPECT_FALSE(first.Start(address, error));  // one start per endpoint
}

}  // namespace
