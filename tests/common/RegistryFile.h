#pragma once
// Points the registry at a .reg file of the test's own for the life of the object
// (through QUORREL_REGISTRY), and builds such files in the encodings the editor writes.
#include <string>

#include "tests/common/TempWorkingDir.h"

class ScopedRegistryFile {
public:
    // The file is written with exactly these bytes.
    explicit ScopedRegistryFile(const std::string& bytes);
    ~ScopedRegistryFile();
    ScopedRegistryFile(const ScopedRegistryFile&) = delete;
    ScopedRegistryFile& operator=(const ScopedRegistryFile&) = delete;

    const std::string& Path() const { return m_path; }
    void Rewrite(const std::string& bytes);

private:
    TempDirectory m_directory;
    std::string m_path;
    bool m_hadPrevious = false;
    std::string m_previous;
};

// UTF-8 text as UTF-16LE with a byte-order mark, as the registry editor saves it.
std::string AsUtf16LeWithBom(const std::string& utf8);
