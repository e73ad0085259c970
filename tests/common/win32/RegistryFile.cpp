// Windows: the settings live in the real registry, so a test's .reg file is imported into it
// as the registry editor would (each key emptied first, then its values written), and every
// key it named is removed again when the object goes. The file itself is kept for tests that
// read it back.
#include "tests/common/RegistryFile.h"

#include <vector>

#include "platform/RegFile.h"
#include "platform/windows.h"

namespace {

// "HKEY_CURRENT_USER\SOFTWARE\..." as a root key and the path below it.
bool SplitKeyPath(const std::string& path, HKEY& root, std::string& below) {
    const std::string prefix = "HKEY_CURRENT_USER\\";
    if (path.size() <= prefix.size() || _strnicmp(path.c_str(), prefix.c_str(), prefix.size()) != 0)
        return false;
    root = HKEY_CURRENT_USER;
    below = path.substr(prefix.size());
    return true;
}

std::vector<std::string> ImportRegFile(const std::string& bytes) {
    platform::RegFile file;
    std::vector<platform::RegFileProblem> problems;
    std::vector<std::string> imported;
    if (!platform::ParseRegFile(bytes, file, problems))
        return imported;
    for (const platform::RegFileKey& key : file.keys) {
        HKEY root = nullptr;
        std::string below;
        if (!SplitKeyPath(key.path, root, below))
            continue;
        RegDeleteTreeA(root, below.c_str());
        HKEY opened = nullptr;
        if (RegCreateKeyExA(root, below.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &opened,
                            nullptr) != ERROR_SUCCESS)
            continue;
        imported.push_back(below);
        for (const platform::RegFileValue& value : key.values) {
            RegSetValueExA(opened, value.name.c_str(), 0, value.type, value.data.data(),
                           static_cast<DWORD>(value.data.size()));
        }
        RegCloseKey(opened);
    }
    return imported;
}

std::vector<std::string>& ImportedKeys() {
    static std::vector<std::string> keys;
    return keys;
}

void RemoveImported() {
    for (const std::string& key : ImportedKeys())
        RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
    ImportedKeys().clear();
}

}  // namespace

ScopedRegistryFile::ScopedRegistryFile(const std::string& bytes)
    : m_path(m_directory.File("Quorrel.reg")) {
    Rewrite(bytes);
}

ScopedRegistryFile::~ScopedRegistryFile() {
    RemoveImported();
}

void ScopedRegistryFile::Rewrite(const std::string& bytes) {
    WriteWholeFile(m_path, bytes);
    RemoveImported();
    ImportedKeys() = ImportRegFile(bytes);
}
