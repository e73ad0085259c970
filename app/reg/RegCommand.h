#pragma once
// The settings writer's commands (zodiva-reg), run on given streams so that tests drive
// exactly what the program does.
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace regedit {

struct RegConsole {
    std::ostream& out;
    std::ostream& err;
    // Reads the password for set-password; false when none could be read.
    std::function<bool(std::string&)> readPassword;
};

// Exit codes: 0 done, 1 the file could not be read or written or the value is not set,
// 2 bad usage.
int RunRegCommand(const std::vector<std::string>& args, RegConsole& console);

}  // namespace regedit
