#pragma once
// Shared by the front-end tests: a private working directory with a settings file of the
// test's own (never the user's), and the demo server's articles on loopback.
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "unit/engine/EngineTestKit.h"

namespace app_test {

// Points the registry at a file inside the test's working directory for the test's lifetime.
class ScopedRegistry {
public:
    explicit ScopedRegistry(const std::filesystem::path& file) {
        if (const char* old = std::getenv("QUORREL_REGISTRY")) {
            previous_ = old;
        }
        setenv("QUORREL_REGISTRY", file.string().c_str(), 1);
    }
    ~ScopedRegistry() {
        if (previous_) {
            setenv("QUORREL_REGISTRY", previous_->c_str(), 1);
        } else {
            unsetenv("QUORREL_REGISTRY");
        }
    }
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

private:
    std::optional<std::string> previous_;
};

// A registry export with the program's key holding `values` (lines as regedit writes).
inline std::string RegistryText(const std::string& values) {
    return "Windows Registry Editor Version 5.00\r\n\r\n"
           "[HKEY_CURRENT_USER\\SOFTWARE\\Tarnley\\Quorrel\\1.00]\r\n" +
           values + "\r\n";
}

// The same as a UTF-8 file.
inline void WriteRegistryFile(const std::filesystem::path& file, const std::string& values) {
    std::ofstream out(file, std::ios::binary);
    out << RegistryText(values);
}

}  // namespace app_test
