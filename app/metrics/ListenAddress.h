#pragma once
// Where the metrics endpoint listens, as the user wrote it on the command line. Only the
// loopback interface unless another address is written out.
#include <string>

inline constexpr const char* kDefaultMetricsHost = "127.0.0.1";
inline constexpr int kDefaultMetricsPort = 9464;

struct ListenAddress {
    std::string host = kDefaultMetricsHost;  // name or numeric address, IPv6 without brackets
    int port = kDefaultMetricsPort;          // 0: any free port (the endpoint reports which)

    // "host:port", with brackets around an IPv6 address.
    std::string Text() const;
};

// Reads HOST:PORT, [IPV6]:PORT, HOST, PORT or :PORT; a part left out takes the default.
// An empty text is the default address. On false, `message` says what is wrong.
bool ParseListenAddress(const std::string& text, ListenAddress& address, std::string& message);
