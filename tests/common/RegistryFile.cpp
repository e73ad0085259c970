#include "tests/common/RegistryFile.h"

#include <cstdlib>

// Windows imports the file into the real registry instead: win32/RegistryFile.cpp.
#ifndef _WIN32
ScopedRegistryFile::ScopedRegistryFile(const std::string& bytes)
    : m_path(m_directory.File("Quorrel.reg")) {
    const char* previous = std::getenv("QUORREL_REGISTRY");
    m_hadPrevious = previous != nullptr;
    if (m_hadPrevious)
        m_previous = previous;
    WriteWholeFile(m_path, bytes);
    setenv("QUORREL_REGISTRY", m_path.c_str(), 1);
}

ScopedRegistryFile::~ScopedRegistryFile() {
    if (m_hadPrevious)
        setenv("QUORREL_REGISTRY", m_previous.c_str(), 1);
    else
        unsetenv("QUORREL_REGISTRY");
}

void ScopedRegistryFile::Rewrite(const std::string& bytes) {
    WriteWholeFile(m_path, bytes);
}
#endif

std::string AsUtf16LeWithBom(const std::string& utf8) {
    std::string out = "\xFF\xFE";
    auto put = [&out](unsigned unit) {
        out += static_cast<char>(unit & 0xFF);
        out += static_cast<char>(unit >> 8);
    };
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char c = utf8[i];
        unsigned code;
        int length;
        if (c < 0x80) {
            code = c;
            length = 1;
        } else if ((c & 0xE0) == 0xC0) {
            code = c & 0x1F;
            length = 2;
        } else if ((c & 0xF0) == 0xE0) {
            code = c & 0x0F;
            length = 3;
        } else {
            code = c & 0x07;
            length = 4;
        }
        for (int k = 1; k < length && i + k < utf8.size(); ++k)
            code = (code << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += length;
        if (code >= 0x10000) {
            code -= 0x10000;
            put(0xD800 + (code >> 10));
            put(0xDC00 + (code & 0x3FF));
        } else {
            put(code);
        }
    }
    return out;
}
