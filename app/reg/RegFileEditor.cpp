#include "app/reg/RegFileEditor.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/RegFile.h"

namespace regedit {
namespace {

constexpr const char* kHeaderV5 = "Windows Registry Editor Version 5.00";

std::string Utf16LeToUtf8(const std::string& bytes, std::size_t start) {
    std::string out;
    for (std::size_t i = start; i + 1 < bytes.size(); i += 2) {
        std::uint32_t c = static_cast<unsigned char>(bytes[i]) |
                          (static_cast<unsigned char>(bytes[i + 1]) << 8);
        if (c >= 0xD800 && c < 0xDC00 && i + 3 < bytes.size()) {
            std::uint32_t low = static_cast<unsigned char>(bytes[i + 2]) |
                                (static_cast<unsigned char>(bytes[i + 3]) << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                i += 2;
            }
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

void AppendUtf16(std::string& out, std::uint32_t c) {
    auto unit = [&out](std::uint32_t u) {
        out += static_cast<char>(u & 0xFF);
        out += static_cast<char>((u >> 8) & 0xFF);
    };
    if (c >= 0x10000) {
        c -= 0x10000;
        unit(0xD800 + (c >> 10));
        unit(0xDC00 + (c & 0x3FF));
    } else {
        unit(c);
    }
}

std::string Utf8ToUtf16Le(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        unsigned char b = static_cast<unsigned char>(text[i]);
        std::uint32_t c = b;
        std::size_t len = 1;
        if (b >= 0xF0 && i + 3 < text.size()) {
            c = ((b & 0x07) << 18) | ((text[i + 1] & 0x3F) << 12) | ((text[i + 2] & 0x3F) << 6) |
                (text[i + 3] & 0x3F);
            len = 4;
        } else if (b >= 0xE0 && i + 2 < text.size()) {
            c = ((b & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
            len = 3;
        } else if (b >= 0xC0 && i + 1 < text.size()) {
            c = ((b & 0x1F) << 6) | (text[i + 1] & 0x3F);
            len = 2;
        }
        AppendUtf16(out, c);
        i += len;
    }
    return out;
}

std::string Trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    std::size_t e = s.find_last_not_of(" \t\r");
    return s.substr(b, e - b + 1);
}

bool EndsWithContinuation(const std::string& line) {
    std::string t = Trim(line);
    return !t.empty() && t.back() == '\\';
}

// Parses a quoted string starting at s[pos] == '"'; sets pos past the closing quote.
bool ParseQuoted(const std::string& s, std::size_t& pos, std::string& out) {
    if (pos >= s.size() || s[pos] != '"') return false;
    out.clear();
    for (++pos; pos < s.size(); ++pos) {
        char c = s[pos];
        if (c == '\\' && pos + 1 < s.size()) {
            out += s[++pos];
        } else if (c == '"') {
            ++pos;
            return true;
        } else {
            out += c;
        }
    }
    return false;
}

// Reads the name and value of one value entry (its lines joined). Returns false for lines
// that are not value entries (the default value "@", comments, broken lines).
bool ParseEntry(const std::string& joined, RegValue& value) {
    std::size_t pos = joined.find_first_not_of(" \t");
    if (pos == std::string::npos || !ParseQuoted(joined, pos, value.name)) return false;
    while (pos < joined.size() && (joined[pos] == ' ' || joined[pos] == '\t')) ++pos;
    if (pos >= joined.size() || joined[pos] != '=') return false;
    ++pos;
    while (pos < joined.size() && (joined[pos] == ' ' || joined[pos] == '\t')) ++pos;
    std::string rest = joined.substr(pos);
    if (!rest.empty() && rest[0] == '"') {
        std::size_t p = 0;
        if (!ParseQuoted(rest, p, value.text)) return false;
        value.kind = ValueKind::String;
        return true;
    }
    if (strncasecmp(rest.c_str(), "dword:", 6) == 0) {
        std::string digits = Trim(rest.substr(6));
        if (digits.empty() || digits.size() > 8 ||
            digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
            return false;
        value.kind = ValueKind::Dword;
        value.dword = static_cast<std::int32_t>(std::stoul(digits, nullptr, 16));
        return true;
    }
    value.kind = ValueKind::Other;
    std::size_t colon = rest.find(':');
    value.typeName = colon == std::string::npos ? Trim(rest) : rest.substr(0, colon);
    return true;
}

// Read as the program reads it: a trailing comment after the "]" and abbreviated roots
// name the same key, so the writer never adds a second copy of a key the file has.
bool SameKey(const std::string& line, const char* key) {
    std::string_view path;
    return platform::ReadRegKeyLine(line, path) && platform::SameRegKeyPath(path, key);
}

bool IsSectionHeader(const std::string& line) {
    std::string t = Trim(line);
    return !t.empty() && t.front() == '[';
}

}  // namespace

std::string EscapeRegString(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        out += c;
    }
    return out;
}

namespace {

// The value line is built front to back by appending: prepending a literal to a temporary
// string shifts its bytes with an overlapping copy (and gcc 12 warns about it in release).
std::string QuotedName(const std::string& name) {
    std::string line = "\"";
    line += EscapeRegString(name);
    line += '"';
    return line;
}

}  // namespace

std::string FormatStringValue(const std::string& name, const std::string& text) {
    std::string line = QuotedName(name);
    line += "=\"";
    line += EscapeRegString(text);
    line += '"';
    return line;
}

std::string FormatDwordValue(const std::string& name, std::int32_t value) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "%08x", static_cast<std::uint32_t>(value));
    std::string line = QuotedName(name);
    line += "=dword:";
    line += hex;
    return line;
}

bool RegFileEditor::Load(const std::string& path) {
    m_path = path;
    m_lines.clear();
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        if (errno != ENOENT) {
            m_error = path + ": " + std::strerror(errno);
            return false;
        }
        m_existed = false;
        m_utf16 = true;
        m_bom = true;
        m_eol = "\r\n";
        m_lines = {kHeaderV5, "", std::string("[") + kSettingsKey + "]"};
        return true;
    }
    m_existed = true;
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string bytes = buffer.str();
    std::string text;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
        static_cast<unsigned char>(bytes[1]) == 0xFE) {
        m_utf16 = true;
        m_bom = true;
        text = Utf16LeToUtf8(bytes, 2);
    } else {
        m_utf16 = false;
        m_bom = bytes.size() >= 3 && bytes.compare(0, 3, "\xEF\xBB\xBF") == 0;
        text = m_bom ? bytes.substr(3) : bytes;
    }
    m_eol = text.find("\r\n") != std::string::npos || text.find('\n') == std::string::npos ? "\r\n"
                                                                                           : "\n";
    m_finalEol = text.empty() || text.back() == '\n';
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        m_lines.push_back(line);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    std::string first = m_lines.empty() ? "" : Trim(m_lines[0]);
    if (first != kHeaderV5 && first != "REGEDIT4") {
        m_error = path + ": not a registry file (the first line must be \"" + kHeaderV5 +
                  "\" or \"REGEDIT4\")";
        return false;
    }
    return true;
}

