// Parser of registry export files. The file is decoded to UTF-8 first, then read line by
// line: key headers, values (quoted name or "@", "=", string / dword: / hex: / hex(n): /
// "-"), comments and blank lines; hex data may continue over lines ending in "\".
#include "platform/RegFile.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

namespace platform {
namespace {

constexpr std::string_view kVersion5Signature = "Windows Registry Editor Version 5.00";
constexpr std::string_view kRegedit4Signature = "REGEDIT4";

void AppendUtf8(std::string& out, std::uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// UTF-16LE without its byte-order mark to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16LeToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() / 2);
    auto unitAt = [&](size_t i) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i])) |
               (static_cast<std::uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8);
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        std::uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 3 < bytes.size()) {
            const std::uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (unit >= 0xD800 && unit <= 0xDFFF)
            unit = 0xFFFD;
        AppendUtf8(out, unit);
    }
    return out;
}

char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldCase(a[i]) != FoldCase(b[i]))
            return false;
    }
    return true;
}

// Long names of the predefined roots for their abbreviations.
std::string_view ExpandRootAbbreviation(std::string_view root) {
    if (EqualsIgnoringCase(root, "HKCU"))
        return "HKEY_CURRENT_USER";
    if (EqualsIgnoringCase(root, "HKLM"))
        return "HKEY_LOCAL_MACHINE";
    if (EqualsIgnoringCase(root, "HKCR"))
        return "HKEY_CLASSES_ROOT";
    if (EqualsIgnoringCase(root, "HKU"))
        return "HKEY_USERS";
    return root;
}

std::string CanonicalKeyPath(std::string_view path) {
    const size_t separator = path.find('\\');
    std::string canonical(ExpandRootAbbreviation(path.substr(0, separator)));
    if (separator != std::string_view::npos)
        canonical += path.substr(separator);
    while (!canonical.empty() && canonical.back() == '\\') canonical.pop_back();
    return canonical;
}

std::string_view TrimLeft(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    return text;
}

std::string_view TrimRight(std::string_view text) {
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\0'))
        text.remove_suffix(1);
    return text;
}

std::string_view Trim(std::string_view text) {
    return TrimRight(TrimLeft(text));
}

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           EqualsIgnoringCase(text.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool ParseHexNumber(std::string_view text, size_t maxDigits, std::uint32_t& value) {
    if (text.empty() || text.size() > maxDigits)
        return false;
    value = 0;
    for (char c : text) {
        const int digit = HexDigit(c);
        if (digit < 0)
            return false;
        value = (value << 4) | static_cast<std::uint32_t>(digit);
    }
    return true;
}

struct Line {
    std::string_view text;
    int number;
};

// Splits at CR LF, LF or a lone CR.
std::vector<Line> SplitLines(std::string_view text, bool& crlf) {
    std::vector<Line> lines;
    bool sawEnding = false;
    crlf = true;
    size_t start = 0;
    int number = 1;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        const bool pair = text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n';
        if (!sawEnding) {
            crlf = pair;
            sawEnding = true;
        }
        lines.push_back({text.substr(start, i - start), number++});
        if (pair)
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.push_back({text.substr(start), number});
    return lines;
}

// A quoted string at the start of text with \\ and \" escapes; other backslashes are
// kept as written. rest receives what follows the closing quote.
bool ParseQuoted(std::string_view text, std::string& value, std::string_view& rest) {
    if (text.empty() || text.front() != '"')
        return false;
    value.clear();
    for (size_t i = 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            rest = text.substr(i + 1);
            return true;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) {
            value += text[++i];
            continue;
        }
        value += c;
    }
    return false;  // no closing quote
}

