#pragma once
// Options of the standalone newsd program.

#include <cstdint>
#include <string>
#include <vector>

#include "newsd/Options.h"
#include "newsd/Script.h"

namespace newsd {

struct CommandLine {
    ServerOptions server;
    ConnectionScript script;
    std::string address = "127.0.0.1";
    uint16_t port = 0;
    bool help = false;
    bool version = false;
    bool quiet = false;
};

// Fills `line` from the arguments (without the program name). False with a message naming the
// offending argument in `error`.
bool ParseCommandLine(const std::vector<std::string>& args, CommandLine* line, std::string* error);

std::string UsageText();

}  // namespace newsd