std::optional<RegFileEditor::Section> RegFileEditor::FindSettingsSection() const {
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        if (!SameKey(m_lines[i], kSettingsKey))
            continue;
        Section s{i, i + 1};
        while (s.end < m_lines.size() && !IsSectionHeader(m_lines[s.end])) ++s.end;
        return s;
    }
    return std::nullopt;
}

std::vector<RegFileEditor::Entry> RegFileEditor::Entries(const Section& section) const {
    std::vector<Entry> out;
    for (std::size_t i = section.header + 1; i < section.end;) {
        Entry e;
        e.line = i;
        std::string joined = m_lines[i];
        while (EndsWithContinuation(m_lines[i]) && i + 1 < section.end) {
            joined = Trim(joined);
            joined.pop_back();
            joined += Trim(m_lines[++i]);
        }
        ++i;
        e.count = i - e.line;
        if (ParseEntry(joined, e.value)) out.push_back(e);
    }
    return out;
}

std::vector<RegValue> RegFileEditor::List() const {
    std::vector<RegValue> out;
    if (auto s = FindSettingsSection())
        for (const Entry& e : Entries(*s)) out.push_back(e.value);
    return out;
}

std::optional<RegFileEditor::Entry> RegFileEditor::FindEntry(const std::string& name) const {
    auto s = FindSettingsSection();
    if (!s) return std::nullopt;
    std::optional<Entry> found;
    for (const Entry& e : Entries(*s))  // the last one wins, as a load would leave it
        if (strcasecmp(e.value.name.c_str(), name.c_str()) == 0) found = e;
    return found;
}

