#include "GroupProbe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

class LineReader {
public:
    explicit LineReader(int fd) : fd_(fd) {}
    std::string Next() {
        for (;;) {
            const auto end = received_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = received_.substr(0, end);
                received_.erase(0, end + 2);
                return line;
            }
            char buffer[512];
            const ssize_t n = read(fd_, buffer, sizeof(buffer));
            if (n <= 0) {
                return std::string();
            }
            received_.append(buffer, static_cast<std::size_t>(n));
        }
    }

private:
    int fd_;
    std::string received_;
};

bool SendText(int fd, const std::string& text) {
    return send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

}  // namespace

long LastArticleOfGroup(int port, const char* group, std::string* greeting) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    long last = -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        LineReader lines(fd);
        const std::string hello = lines.Next();
        if (greeting != nullptr) {
            *greeting = hello;
        }
        if (hello.rfind("20", 0) == 0 && SendText(fd, std::string("GROUP ") + group + "\r\n")) {
            long count = 0;
            long first = 0;
            if (std::sscanf(lines.Next().c_str(), "211 %ld %ld %ld", &count, &first, &last) != 3) {
                last = -1;
            }
        }
        SendText(fd, "QUIT\r\n");
    }
    close(fd);
    return last;
}
