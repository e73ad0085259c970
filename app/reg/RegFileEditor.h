#pragma once
// Edits the settings key of a registry export file (.reg) in place, for the settings writer
// command. Everything the editor does not change stays as it was: other keys, other values,
// comments, blank lines, the text encoding (UTF-16LE or UTF-8, with or without byte-order
// mark) and the line ends. Values of other types than dword and string are listed but never
// rewritten unless asked to.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace regedit {

// The key zodiva reads its settings from.
inline constexpr const char* kSettingsKey = "HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00";

enum class ValueKind { String, Dword, Other };

struct RegValue {
    std::string name;
    ValueKind kind = ValueKind::Other;
    std::string text;        // String: the unescaped text
    std::int32_t dword = 0;  // Dword: the value as the program reads it (signed)
    std::string typeName;    // Other: "hex", "hex(2)", ... as written in the file
};

class RegFileEditor {
public:
    // Reads the file. A file that does not exist is an empty document that will be created
    // with the header on Save. Returns false (with Error()) when the file cannot be read or
    // is not a registry export file.
    bool Load(const std::string& path);
    // Writes atomically: a temporary file in the same folder, then rename over the original.
    bool Save();

    std::vector<RegValue> List() const;
    std::optional<RegValue> Get(const std::string& name) const;
    void SetString(const std::string& name, const std::string& text);
    void SetDword(const std::string& name, std::int32_t value);
    bool Delete(const std::string& name);  // false when the value was not there

    const std::string& Error() const { return m_error; }
    bool Exists() const { return m_existed; }

    // For tests and diagnostics: the document as it would be saved (decoded, UTF-8).
    std::string Text() const;

private:
    struct Entry {  // one value: its first line and how many lines it spans
        std::size_t line = 0;
        std::size_t count = 1;
        RegValue value;
    };
    struct Section {
        std::size_t header = 0;  // index of the "[...]" line
        std::size_t end = 0;     // one past the section's last line
    };

    std::optional<Section> FindSettingsSection() const;
    std::vector<Entry> Entries(const Section& section) const;
    std::optional<Entry> FindEntry(const std::string& name) const;
    void Put(const std::string& name, const std::string& line);

    std::string m_path;
    std::string m_error;
    bool m_existed = false;
    bool m_utf16 = true;
    bool m_bom = true;
    std::string m_eol = "\r\n";
    bool m_finalEol = true;
    std::vector<std::string> m_lines;  // UTF-8, without line ends
};

// Helpers shared with the command and its tests.
std::string EscapeRegString(const std::string& text);
std::string FormatStringValue(const std::string& name, const std::string& text);
std::string FormatDwordValue(const std::string& name, std::int32_t value);

}  // namespace regedit
