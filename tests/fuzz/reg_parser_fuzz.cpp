// Parses arbitrary bytes as a registry file (raw, and re-encoded as UTF-16LE so the
// decoder is reached too): no crash, problems carry real line numbers, and every dword
// value has exactly four bytes and every text value ends in its NUL.
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/RegFile.h"

namespace {

void Check(const std::string& bytes) {
    platform::RegFile file;
    std::vector<platform::RegFileProblem> problems;
    platform::ParseRegFile(bytes, file, problems);
    for (const auto& problem : problems) {
        if (problem.line < 1 || problem.message.empty())
            std::abort();
    }
    for (const auto& key : file.keys) {
        if (key.path.empty())
            std::abort();
        for (const auto& value : key.values) {
            if (value.type == 4 && value.data.size() != 4)
                std::abort();
            if (value.type == 1 && (value.data.empty() || value.data.back() != 0))
                std::abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string raw(reinterpret_cast<const char*>(data), size);
    Check("Windows Registry Editor Version 5.00\r\n" + raw);
    Check(raw);
    std::string wide = "\xFF\xFE";
    for (char c : "Windows Registry Editor Version 5.00\n" + raw) {
        wide += c;
        wide += '\0';
    }
    Check(wide);
    return 0;
}