bool ParseHexBytes(std::string_view text, std::vector<BYTE>& bytes) {
    bytes.clear();
    text = Trim(text);
    if (text.empty())
        return true;
    while (true) {
        const size_t comma = text.find(',');
        std::uint32_t byte = 0;
        if (!ParseHexNumber(Trim(text.substr(0, comma)), 2, byte))
            return false;
        bytes.push_back(static_cast<BYTE>(byte));
        if (comma == std::string_view::npos)
            return true;
        text = text.substr(comma + 1);
        if (Trim(text).empty())
            return true;  // a trailing comma before the line end
    }
}

class Parser {
public:
    Parser(RegFile& file, std::vector<RegFileProblem>& problems)
        : m_file(file), m_problems(problems) {}

    void Run(const std::vector<Line>& lines, size_t first) {
        for (size_t i = first; i < lines.size(); ++i) {
            std::string_view text = Trim(lines[i].text);
            const int number = lines[i].number;
            if (text.empty() || text.front() == ';')
                continue;
            if (text.front() == '[') {
                ParseKeyHeader(text, number);
                continue;
            }
            std::string joined;
            if (IsHexValue(text))
                i = JoinContinuations(lines, i, joined, text);
            ParseValueLine(text, number);
        }
    }

private:
    void Problem(int line, std::string message) {
        m_problems.push_back({line, std::move(message)});
    }

    void ParseKeyHeader(std::string_view text, int number) {
        std::string_view path;
        if (!ReadRegKeyLine(text, path)) {
            Problem(number, "key line without a closing ']'");
            m_current = nullptr;
            m_skipping = true;
            return;
        }
        const bool removal = !path.empty() && path.front() == '-';
        if (removal)
            path.remove_prefix(1);
        // "[\]" names no key either: backslashes alone leave nothing once trimmed.
        if (CanonicalKeyPath(Trim(path)).empty()) {
            Problem(number, "empty key name");
            m_current = nullptr;
            m_skipping = true;
            return;
        }
        m_skipping = false;
        if (removal) {
            RemoveKeyTree(std::string(path));
            m_current = nullptr;
            m_skipping = true;  // values below a removed key are ignored
            return;
        }
        m_current = FindOrAddKey(std::string(path), number);
    }

    static bool IsHexValue(std::string_view text) {
        const size_t equals = ValueSeparator(text);
        return equals != std::string_view::npos &&
               StartsWithIgnoringCase(TrimLeft(text.substr(equals + 1)), "hex");
    }