std::optional<RegValue> RegFileEditor::Get(const std::string& name) const {
    auto e = FindEntry(name);
    if (!e) return std::nullopt;
    return e->value;
}

void RegFileEditor::Put(const std::string& name, const std::string& line) {
    if (auto e = FindEntry(name)) {
        m_lines.erase(m_lines.begin() + e->line, m_lines.begin() + e->line + e->count);
        m_lines.insert(m_lines.begin() + e->line, line);
        return;
    }
    auto s = FindSettingsSection();
    if (!s) {
        if (!m_lines.empty() && !Trim(m_lines.back()).empty())
            m_lines.push_back("");
        m_lines.push_back(std::string("[") + kSettingsKey + "]");
        m_lines.push_back(line);
        return;
    }
    std::size_t at = s->end;  // after the last non-blank line of the section
    while (at > s->header + 1 && Trim(m_lines[at - 1]).empty()) --at;
    m_lines.insert(m_lines.begin() + at, line);
}

void RegFileEditor::SetString(const std::string& name, const std::string& text) {
    Put(name, FormatStringValue(name, text));
}

void RegFileEditor::SetDword(const std::string& name, std::int32_t value) {
    Put(name, FormatDwordValue(name, value));
}

bool RegFileEditor::Delete(const std::string& name) {
    bool any = false;
    while (auto e = FindEntry(name)) {
        m_lines.erase(m_lines.begin() + e->line, m_lines.begin() + e->line + e->count);
        any = true;
    }
    return any;
}

std::string RegFileEditor::Text() const {
    std::string text;
    for (std::size_t i = 0; i < m_lines.size(); ++i) {
        text += m_lines[i];
        if (i + 1 < m_lines.size() || m_finalEol)
            text += m_eol;
    }
    return text;
}

// A fresh home has no ~/.config/Tarnley yet. Missing folders on the way to the file are
// made readable by the user only: the file may hold a password.
static bool MakeParentFolders(const std::string& path, std::string& error) {
    std::size_t slash = path.find('/', 1);
    while (slash != std::string::npos) {
        const std::string folder = path.substr(0, slash);
        if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
            error = folder + ": cannot create the folder: " + std::strerror(errno);
            return false;
        }
        slash = path.find('/', slash + 1);
    }
    return true;
}

bool RegFileEditor::Save() {
    if (!MakeParentFolders(m_path, m_error))
        return false;
    std::string text = Text();
    std::string bytes = m_utf16 ? std::string("\xFF\xFE", 2) + Utf8ToUtf16Le(text)
                                : (m_bom ? "\xEF\xBB\xBF" + text : text);
    std::string dir = ".";
    if (auto slash = m_path.rfind('/'); slash != std::string::npos)
        dir = m_path.substr(0, slash + 1);
    std::string tmpl = (dir == "." ? std::string("./") : dir) + ".zodiva-reg-XXXXXX";
    std::vector<char> name(tmpl.begin(), tmpl.end());
    name.push_back('\0');
    int fd = mkstemp(name.data());
    if (fd < 0) {
        m_error = dir + ": cannot create a temporary file: " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    fchmod(fd, stat(m_path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0600);
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    bool ok = true;
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    ok = ok && fsync(fd) == 0;
    ok = (close(fd) == 0) && ok;
    if (!ok || rename(name.data(), m_path.c_str()) != 0) {
        m_error = m_path + ": cannot write: " + std::strerror(errno);
        unlink(name.data());
        return false;
    }
    m_existed = true;
    return true;
}

}  // namespace regedit
