// null_client: the ceiling for the engine's download pattern. One thread and epoll, like the
// engine thread; every connection selects the group, then sends HEAD n, waits for the whole
// reply, BODY n, waits, and goes on with n - 1, exactly as the engine's article loop does.
// Replies are framed (status line, then text up to the lone dot) and thrown away unread.
//
// usage: null_client --port N [--host A] [--connections N] [--seconds S] [--group NAME]
//                    [--buffer BYTES]
// Prints one JSON object: wall seconds, bytes read, articles completed, and the fewest
// articles any one connection completed (0 means a connection made no progress).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Options {
    std::string host = "127.0.0.1";
    int port = 0;
    int connections = 1;
    double seconds = 5.0;
    std::string group = "alt.binaries.test";
    // Bytes asked for by each read: 16384 by default, the engine's own receive size; larger
    // (--read-size 262144) reads as the engine's socket layer reads the kernel.
    std::size_t buffer = 16384;
};

// Finds the end of a multi-line reply ("\r\n.\r\n") in a byte stream cut anywhere. Only the
// line feed before the dot matters: a line that begins with a dot and holds more is stuffed.
class TextEndScanner {
public:
    // Called when the status line has been taken: the text starts at a line start.
    void Reset() { m_state = kLineStart; }

    // Consumes bytes up to and including the terminator; returns how many were consumed, and
    // sets `finished` when the terminator was among them.
    std::size_t Scan(const char* data, std::size_t size, bool& finished) {
        finished = false;
        std::size_t i = 0;
        while (i < size) {
            if (m_state == kInLine) {
                const void* lf = std::memchr(data + i, '\n', size - i);
                if (lf == nullptr) {
                    return size;
                }
                i = static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
                m_state = kLineStart;
                continue;
            }
            const char byte = data[i++];
            if (byte == '\n') {
                if (m_state == kDotCr) {
                    finished = true;
                    return i;
                }
                m_state = kLineStart;
            } else if (m_state == kLineStart && byte == '.') {
                m_state = kDot;
            } else if (m_state == kDot && byte == '\r') {
                m_state = kDotCr;
            } else {
                m_state = kInLine;
            }
        }
        return i;
    }

private:
    enum State { kInLine, kLineStart, kDot, kDotCr };
    State m_state = kLineStart;
};

enum class Expecting { kGreeting, kGroup, kHead, kBody };

class Connection {
public:
    Connection(int fd, int index) : m_fd(fd), m_index(index) {}
    ~Connection() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    int Fd() const { return m_fd; }
    std::uint64_t Articles() const { return m_articles; }

    // Reads what the socket holds; false when the connection is lost or the server refuses.
    bool OnReadable(char* buffer, std::size_t size, std::uint64_t& bytes, const Options& options) {
        for (;;) {
            const ssize_t got = recv(m_fd, buffer, size, 0);
            if (got == 0) {
                std::fprintf(stderr, "null_client: connection %d closed by the server\n", m_index);
                return false;
            }
            if (got < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK) {
                    return true;
                }
                if (errno == EINTR) {
                    continue;
                }
                std::fprintf(stderr, "null_client: connection %d: %s\n", m_index,
                             std::strerror(errno));
                return false;
            }
            bytes += static_cast<std::uint64_t>(got);
            // Re-arm immediate ACKs after each read, as the engine's sockets do, so a server
            // that writes status and text separately does not wait for a delayed ACK.
            const int one = 1;
            setsockopt(m_fd, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
            if (!Consume(buffer, static_cast<std::size_t>(got), options)) {
                return false;
            }
            if (static_cast<std::size_t>(got) < size) {
                return true;
            }
        }
    }

private:
    bool Consume(const char* data, std::size_t size, const Options& options) {
        while (size > 0) {
            std::size_t used = 0;
            if (m_inText) {
                bool finished = false;
                used = m_scanner.Scan(data, size, finished);
                if (finished) {
                    m_inText = false;
                    if (!ReplyDone(options)) {
                        return false;
                    }
                }
            } else {
                const void* lf = std::memchr(data, '\n', size);
                used = lf == nullptr
                           ? size
                           : static_cast<std::size_t>(static_cast<const char*>(lf) - data) + 1;
                if (m_status.size() < 512) {
                    m_status.append(data, std::min<std::size_t>(used, 512 - m_status.size()));
                }
                if (lf != nullptr && !StatusDone(options)) {
                    return false;
                }
            }
            data += used;
            size -= used;
        }
        return true;
    }

