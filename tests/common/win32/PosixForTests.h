#pragma once
// The few POSIX calls the test helpers use, for the Windows build of the tests (included
// ahead of every test source there): environment variables and fresh temporary folders.
#include <direct.h>
#include <process.h>
#include <stdlib.h>

#include <cerrno>
#include <cstring>
#include <string>

inline int setenv(const char* name, const char* value, int overwrite) {
    if (!overwrite && std::getenv(name) != nullptr)
        return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char* name) {
    return _putenv_s(name, "") == 0 ? 0 : -1;  // an empty value removes the variable
}

// Replaces the trailing XXXXXX of pattern and creates that folder; null when it cannot.
// (_mktemp_s offers only 26 names per pattern and process, too few for a test run.)
inline char* mkdtemp(char* pattern) {
    const std::size_t length = std::strlen(pattern);
    if (length < 6 || std::strcmp(pattern + length - 6, "XXXXXX") != 0)
        return nullptr;
    static unsigned counter = static_cast<unsigned>(_getpid()) * 7919u;
    const char digits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    for (int attempt = 0; attempt < 1000; ++attempt) {
        unsigned value = ++counter;
        for (std::size_t i = length - 6; i < length; ++i) {
            pattern[i] = digits[value % 36];
            value /= 36;
        }
        if (_mkdir(pattern) == 0)
            return pattern;
        if (errno != EEXIST)
            return nullptr;
    }
    return nullptr;
}

// mkdir with a mode, which Windows folders do not have.
inline int mkdir(const char* path, int) {
    return _mkdir(path);
}
