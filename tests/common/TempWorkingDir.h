#pragma once
// Runs a test in a fresh temporary directory that is its working directory, so files the
// code under test writes to the current directory (logs, article files) land there. The
// previous working directory is restored and the folder removed afterwards.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

class TempDirectory {
public:
    TempDirectory();
    ~TempDirectory();
    TempDirectory(const TempDirectory&) = delete;
    TempDirectory& operator=(const TempDirectory&) = delete;

    const std::string& Path() const { return m_path; }
    // Path of a file inside the directory.
    std::string File(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

class TempWorkingDir {
public:
    TempWorkingDir();
    ~TempWorkingDir();
    TempWorkingDir(const TempWorkingDir&) = delete;
    TempWorkingDir& operator=(const TempWorkingDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }
    // Names of the files in the directory that end in `suffix`.
    std::vector<std::string> FilesEndingIn(const std::string& suffix) const;

private:
    TempDirectory m_directory;
    std::filesystem::path m_path;
    std::string m_previous;
};

// A fixture whose tests each run in their own temporary working directory.
class InTempWorkingDir : public ::testing::Test {
protected:
    TempWorkingDir m_workingDir;
};

// Small file helpers for assertions. Trace lines held in memory are written first, so a file
// reads as the code wrote it.
std::string ReadWholeFile(const std::string& path);
// (A path is not a std::string on Windows, where its native form is wide.)
inline std::string ReadWholeFile(const std::filesystem::path& path) {
    return ReadWholeFile(path.string());
}
inline std::string ReadWholeFile(const char* path) {
    return ReadWholeFile(std::string(path));
}
void WriteWholeFile(const std::string& path, const std::string& contents);
bool PathExists(const std::string& path);
