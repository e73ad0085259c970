#pragma once
// A plain blocking NNTP client for the server's tests: one socket, a receive time-out as a
// guard against hangs, and helpers to read status lines and dot-terminated blocks.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <string>
#include <vector>

namespace newsd_test {

class NewsClient {
public:
    explicit NewsClient(uint16_t port, int timeoutMs = 5000) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval guard{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof(guard));
        sockaddr_in where{};
        where.sin_family = AF_INET;
        where.sin_port = htons(port);
        where.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&where), sizeof(where)) == 0;
    }
    ~NewsClient() {
        if (fd_ >= 0)
            close(fd_);
    }
    NewsClient(const NewsClient&) = delete;
    NewsClient& operator=(const NewsClient&) = delete;

    bool Connected() const { return connected_; }
    int Fd() const { return fd_; }
    int LastError() const { return error_; }

    bool Send(const std::string& text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(text.size());
    }

    // One line without CR LF; empty when the connection ended or the guard ran out.
    std::string Line() {
        for (;;) {
            const size_t end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return line;
            }
            if (!Fill())
                return std::string();
        }
    }

    // Lines up to the "." that ends a block, unstuffed, without CR LF.
    std::vector<std::string> Block(bool* complete = nullptr) {
        std::vector<std::string> lines;
        for (;;) {
            const size_t end = buffer_.find("\r\n");
            if (end == std::string::npos) {
                if (Fill())
                    continue;
                if (complete)
                    *complete = false;
                return lines;
            }
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 2);
            if (line == ".") {
                if (complete)
                    *complete = true;
                return lines;
            }
            if (line.rfind("..", 0) == 0)
                line.erase(0, 1);
            lines.push_back(std::move(line));
        }
    }

    std::string Command(const std::string& line) {
        Send(line + "\r\n");
        return Line();
    }

    // Everything until the server closes; `reset` tells a reset from an orderly close.
    std::string Drain(bool* reset = nullptr) {
        while (Fill()) {
        }
        if (reset)
            *reset = error_ == ECONNRESET;
        std::string all;
        all.swap(buffer_);
        return all;
    }

    // The raw bytes of the next receive (after what is buffered).
    std::string Receive() {
        if (buffer_.empty())
            Fill();
        std::string all;
        all.swap(buffer_);
        return all;
    }

    // True when something arrives within `ms`; used only to show that nothing does.
    bool DataWithin(int ms) {
        if (!buffer_.empty())
            return true;
        pollfd watch{fd_, POLLIN, 0};
        return poll(&watch, 1, ms) > 0;
    }

    bool ClosedByPeer() { return !Fill() && error_ == 0; }

private:
    bool Fill() {
        char chunk[65536];
        const ssize_t got = recv(fd_, chunk, sizeof(chunk), 0);
        if (got > 0) {
            buffer_.append(chunk, static_cast<size_t>(got));
            return true;
        }
        error_ = got == 0 ? 0 : errno;
        return false;
    }

    int fd_ = -1;
    bool connected_ = false;
    int error_ = 0;
    std::string buffer_;
};

}  // namespace newsd_test
