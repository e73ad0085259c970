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
        : args_(std::move(args)), console_(console) {}

    int Run() {
        if (!args_.empty() && (args_[0] == "--help" || args_[0] == "-h")) {
            console_.out << kUsage;
            return 0;
        }
        if (!args_.empty() && args_[0] == "--version") {
            console_.out << "zodiva-reg 1.0\n";
            return 0;
        }
        if (args_.size() >= 2 && args_[0] == "--registry") {
            path_ = args_[1];
            args_.erase(args_.begin(), args_.begin() + 2);
        }
        if (args_.empty())
            return Usage("no command given");
        if (path_.empty())
            path_ = platform::RegistryFilePath();
        if (path_.empty())
            return Usage("no registry file: set HOME, XDG_CONFIG_HOME or QUORREL_REGISTRY");
        const std::string& name = args_[0];
        if (name == "path" && Takes(0)) {
            console_.out << path_ << "\n";
            return 0;
        }
        if (!file_.Load(path_))
            return Failed();
        if (name == "list" && Takes(0))
            return List();
        if (name == "get" && Takes(1))
            return Get(args_[1], false);
        if (name == "get" && Takes(2) && (args_[1] == "--show-secret" || args_[2] == "--show-secret"))
            return Get(args_[1] == "--show-secret" ? args_[2] : args_[1], true);
        if (name == "set" && Takes(2))
            return SetText(args_[1], args_[2]);
        if (name == "set-dword" && Takes(2))
            return SetDword(args_[1], args_[2]);
        if (name == "delete" && Takes(1))
            return Delete(args_[1]);
        if (name == "set-password" && Takes(0))
            return SetPassword();
        return Usage("unknown command or wrong number of arguments: " + name);
    }

private:
    bool Takes(std::size_t count) const { return args_.size() == count + 1; }

    int Usage(const std::string& problem) {
        console_.err << "zodiva-reg: " << problem << "\n(zodiva-reg --help lists the commands)\n";
        return kUsageError;
    }
    int Failed() {
        console_.err << "zodiva-reg: " << file_.Error() << "\n";
        return 1;
    }
    int Save() { return file_.Save() ? 0 : Failed(); }
    int NotSet(const std::string& key) {
        console_.err << "zodiva-reg: " << key << " is not set in " << path_ << "\n";
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
            console_.err << "zodiva-reg: warning: " << warning << "\n";
    }

    int List() {
        const std::vector<RegValue> values = file_.List();
        if (values.empty()) {
            console_.err << "zodiva-reg: no settings in " << path_
                         << (file_.Exists() ? "" : " (the file does not exist yet)") << "\n";
            return 0;
        }
        for (const RegValue& value : values)
            console_.out << value.name << " = "
                         << Describe(value, settings_keys::IsSecret(value.name)) << "\n";
        return 0;
    }

    int Get(const std::string& key, bool showSecret) {
        const std::optional<RegValue> value = file_.Get(key);
        if (!value)
            return NotSet(key);
        if (value->kind == ValueKind::String)
            console_.out << (settings_keys::IsSecret(key) && !showSecret && !value->text.empty()
                                 ? kMask
                                 : value->text)
                         << "\n";
        else if (value->kind == ValueKind::Dword)
            console_.out << value->dword << "\n";
        else
            console_.out << Describe(*value, false) << "\n";
        return 0;
    }

    int SetText(const std::string& key, const std::string& text) {
        const std::string problem = settings_keys::CheckValue(key, text);
        if (!problem.empty())
            return Usage(problem);
        WarnIfUnknown(key);
        file_.SetString(key, text);
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
        file_.SetDword(key, value);
        return Save();
    }

    int Delete(const std::string& key) {
        if (!file_.Delete(key))
            return NotSet(key);
        return Save();
    }

    int SetPassword() {
        std::string password;
        if (!console_.readPassword || !console_.readPassword(password)) {
            console_.err << "zodiva-reg: no password read\n";
            return 1;
        }
        file_.SetString(keys::kScrambledPassword.name, ScrambleValue(password));
        return Save();
    }

    std::vector<std::string> args_;
    RegConsole& console_;
    std::string path_;
    RegFileEditor file_;
};

}  // namespace

int RunRegCommand(const std::vector<std::string>& args, RegConsole& console) {
    Command command(args, console);
    return command.Run();
}

}  // namespace regedit
