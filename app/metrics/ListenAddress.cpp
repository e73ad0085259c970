#include "app/metrics/ListenAddress.h"

#include <algorithm>
#include <cctype>

namespace {

bool AllDigits(const std::string& text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool ParsePort(const std::string& text, int& port, std::string& message) {
    if (!AllDigits(text) || std::stoi(text) > 65535) {
        message = "the port '" + text + "' is not a number from 0 to 65535";
        return false;
    }
    port = std::stoi(text);
    return true;
}

// Host names and IPv4 literals: letters, digits, dots and hyphens.
bool PlainHost(const std::string& host) {
    return (host.empty() || host.front() != '-') && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-';
    });
}

bool Ipv6Host(const std::string& host) {
    return !host.empty() && std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isxdigit(c) || c == ':' || c == '.';
    });
}

}  // namespace

std::string ListenAddress::Text() const {
    const bool v6 = host.find(':') != std::string::npos;
    return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

bool ParseListenAddress(const std::string& text, ListenAddress& address, std::string& message) {
    ListenAddress parsed;
    std::string host;
    std::string port;
    if (!text.empty() && text.front() == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) {
            message = "'" + text + "' opens '[' without closing it";
            return false;
        }
        host = text.substr(1, close - 1);
        const std::string rest = text.substr(close + 1);
        if (!rest.empty() && (rest.front() != ':' || rest.size() == 1)) {
            message = "'" + text + "': after ']' comes ':PORT'";
            return false;
        }
        port = rest.empty() ? "" : rest.substr(1);
        if (!Ipv6Host(host)) {
            message = "'" + host + "' is not an IPv6 address";
            return false;
        }
    } else if (std::count(text.begin(), text.end(), ':') > 1) {
        host = text;  // a bare IPv6 address
        if (!Ipv6Host(host)) {
            message = "'" + host + "' is not an IPv6 address; write [ADDRESS]:PORT";
            return false;
        }
    } else if (AllDigits(text)) {
        port = text;
    } else {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos) {
            port = text.substr(colon + 1);
            if (port.empty()) {
                message = "'" + text + "' ends in ':' without a port";
                return false;
            }
        }
        if (!PlainHost(host)) {
            message = "'" + host + "' is not a host name or address";
            return false;
        }
    }
    if (!host.empty()) {
        parsed.host = host;
    }
    if (!port.empty() && !ParsePort(port, parsed.port, message)) {
        return false;
    }
    address = parsed;
    return true;
}
