#pragma once
// How a newsd server behaves for every connection: its articles, credentials and socket use.

#include <cstddef>
#include <string>

#include "newsd/Articles.h"
#include "newsd/RandomFaults.h"

namespace newsd {

struct ServerOptions {
    ArticleOptions articles;
    // Credentials AUTHINFO accepts. An empty user accepts any user name; an empty password
    // accepts any password.
    std::string user;
    std::string password;
    // When set, every command but AUTHINFO, CAPABILITIES, MODE READER and QUIT is answered
    // with `authRequiredCode` (480 or 450) until AUTHINFO succeeds.
    bool requireAuth = false;
    int authRequiredCode = 480;
    // Reply without Nagle's delay. Connections whose script asks for status line and text in
    // separate writes keep Nagle on regardless, to reproduce servers that do.
    bool noDelay = true;
    // Upper bound on connections served at once; more are accepted and closed at once.
    size_t maxConnections = 4096;
    // Keep the command log (commands are counted either way). Long benchmark runs turn it off.
    bool recordCommands = true;
    // Faults drawn at random for every connection without a script of its own.
    RandomFaultOptions randomFaults;
};

}  // namespace newsd