    // Position of the "=" after the value name, or npos.
    static size_t ValueSeparator(std::string_view text) {
        std::string name;
        std::string_view rest;
        if (!text.empty() && text.front() == '@')
            return TrimLeft(text.substr(1)).empty() ? std::string_view::npos : text.find('=');
        if (!ParseQuoted(text, name, rest))
            return std::string_view::npos;
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != '=')
            return std::string_view::npos;
        return text.size() - rest.size();
    }

    // Joins a hex value continued with "\" at the line ends; returns the last line used.
    // A key line ends the value even after a "\": it is never taken for data, so the
    // values below it stay in their own key.
    static size_t JoinContinuations(const std::vector<Line>& lines, size_t i, std::string& joined,
                                    std::string_view& text) {
        if (text.empty() || text.back() != '\\')
            return i;
        joined.assign(text.substr(0, text.size() - 1));
        while (i + 1 < lines.size()) {
            std::string_view next = Trim(lines[i + 1].text);
            if (!next.empty() && next.front() == '[')
                break;
            ++i;
            const bool continues = !next.empty() && next.back() == '\\';
            joined += continues ? next.substr(0, next.size() - 1) : next;
            if (!continues)
                break;
        }
        text = joined;
        return i;
    }

    void ParseValueLine(std::string_view text, int number) {
        if (m_skipping)
            return;
        if (m_current == nullptr) {
            Problem(number, "value outside of a key");
            return;
        }
        std::string name;
        std::string_view rest;
        if (text.front() == '@') {
            rest = text.substr(1);
        } else if (!ParseQuoted(text, name, rest)) {
            Problem(number, "cannot read the value name");
            return;
        }
        rest = TrimLeft(rest);
        if (rest.empty() || rest.front() != '=') {
            Problem(number, "expected '=' after the value name");
            return;
        }
        rest = Trim(rest.substr(1));
        RegFileValue value;
        value.name = name;
        value.line = number;
        if (rest == "-") {
            RemoveValue(name);
            return;
        }
        std::string message;
        if (!ParseData(rest, value, message)) {
            Problem(number, message);
            return;
        }
        StoreValue(std::move(value));
    }

    bool ParseData(std::string_view data, RegFileValue& value, std::string& message) {
        if (!data.empty() && data.front() == '"') {
            std::string text;
            std::string_view rest;
            if (!ParseQuoted(data, text, rest) || !Trim(rest).empty()) {
                message = "malformed string value";
                return false;
            }
            value.type = 1;  // REG_SZ
            value.data.assign(text.begin(), text.end());
            value.data.push_back(0);
            return true;
        }
        if (StartsWithIgnoringCase(data, "dword:")) {
            std::uint32_t number = 0;
            if (!ParseHexNumber(Trim(data.substr(6)), 8, number)) {
                message = "malformed dword value";
                return false;
            }
            value.type = 4;  // REG_DWORD
            value.data = {static_cast<BYTE>(number), static_cast<BYTE>(number >> 8),
                          static_cast<BYTE>(number >> 16), static_cast<BYTE>(number >> 24)};
            return true;
        }
        if (StartsWithIgnoringCase(data, "hex")) {
            if (!ParseHexData(data.substr(3), value, message))
                return false;
            if (value.type == 1)
                MakeTextData(value);
            if (value.type == 4 && value.data.size() != 4) {
                // A reader takes four bytes from a dword: a shorter or longer one would be
                // read as a partial or wrong number.
                message = "a dword value written as hex(4) needs exactly four bytes";
                return false;
            }
            return true;
        }
        message = "unknown value type";
        return false;
    }

    // A text value written as hex(1): UTF-16LE in a Version 5 file, ANSI in a REGEDIT4
    // one. Readers get it like a quoted string: UTF-8 up to the first NUL, with its NUL.
    void MakeTextData(RegFileValue& value) const {
        std::string text;
        if (m_file.edition == RegFileEdition::kVersion5) {
            std::string_view bytes(reinterpret_cast<const char*>(value.data.data()),
                                   value.data.size());
            text = Utf16LeToUtf8(bytes);
        } else {
            text.assign(value.data.begin(), value.data.end());
        }
        text.resize(std::strlen(text.c_str()));
        value.data.assign(text.begin(), text.end());
        value.data.push_back(0);
    }

    static bool ParseHexData(std::string_view data, RegFileValue& value, std::string& message) {
        value.type = 3;  // REG_BINARY
        if (!data.empty() && data.front() == '(') {
            const size_t close = data.find(')');
            std::uint32_t type = 0;
            if (close == std::string_view::npos ||
                !ParseHexNumber(data.substr(1, close - 1), 8, type)) {
                message = "malformed hex value type";
                return false;
            }
            value.type = type;
            data = data.substr(close + 1);
        }
        if (data.empty() || data.front() != ':') {
            message = "expected ':' after hex";
            return false;
        }
        if (!ParseHexBytes(data.substr(1), value.data)) {
            message = "malformed hex bytes";
            return false;
        }
        return true;
    }

    RegFileKey* FindOrAddKey(const std::string& path, int line) {
        const std::string canonical = CanonicalKeyPath(path);
        // Stored paths are canonical already: compare them as they are.
        for (RegFileKey& key : m_file.keys) {
            if (EqualsIgnoringCase(key.path, canonical))
                return &key;
        }
        m_file.keys.push_back(RegFileKey{canonical, {}, line});
        return &m_file.keys.back();
    }

    void RemoveKeyTree(const std::string& path) {
        const std::string canonical = CanonicalKeyPath(path);
        std::erase_if(m_file.keys, [&](const RegFileKey& key) {
            const std::string_view path = key.path;
            return EqualsIgnoringCase(path, canonical) ||
                   (path.size() > canonical.size() && path[canonical.size()] == '\\' &&
                    EqualsIgnoringCase(path.substr(0, canonical.size()), canonical));
        });
    }

    void RemoveValue(const std::string& name) {
        std::erase_if(m_current->values,
                      [&](const RegFileValue& v) { return EqualsIgnoringCase(v.name, name); });
    }

    void StoreValue(RegFileValue value) {
        for (RegFileValue& existing : m_current->values) {
            if (EqualsIgnoringCase(existing.name, value.name)) {
                existing = std::move(value);
                return;
            }
        }
        m_current->values.push_back(std::move(value));
    }

    RegFile& m_file;
    std::vector<RegFileProblem>& m_problems;
    // Keys live in a vector that grows: refer to the current one by pointer only between
    // additions (FindOrAddKey resets it after each push_back).
    RegFileKey* m_current = nullptr;
    bool m_skipping = false;
};

}  // namespace

