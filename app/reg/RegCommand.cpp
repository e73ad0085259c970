#include "app/reg/RegCommand.h"

#include <strings.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "app/reg/RegFileEditor.h"
#include "app/reg/SettingKeys.h"
#include "platform/Registry.h"
#include "support/Scramble.h"

namespace regedit {

namespace {

constexpr int kUsageError = 2;
constexpr const char* kMask = "********";

const char* const kUsage =
    "usage: zodiva-reg [--registry FILE] COMMAND [ARGS]\n"
    "\n"
    "Edits the settings zodiva reads (key HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00).\n"
    "Every other line of the file, and its encoding, is kept.\n"
    "\n"
    "commands:\n"
    "  list                 show every value of the key (passwords masked)\n"
    "  get KEY              print one value (passwords masked unless --show-secret)\n"
    "  get --show-secret KEY\n"
    "  set KEY TEXT         store a text value (REG_SZ)\n"
    "  set-dword KEY N      store a number (REG_DWORD), decimal or 0x-hexadecimal\n"
    "  delete KEY           remove a value\n"
    "  set-password         read the news server password (without echo on a terminal,\n"
    "                       else one line from standard input) and store it scrambled\n"
    "                       as \"NNTPp\"\n"
    "  path                 print the registry file's path\n"
    "\n"
    "The file is --registry FILE, else $QUORREL_REGISTRY, else\n"
    "${XDG_CONFIG_HOME:-$HOME/.config}/Tarnley/Quorrel.reg. It is created when missing,\n"
    "with its folder (readable by you only).\n";

class Command {
public:
    Command(std::vector<std::string> args, RegConsole& console)
        : m_args(std::move(args)), m_console(console) {}

    int Run() {
        if (!m_args.empty() && (m_args[0] == "--help" || m_args[0] == "-h")) {
            m_console.out << kUsage;
            return 0;
        }
        if (!m_args.empty() && m_args[0] == "--version") {
            m_console.out << "zodiva-reg 1.0\n";
            return 0;
        }
        if (m_args.size() >= 2 && m_args[0] == "--registry") {
            m_path = m_args[1];
            m_args.erase(m_args.begin(), m_args.begin() + 2);
        }
        if (m_args.empty())
            return Usage("no command given");
        if (m_path.empty())
            m_path = platform::RegistryFilePath();
        if (m_path.empty())
            return Usage("no registry file: set HOME, XDG_CONFIG_HOME or QUORREL_REGISTRY");
        const std::string& name = m_args[0];
        if (name == "path" && Takes(0)) {
            m_console.out << m_path << "\n";
            return 0;
        }
        if (!m_file.Load(m_path))
            return Failed();
        if (name == "list" && Takes(0))
            return List();
        if (name == "get" && Takes(1))
            return Get(m_args[1], false);
        if (name == "get" && Takes(2) &&
            (m_args[1] == "--show-secret" || m_args[2] == "--show-secret"))
            return Get(m_args[1] == "--show-secret" ? m_args[2] : m_args[1], true);
        if (name == "set" && Takes(2))
            return SetText(m_args[1], m_args[2]);
        if (name == "set-dword" && Takes(2))
            return SetDword(m_args[1], m_args[2]);
        if (name == "delete" && Takes(1))
            return Delete(m_args[1]);
        if (name == "set-password" && Takes(0))
            return SetPassword();
        return Usage("unknown command or wrong number of arguments: " + name);
    }

private:
    bool Takes(std::size_t count) const { return m_args.size() == count + 1; }

    int Usage(const std::string& problem) {
        m_console.err << "zodiva-reg: " << problem << "\n(zodiva-reg --help lists the commands)\n";
        return kUsageError;
    }
    int Failed() {
        m_console.err << "zodiva-reg: " << m_file.Error() << "\n";
        return 1;
    }
    int Save() { return m_file.Save() ? 0 : Failed(); }
    int NotSet(const std::string& key) {
        m_console.err << "zodiva-reg: " << key << " is not set in " << m_path << "\n";
        return 1;
    }

    static std::string Describe(const RegValue& value, bool mask) {
        switch (value.kind) {
            case ValueKind::String:
                return mask && !value.text.empty() ? std::string("\"") + kMask + "\""
                                                   : "\"" + value.text + "\"";
            case ValueKind::Dword:
                return std::to_string(value.dword) + " (dword)";
            case ValueKind::Other:
                break;
        }
        return "(" + value.typeName + " value, not read by zodiva)";
    }

    static bool ParseDword(const std::string& text, std::int32_t& out) {
        if (text.empty())
            return false;
        errno = 0;
        char* end = nullptr;
        const long long value = std::strtoll(text.c_str(), &end, 0);
        if (errno != 0 || *end != '\0' || value < INT32_MIN ||
            value > static_cast<long long>(UINT32_MAX))
            return false;
        out = static_cast<std::int32_t>(static_cast<std::uint32_t>(value));
        return true;
    }

    void WarnIfUnknown(const std::string& key) {
        const std::string warning = settings_keys::UnknownKeyWarning(key);
        if (!warning.empty())
            m_console.err << "zodiva-reg: warning: " << warning << "\n";
    }

    int List() {
        const std::vector<RegValue> values = m_file.List();
        if (values.empty()) {
            m_console.err << "zodiva-reg: no settings in " << m_path
                          << (m_file.Exists() ? "" : " (the file does not exist yet)") << "\n";
            return 0;
        }
        for (const RegValue& value : values)
            m_console.out << value.name << " = "
                          << Describe(value, settings_keys::IsSecret(value.name)) << "\n";
        return 0;
    }

    int Get(const std::string& key, bool showSecret) {
        const std::optional<RegValue> value = m_file.Get(key);
        if (!value)
            return NotSet(key);
        if (value->kind == ValueKind::String)
            m_console.out << (settings_keys::IsSecret(key) && !showSecret && !value->text.empty()
                                  ? kMask
                                  : value->text)
                          << "\n";
        else if (value->kind == ValueKind::Dword)
            m_console.out << value->dword << "\n";
        else
            m_console.out << Describe(*value, false) << "\n";
        return 0;
    }

    int SetText(const std::string& key, const std::string& text) {
        const std::string problem = settings_keys::CheckValue(key, text);
        if (!problem.empty())
            return Usage(problem);
        WarnIfUnknown(key);
        m_file.SetString(key, text);
        return Save();
    }

    int SetDword(const std::string& key, const std::string& text) {
        std::int32_t value = 0;
        if (!ParseDword(text, value))
            return Usage("'" + text + "' is not a 32-bit number");
        const std::string problem = settings_keys::CheckValue(key, std::to_string(value));
        if (!problem.empty())
            return Usage(problem);
        WarnIfUnknown(key);
        m_file.SetDword(key, value);
        return Save();
    }

    int Delete(const std::string& key) {
        if (!m_file.Delete(key))
            return NotSet(key);
        return Save();
    }

    int SetPassword() {
        std::string password;
        if (!m_console.readPassword || !m_console.readPassword(password)) {
            m_console.err << "zodiva-reg: no password read\n";
            return 1;
        }
        m_file.SetString(keys::kScrambledPassword.name, ScrambleValue(password));
        return Save();
    }

    std::vector<std::string> m_args;
    RegConsole& m_console;
    std::string m_path;
    RegFileEditor m_file;
};

}  // namespace

int RunRegCommand(const std::vector<std::string>& args, RegConsole& console) {
    Command command(args, console);
    return command.Run();
}

}  // namespace regedit
