#include "tests/common/TempWorkingDir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "support/Log.h"

TempDirectory::TempDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zodiva-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        ADD_FAILURE() << "cannot create a temporary folder";
    m_path = pattern;
}

TempDirectory::~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

// Trace lines still held in memory belong to the folder they were written in: they are
// written out before the working folder changes, and before a test looks at a file.
TempWorkingDir::TempWorkingDir() : m_path(m_directory.Path()) {
    FlushDebugLog();
    std::error_code error;
    m_previous = std::filesystem::current_path(error).string();
    std::filesystem::current_path(m_directory.Path(), error);
    if (error)
        ADD_FAILURE() << "cannot enter " << m_directory.Path() << ": " << error.message();
}

TempWorkingDir::~TempWorkingDir() {
    FlushDebugLog();
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
}

std::vector<std::string> TempWorkingDir::FilesEndingIn(const std::string& suffix) const {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : std::filesystem::directory_iterator(m_path, ignored)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= suffix.size() &&
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
            names.push_back(name);
    }
    return names;
}

std::string ReadWholeFile(const std::string& path) {
    FlushDebugLog();
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
#ifdef _WIN32
    // The logs (the .txt files) are text files on Windows, with CR LF line ends: they are
    // read back as the lines the program wrote, as a text-mode reader sees them.
    if (path.size() >= 4 && path.compare(path.size() - 4, 4, ".txt") == 0) {
        std::string lines;
        lines.reserve(bytes.size());
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            if (!(bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n'))
                lines += bytes[i];
        }
        return lines;
    }
#endif
    return bytes;
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
    FlushDebugLog();
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool PathExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}
