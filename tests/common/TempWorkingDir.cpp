#include "tests/common/TempWorkingDir.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

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

TempWorkingDir::TempWorkingDir() {
    std::error_code error;
    m_previous = std::filesystem::current_path(error).string();
    std::filesystem::current_path(m_directory.Path(), error);
    if (error)
        ADD_FAILURE() << "cannot enter " << m_directory.Path() << ": " << error.message();
}

TempWorkingDir::~TempWorkingDir() {
    std::error_code ignored;
    std::filesystem::current_path(m_previous, ignored);
}

std::string ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteWholeFile(const std::string& path, const std::string& contents) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
}

bool PathExists(const std::string& path) {
    std::error_code ignored;
    return std::filesystem::exists(path, ignored);
}
