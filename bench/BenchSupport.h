#pragma once
// Pieces every engine benchmark needs: the socket library for the run, a scratch working
// directory (connections write log.txt and article files into the current one), and the
// CPU time of the calling thread.
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include "platform/windows.h"

namespace bench {

class SocketLibrary {
public:
    SocketLibrary() {
        WSADATA data;
        WSAStartup(0x0202, &data);
    }
    ~SocketLibrary() { WSACleanup(); }
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;
};

// Changes into a fresh temporary directory and back again, removing it afterwards.
class ScratchDirectory {
public:
    explicit ScratchDirectory(const char* prefix) : m_previous(std::filesystem::current_path()) {
        std::string pattern =
            (std::filesystem::temp_directory_path() / (std::string(prefix) + "-XXXXXX")).string();
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
            std::filesystem::current_path(m_path);
        }
    }
    ~ScratchDirectory() {
        std::error_code ignored;
        std::filesystem::current_path(m_previous, ignored);
        if (!m_path.empty()) {
            std::filesystem::remove_all(m_path, ignored);
        }
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    bool Ready() const { return !m_path.empty(); }

private:
    std::filesystem::path m_previous;
    std::filesystem::path m_path;
};

// A client socket of the engine's layer on its way to 127.0.0.1:port, blocking. The layer
// connects only without waiting; a blocking send or recv waits until the connection stands.
inline SOCKET ConnectBlocking(int port) {
    const SOCKET client = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = inet_addr("127.0.0.1");
    address.sin_port = htons(static_cast<u_short>(port));
    u_long nonBlocking = 1;
    ioctlsocket(client, FIONBIO, &nonBlocking);
    connect(client, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    nonBlocking = 0;
    ioctlsocket(client, FIONBIO, &nonBlocking);
    return client;
}

inline double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + now.tv_nsec * 1e-9;
}

}  // namespace bench
