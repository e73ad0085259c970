#include "newsd/CommandLine.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>

namespace newsd {
namespace {

bool ParseInteger(const std::string& text, int64_t low, int64_t high, int64_t* value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    const long long parsed = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || parsed < low || parsed > high)
        return false;
    *value = parsed;
    return true;
}

bool ParseCredentials(const std::string& text, std::string* user, std::string* password) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    *user = text.substr(0, colon);
    *password = text.substr(colon + 1);
    return true;
}

bool ParseMissing(const std::string& text, std::set<int64_t>* missing) {
    size_t start = 0;
    while (start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        int64_t number = 0;
        if (!ParseInteger(text.substr(start, comma - start), INT64_MIN + 1, INT64_MAX, &number))
            return false;
        missing->insert(number);
        start = comma + 1;
    }
    return true;
}

bool ParseGreeting(const std::string& text, ConnectionScript* script) {
    static const std::map<std::string, Greeting> kinds = {
        {"200", Greeting::kPostingAllowed}, {"201", Greeting::kNoPosting},
        {"400", Greeting::kUnavailable},    {"502", Greeting::kRejected},
        {"text", Greeting::kNonStatus},     {"silent", Greeting::kSilent},
    };
    auto found = kinds.find(text);
    if (found == kinds.end())
        return false;
    script->greeting = found->second;
    return true;
}

constexpr int64_t kMaxCount = 1000000000;
constexpr int64_t kMaxBodyBytes = 1LL << 30;

}  // namespace

std::string UsageText() {
    return "Usage: newsd [options]\n"
           "Serves generated articles in one newsgroup over NNTP until interrupted.\n"
           "\n"
           "  --address ADDR          IPv4 or IPv6 address to listen on (default 127.0.0.1)\n"
           "  --port N                port to listen on; 0 picks a free one (default 0)\n"
           "  --group NAME            newsgroup served (default alt.binaries.test)\n"
           "  --articles N            number of articles (default 100)\n"
           "  --first N               number of the first article (default 1)\n"
           "  --body-bytes N          size of each body in bytes (default 16384)\n"
           "  --line-length N         characters per body line, 1 to 100000 (default 128)\n"
           "  --missing N[,N...]      article numbers answered with 423\n"
           "  --require-auth USER:PASS  refuse reading until AUTHINFO succeeds\n"
           "  --auth USER:PASS        credentials accepted by AUTHINFO, not required\n"
           "  --auth-code 480|450     reply to commands before authentication (default 480)\n"
           "  --greeting KIND         200, 201, 400, 502, text or silent (default 200)\n"
           "  --split-status          write status line and text separately, Nagle on\n"
           "  --nagle                 keep Nagle's algorithm on for every connection\n"
           "  --max-connections N     connections served at once (default 4096)\n"
           "  --random-faults RATE    chance per command of a random fault, 0 to 1 (default 0)\n"
           "  --fault-seed N          seed of the random faults (default 1)\n"
           "  --quiet                 print nothing but errors\n"
           "  --help                  show this text\n"
           "  --version               show the version\n";
}

bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, std::string* error) {
    int64_t articles = line->server.articles.last - line->server.articles.first + 1;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            line->help = true;
            continue;
        }
        if (option == "--version") {
            line->version = true;
            continue;
        }
        if (option == "--quiet") {
            line->quiet = true;
            continue;
        }
        if (option == "--split-status") {
            line->script.separateStatusWrite = true;
            continue;
        }
        if (option == "--nagle") {
            line->server.noDelay = false;
            continue;
        }
        if (option.rfind("--", 0) != 0) {
            *error = "unexpected argument '" + option + "'";
            return false;
        }
        std::string value;
        const size_t equals = option.find('=');
        std::string name = option.substr(0, equals);
        static const std::set<std::string> kValued = {
            "--address",    "--port",        "--group",          "--articles",     "--first",
            "--body-bytes", "--line-length", "--missing",        "--require-auth", "--auth",
            "--auth-code",  "--greeting",    "--max-connections", "--random-faults", "--fault-seed"};
        if (!kValued.count(name)) {
            *error = "unknown option " + name;
            return false;
        }
        if (equals != std::string::npos) {
            value = option.substr(equals + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            *error = "option " + name + " needs a value";
            return false;
        }
        int64_t number = 0;
        bool ok = true;
        if (name == "--address") {
            std::string text = value;
            if (text.size() > 2 && text.front() == '[' && text.back() == ']')
                text = text.substr(1, text.size() - 2);
            in6_addr parsed{};
            ok = inet_pton(AF_INET, text.c_str(), &parsed) == 1 ||
                 inet_pton(AF_INET6, text.c_str(), &parsed) == 1;
            line->address = value;
        } else if (name == "--port") {
            ok = ParseInteger(value, 0, 65535, &number);
            line->port = static_cast<uint16_t>(number);
        } else if (name == "--group") {
            ok = !value.empty() && value.find_first_of(" \t\r\n") == std::string::npos;
            line->server.articles.group = value;
        } else if (name == "--articles") {
            ok = ParseInteger(value, 0, kMaxCount, &articles);
        } else if (name == "--first") {
            ok = ParseInteger(value, 1, kMaxCount, &number);
            line->server.articles.first = number;
        } else if (name == "--body-bytes") {
            ok = ParseInteger(value, 0, kMaxBodyBytes, &number);
            line->server.articles.bodyBytes = static_cast<size_t>(number);
        } else if (name == "--line-length") {
            ok = ParseInteger(value, 1, 100000, &number);
            line->server.articles.lineLength = static_cast<size_t>(number);
        } else if (name == "--missing") {
            ok = ParseMissing(value, &line->server.articles.missing);
        } else if (name == "--require-auth" || name == "--auth") {
            ok = ParseCredentials(value, &line->server.user, &line->server.password);
            line->server.requireAuth = line->server.requireAuth || name == "--require-auth";
        } else if (name == "--auth-code") {
            ok = value == "480" || value == "450";
            line->server.authRequiredCode = ok ? std::stoi(value) : 480;
        } else if (name == "--greeting") {
            ok = ParseGreeting(value, &line->script);
        } else if (name == "--max-connections") {
            ok = ParseInteger(value, 1, 1000000, &number);
            line->server.maxConnections = static_cast<size_t>(number);
        } else if (name == "--random-faults") {
            char* end = nullptr;
            const double rate = std::strtod(value.c_str(), &end);
            ok = !value.empty() && *end == '\0' && rate >= 0 && rate <= 1;
            line->server.randomFaults.rate = rate;
        } else if (name == "--fault-seed") {
            ok = ParseInteger(value, 0, UINT32_MAX, &number);
            line->server.randomFaults.seed = static_cast<std::uint32_t>(number);
        } else {
            *error = "unknown option " + name;
            return false;
        }
        if (!ok) {
            *error = "invalid value '" + value + "' for " + name;
            return false;
        }
    }
    line->server.articles.last = line->server.articles.first + articles - 1;
    return true;
}

}  // namespace newsd
