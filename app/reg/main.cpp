// zodiva-reg: writes zodiva's settings into its registry file, which zodiva itself only reads.
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <strings.h>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "app/reg/RegFileEditor.h"
#include "platform/Registry.h"
#include "support/Scramble.h"

namespace {

constexpr int kUsageError = 2;

const char* const kUsage =
    "usage: zodiva-reg [--registry FILE] COMMAND [ARGS]\n"
    "\n"
    "Edits the settings zodiva reads (key HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00).\n"
    "Every other line of the file, and its encoding, is kept.\n"
    "\n"
    "commands:\n"
    "  list                 show every value of the key (passwords masked)\n"
    "  get KEY              print one value\n"
    "  set KEY TEXT         store a text value (REG_SZ)\n"
    "  set-dword KEY N      store a number (REG_DWORD), decimal or 0x-hexadecimal\n"
    "  delete KEY           remove a value\n"
    "  set-password         read the news server password (without echo on a terminal,\n"
    "                       else one line from standard input) and store it scrambled\n"
    "                       as \"NNTPp\"\n"
    "  path                 print the registry file's path\n"
    "\n"
    "The file is --registry FILE, else $QUORREL_REGISTRY, else\n"
    "${XDG_CONFIG_HOME:-$HOME/.config}/Tarnley/Quorrel.reg. It is created when missing.\n";

int Usage(const std::string& problem) {
    std::cerr << "zodiva-reg: " << problem << "\n(zodiva-reg --help lists the commands)\n";
    return kUsageError;
}

bool IsSecret(const std::string& name) {
    for (const char* s : {"NNTPp", "password", "ProxyPassword"})
        if (strcasecmp(name.c_str(), s) == 0) return true;
    return false;
}

std::string Describe(const regedit::RegValue& v, bool mask) {
    switch (v.kind) {
        case regedit::ValueKind::String:
            return mask && !v.text.empty() ? "\"********\"" : "\"" + v.text + "\"";
        case regedit::ValueKind::Dword:
            return std::to_string(v.dword) + " (dword)";
        case regedit::ValueKind::Other:
            break;
    }
    return "(" + v.typeName + " value, not read by zodiva)";
}

bool ParseDword(const std::string& text, std::int32_t& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v < INT32_MIN || v > static_cast<long long>(UINT32_MAX))
        return false;
    out = static_cast<std::int32_t>(static_cast<std::uint32_t>(v));
    return true;
}

bool ReadPassword(std::string& out) {
    bool tty = isatty(STDIN_FILENO);
    termios saved{};
    if (tty) {
        std::cerr << "Password: " << std::flush;
        tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    bool ok = static_cast<bool>(std::getline(std::cin, out));
    if (tty) {
        tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
        std::cerr << "\n";
    }
    if (!out.empty() && out.back() == '\r') out.pop_back();
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    std::string path;
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::cout << kUsage;
        return 0;
    }
    if (args.size() >= 2 && args[0] == "--registry") {
        path = args[1];
        args.erase(args.begin(), args.begin() + 2);
    }
    if (args.empty()) return Usage("no command given");
    if (path.empty()) path = platform::RegistryFilePath();
    if (path.empty()) return Usage("no registry file: set HOME, XDG_CONFIG_HOME or QUORREL_REGISTRY");

    const std::string& cmd = args[0];
    auto want = [&](std::size_t n) { return args.size() == n + 1; };
    if (cmd == "path" && want(0)) {
        std::cout << path << "\n";
        return 0;
    }

    regedit::RegFileEditor file;
    if (!file.Load(path)) {
        std::cerr << "zodiva-reg: " << file.Error() << "\n";
        return 1;
    }
    auto save = [&]() {
        if (file.Save()) return 0;
        std::cerr << "zodiva-reg: " << file.Error() << "\n";
        return 1;
    };

    if (cmd == "list" && want(0)) {
        for (const auto& v : file.List())
            std::cout << v.name << " = " << Describe(v, IsSecret(v.name)) << "\n";
        return 0;
    }
    if (cmd == "get" && want(1)) {
        auto v = file.Get(args[1]);
        if (!v) {
            std::cerr << "zodiva-reg: " << args[1] << " is not set in " << path << "\n";
            return 1;
        }
        if (v->kind == regedit::ValueKind::String)
            std::cout << v->text << "\n";
        else if (v->kind == regedit::ValueKind::Dword)
            std::cout << v->dword << "\n";
        else
            std::cout << Describe(*v, false) << "\n";
        return 0;
    }
    if (cmd == "set" && want(2)) {
        file.SetString(args[1], args[2]);
        return save();
    }
    if (cmd == "set-dword" && want(2)) {
        std::int32_t value = 0;
        if (!ParseDword(args[2], value))
            return Usage("'" + args[2] + "' is not a 32-bit number");
        file.SetDword(args[1], value);
        return save();
    }
    if (cmd == "delete" && want(1)) {
        if (!file.Delete(args[1])) {
            std::cerr << "zodiva-reg: " << args[1] << " is not set in " << path << "\n";
            return 1;
        }
        return save();
    }
    if (cmd == "set-password" && want(0)) {
        std::string password;
        if (!ReadPassword(password)) {
            std::cerr << "zodiva-reg: no password read\n";
            return 1;
        }
        file.SetString("NNTPp", ScrambleValue(password));
        return save();
    }
    return Usage("unknown command or wrong number of arguments: " + cmd);
}
