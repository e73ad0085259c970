// Load measurement, not a check: disabled by default, run with
//   unit_newsd --gtest_also_run_disabled_tests --gtest_filter='*Throughput*'
// Clients walk the articles with HEAD then BODY, each waiting for its reply as a downloader
// does; they only count bytes (every reply's size is known in advance), so the figures show
// what the server can deliver. NEWSD_LOAD_SECONDS sets the length of each run (default 3).

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "newsd/Server.h"
#include "newsd/UniqueFd.h"

namespace newsd {
namespace {

struct LoadClient {
    int fd = -1;
    int64_t article = 0;
    bool body = false;
    size_t expected = 0;
    size_t received = 0;
};

double CpuSeconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec + now.tv_nsec / 1e9;
}

size_t ReplySize(const Server& server, int64_t number, bool body) {
    const ArticleFactory& articles = server.Articles();
    const std::string where = std::to_string(number) + " " + MessageId(number);
    if (!body)
        return ("221 " + where + " head\r\n").size() + articles.HeaderWire(number).size() + 3;
    return ("222 " + where + " body\r\n").size() + articles.BodyLeadWire(number).size() +
           articles.BodyBulkWire()->size() + 3;
}

void SendNext(const Server& server, LoadClient& client) {
    const auto& options = server.Options().articles;
    if (!client.body) {
        if (--client.article < options.first)
            client.article = options.last;
    }
    const std::string command =
        std::string(client.body ? "BODY " : "HEAD ") + std::to_string(client.article) + "\r\n";
    client.expected = ReplySize(server, client.article, client.body);
    client.received = 0;
    ASSERT_EQ(send(client.fd, command.data(), command.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(command.size()));
}

void RunLoad(size_t bodyBytes, int connections) {
    ServerOptions options;
    options.articles.last = 200;
    options.articles.bodyBytes = bodyBytes;
    options.recordCommands = false;
    Server server(options);
    ASSERT_TRUE(server.Start());
    const char* env = std::getenv("NEWSD_LOAD_SECONDS");
    const double seconds = env ? std::atof(env) : 3.0;

    UniqueFd epoll(epoll_create1(0));
    std::vector<LoadClient> clients(connections);
    for (int i = 0; i < connections; ++i) {
        LoadClient& client = clients[i];
        client.fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(server.Port());
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(connect(client.fd, reinterpret_cast<sockaddr*>(&where), sizeof(where)), 0);
        char greeting[256];
        ASSERT_GT(recv(client.fd, greeting, sizeof(greeting), 0), 0);
        const std::string group = "GROUP " + options.articles.group + "\r\n";
        ASSERT_EQ(send(client.fd, group.data(), group.size(), 0), ssize_t(group.size()));
        ASSERT_GT(recv(client.fd, greeting, sizeof(greeting), 0), 0);
        ASSERT_EQ(greeting[0], '2');
        client.article = options.articles.last + 1 - (i * 7) % options.articles.last;
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.ptr = &client;
        epoll_ctl(epoll.Get(), EPOLL_CTL_ADD, client.fd, &event);
        SendNext(server, client);
    }
    const double processCpu = CpuSeconds(RUSAGE_SELF);
    const double clientCpu = ThreadCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::duration<double>(seconds);
    std::vector<char> buffer(1 << 20);
    std::vector<epoll_event> events(256);
    uint64_t articles = 0;
    uint64_t received = 0;
    while (std::chrono::steady_clock::now() < end) {
        const int count = epoll_wait(epoll.Get(), events.data(), 256, 100);
        for (int i = 0; i < count; ++i) {
            LoadClient& client = *static_cast<LoadClient*>(events[i].data.ptr);
            const ssize_t got = recv(client.fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
            ASSERT_GT(got, 0);
            received += got;
            client.received += got;
            ASSERT_LE(client.received, client.expected);
            if (client.received < client.expected)
                continue;
            articles += client.body;
            client.body = !client.body;
            SendNext(server, client);
        }
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double clientSeconds = ThreadCpuSeconds() - clientCpu;
    const double serverSeconds = CpuSeconds(RUSAGE_SELF) - processCpu - clientSeconds;
    const double gib = received / double(1 << 30);
    std::printf(
        "body %7zu B  connections %4d  %8.1f MB/s  %7.0f articles/s  server %.2f "
        "CPU-s/GiB  client %.2f CPU-s/GiB\n",
        bodyBytes, connections, received / elapsed / 1e6, articles / elapsed, serverSeconds / gib,
        clientSeconds / gib);
    for (auto& client : clients) close(client.fd);
}

TEST(ServerLoad, DISABLED_Throughput) {
    for (size_t body : {16 * 1024, 256 * 1024, 700 * 1024})
        for (int connections : {1, 4, 16, 64}) RunLoad(body, connections);
    RunLoad(256 * 1024, 1000);
}

}  // namespace
}  // namespace newsd
