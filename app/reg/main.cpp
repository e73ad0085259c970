// zodiva-reg: writes zodiva's settings into its registry file, which zodiva itself only reads.
#include <termios.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "app/reg/RegCommand.h"

namespace {

// Without echo on a terminal, else one line from standard input.
bool ReadPassword(std::string& out) {
    const bool tty = isatty(STDIN_FILENO);
    termios saved{};
    if (tty) {
        std::cerr << "Password: " << std::flush;
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    const bool ok = static_cast<bool>(std::getline(std::cin, out));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!out.empty() && out.back() == '\r')
        out.pop_back();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    regedit::RegConsole console{std::cout, std::cerr, ReadPassword};
    return regedit::RunRegCommand(std::vector<std::string>(argv + 1, argv + argc), console);
}