    bool StatusDone(const Options& options) {
        const std::string status = std::move(m_status);
        m_status.clear();
        const bool ok = !status.empty() && status[0] == '2';
        switch (m_expecting) {
            case Expecting::kGreeting:
                if (!ok) {
                    return Refused(status);
                }
                return Send("GROUP " + options.group, Expecting::kGroup);
            case Expecting::kGroup: {
                long long count = 0, first = 0, last = 0;
                if (std::sscanf(status.c_str(), "211 %lld %lld %lld", &count, &first, &last) != 3) {
                    return Refused(status);
                }
                m_first = first;
                m_last = last;
                m_article = last;
                return SendHead();
            }
            case Expecting::kHead:
            case Expecting::kBody:
                if (!ok) {
                    // A missing article: start again at the newest, as the engine's loop does
                    // after its reconnection (the ceiling skips the reconnection itself).
                    m_article = m_last;
                    return SendHead();
                }
                m_inText = true;
                m_scanner.Reset();
                return true;
        }
        return false;
    }

    bool ReplyDone(const Options& /*options*/) {
        if (m_expecting == Expecting::kHead) {
            return Send("BODY " + std::to_string(m_article), Expecting::kBody);
        }
        ++m_articles;
        --m_article;
        if (m_article < m_first) {
            m_article = m_last;
        }
        return SendHead();
    }

    bool SendHead() { return Send("HEAD " + std::to_string(m_article), Expecting::kHead); }

    bool Send(const std::string& command, Expecting next) {
        const std::string line = command + "\r\n";
        m_expecting = next;
        // Commands are a few bytes and the socket's send buffer is empty while we wait for a
        // reply, so one send takes the whole line.
        if (send(m_fd, line.data(), line.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(line.size())) {
            std::fprintf(stderr, "null_client: connection %d: send failed\n", m_index);
            return false;
        }
        return true;
    }

    bool Refused(const std::string& status) {
        std::fprintf(stderr, "null_client: connection %d: unexpected reply: %s", m_index,
                     status.c_str());
        return false;
    }

    int m_fd;
    int m_index;
    Expecting m_expecting = Expecting::kGreeting;
    bool m_inText = false;
    TextEndScanner m_scanner;
    std::string m_status;
    long long m_first = 0;
    long long m_last = 0;
    long long m_article = 0;
    std::uint64_t m_articles = 0;
};

int OpenConnection(const Options& options) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(options.port));
    if (inet_pton(AF_INET, options.host.c_str(), &address.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

bool ParseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (i + 1 >= argc) {
            std::fprintf(stderr, "null_client: %s needs a value\n", name.c_str());
            return false;
        }
        const char* value = argv[++i];
        if (name == "--host") {
            options.host = value;
        } else if (name == "--port") {
            options.port = std::atoi(value);
        } else if (name == "--connections") {
            options.connections = std::atoi(value);
        } else if (name == "--seconds") {
            options.seconds = std::atof(value);
        } else if (name == "--group") {
            options.group = value;
        } else if (name == "--read-size" || name == "--buffer") {
            options.buffer = static_cast<std::size_t>(std::atol(value));
        } else {
            std::fprintf(stderr, "null_client: unknown option %s\n", name.c_str());
            return false;
        }
    }
    if (options.port <= 0 || options.port > 65535 || options.connections <= 0 ||
        options.seconds <= 0 || options.buffer == 0) {
        std::fprintf(stderr,
                     "usage: null_client --port N [--host A] [--connections N] [--seconds S] "
                     "[--group NAME] [--read-size BYTES]\n");
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, options)) {
        return 2;
    }
    const auto start = Clock::now();
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<std::unique_ptr<Connection>> connections;
    for (int i = 0; i < options.connections; ++i) {
        const int fd = OpenConnection(options);
        if (fd < 0) {
            std::fprintf(stderr, "null_client: connection %d: cannot connect: %s\n", i,
                         std::strerror(errno));
            return 1;
        }
        connections.push_back(std::make_unique<Connection>(fd, i));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u32 = static_cast<std::uint32_t>(i);
        epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &event);
    }
    std::vector<char> buffer(options.buffer);
    std::vector<epoll_event> events(256);
    std::uint64_t bytes = 0;
    const auto end = start + std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(options.seconds));
    int failed = 0;
    while (Clock::now() < end) {
        const int ready = epoll_wait(epoll, events.data(), static_cast<int>(events.size()), 100);
        for (int e = 0; e < ready; ++e) {
            Connection& connection = *connections[events[e].data.u32];
            if (!connection.OnReadable(buffer.data(), buffer.size(), bytes, options)) {
                epoll_ctl(epoll, EPOLL_CTL_DEL, connection.Fd(), nullptr);
                ++failed;
            }
        }
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    std::uint64_t articles = 0;
    std::uint64_t fewest = UINT64_MAX;
    for (const auto& connection : connections) {
        articles += connection->Articles();
        fewest = std::min(fewest, connection->Articles());
    }
    close(epoll);
    std::printf(
        "{\"wall_s\":%.3f,\"bytes\":%llu,\"articles\":%llu,\"fewest_articles_per_connection\":%llu,"
        "\"connections\":%d,\"failed_connections\":%d}\n",
        wall, static_cast<unsigned long long>(bytes), static_cast<unsigned long long>(articles),
        static_cast<unsigned long long>(fewest), options.connections, failed);
    return failed == 0 ? 0 : 1;
}
