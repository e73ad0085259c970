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
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
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