const RegFileKey* RegFile::FindKey(std::string_view path) const {
    const std::string canonical = CanonicalKeyPath(path);
    for (const RegFileKey& key : keys) {
        if (EqualsIgnoringCase(key.path, canonical))
            return &key;
    }
    return nullptr;
}

bool ReadRegKeyLine(std::string_view line, std::string_view& path) {
    line = Trim(line);
    if (line.empty() || line.front() != '[')
        return false;
    // The first "]" followed only by blanks or a comment closes the key: "[key] ; note"
    // names "key", "[a]b]" names "a]b".
    for (size_t close = line.find(']'); close != std::string_view::npos;
         close = line.find(']', close + 1)) {
        const std::string_view rest = TrimLeft(line.substr(close + 1));
        if (rest.empty() || rest.front() == ';') {
            path = line.substr(1, close - 1);
            return true;
        }
    }
    return false;
}

bool SameRegKeyPath(std::string_view a, std::string_view b) {
    return EqualsIgnoringCase(CanonicalKeyPath(a), CanonicalKeyPath(b));
}

bool ParseRegFile(std::string_view bytes, RegFile& file, std::vector<RegFileProblem>& problems) {
    file = RegFile{};
    std::string decoded;
    std::string_view text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        file.encoding = RegFileEncoding::kUtf16Le;
        decoded = Utf16LeToUtf8(bytes.substr(2));
        text = decoded;
    } else if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFE &&
               static_cast<unsigned char>(bytes[1]) == 0xFF) {
        problems.push_back({1, "UTF-16 big-endian files are not supported"});
        return false;
    } else if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
        file.encoding = RegFileEncoding::kUtf8Bom;
        text = bytes.substr(3);
    } else {
        file.encoding = RegFileEncoding::kUtf8;
        text = bytes;
    }
    const std::vector<Line> lines = SplitLines(text, file.crlf);
    size_t first = 0;
    while (first < lines.size() && Trim(lines[first].text).empty()) ++first;
    const std::string_view signature = first < lines.size() ? Trim(lines[first].text) : "";
    if (signature == kVersion5Signature) {
        file.edition = RegFileEdition::kVersion5;
    } else if (signature == kRegedit4Signature) {
        file.edition = RegFileEdition::kRegedit4;
    } else {
        problems.push_back({first < lines.size() ? lines[first].number : 1,
                            "not a registry file (expected \"Windows Registry Editor Version "
                            "5.00\" or \"REGEDIT4\")"});
        return false;
    }
    Parser(file, problems).Run(lines, first + 1);
    return true;
}

bool LoadRegFile(const std::string& path, RegFile& file) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<RegFileProblem> problems;
    const bool ok = ParseRegFile(bytes, file, problems);
    for (const RegFileProblem& problem : problems)
        std::fprintf(stderr, "%s:%d: %s\n", path.c_str(), problem.line, problem.message.c_str());
    return ok;
}

}  // namespace platform
