#pragma once
// The registry export file (.reg): reading it into keys and values. Both editions are read:
// "Windows Registry Editor Version 5.00" (UTF-16LE with byte-order mark, or UTF-8) and
// "REGEDIT4". The result keeps how the file was encoded, so a tool that rewrites the file
// can keep its format.
#include <string>
#include <string_view>
#include <vector>

#include "platform/WinTypes.h"

namespace platform {

enum class RegFileEncoding {
    kUtf16Le,  // with byte-order mark, as the Windows registry editor saves
    kUtf8,     // no byte-order mark
    kUtf8Bom,  // UTF-8 with byte-order mark
};

enum class RegFileEdition {
    kVersion5,  // "Windows Registry Editor Version 5.00"
    kRegedit4,  // "REGEDIT4"
};

struct RegFileValue {
    std::string name;        // "" for the default value ("@")
    DWORD type = 0;          // REG_SZ, REG_DWORD, REG_BINARY, ... (hex(n) gives type n)
    std::vector<BYTE> data;  // REG_SZ: UTF-8 text with its NUL; REG_DWORD: 4 bytes, LE
    int line = 0;            // line of the file where the value begins
};

struct RegFileKey {
    std::string path;  // full path as written, e.g. HKEY_CURRENT_USER\SOFTWARE\Tarnley
    std::vector<RegFileValue> values;  // in file order; a repeated name keeps the last
    int line = 0;
};

struct RegFileProblem {
    int line = 0;
    std::string message;
};

struct RegFile {
    RegFileEncoding encoding = RegFileEncoding::kUtf16Le;
    RegFileEdition edition = RegFileEdition::kVersion5;
    bool crlf = true;              // line ends of the file (CR LF or LF)
    std::vector<RegFileKey> keys;  // a key named twice is merged into its first entry

    // The key with that full path (compared without regard to case), or null.
    const RegFileKey* FindKey(std::string_view path) const;
};

// Parses the bytes of a .reg file. Lines that cannot be parsed are listed in problems and
// skipped; everything else is kept. Returns false only when the file is not a registry
// file at all (no known first line, or an encoding it cannot be read in).
bool ParseRegFile(std::string_view bytes, RegFile& file, std::vector<RegFileProblem>& problems);

// Reads and parses the file at path; every problem is written to stderr as
// "<path>:<line>: <message>". False when the file cannot be read or is not a registry file.
bool LoadRegFile(const std::string& path, RegFile& file);

// Full key path of a subkey below a predefined root, e.g. HKEY_CURRENT_USER\SOFTWARE\X.
// The key path of a key line ("[path]", with blanks and an optional "; comment" after it;
// a leading "-" of a removal stays in path). False when the line is no complete key line.
bool ReadRegKeyLine(std::string_view line, std::string_view& path);

// Key path comparison: ASCII case-insensitive, with HKCU/HKLM/HKCR/HKU abbreviations.
bool SameRegKeyPath(std::string_view a, std::string_view b);

}  // namespace platform
