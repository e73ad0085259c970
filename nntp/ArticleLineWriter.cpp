#include "nntp/ArticleLineWriter.h"

#include <cstring>

namespace {

// Bytes of a line from ReadLine, up to and including its LF. Counted to the LF rather than to
// the NUL, so that a NUL inside a body line does not cut what is written. A line cut at the
// buffer's limit has no LF and fills the limit exactly.
std::size_t LineBytes(const char* line) {
    const void* lineFeed = std::memchr(line, '\n', kMaxLineLength);
    if (lineFeed == nullptr) {
        return std::strlen(line);
    }
    return static_cast<std::size_t>(static_cast<const char*>(lineFeed) - line) + 1;
}

}  // namespace

void ArticleLineWriter::Begin(ArticleFile& file, bool enabled) {
    m_file = &file;
    m_enabled = enabled;
    m_used = 0;
}

void ArticleLineWriter::Add(const char* line) {
    if (!m_enabled) {
        return;
    }
    std::size_t length = LineBytes(line);
    if (line[0] == '.' && line[1] == '.') {
        ++line;
        --length;
    }
    if (length > sizeof m_buffer - m_used) {
        Flush();
    }
    std::memcpy(m_buffer + m_used, line, length);
    m_used += length;
}

void ArticleLineWriter::Flush() {
    if (m_used > 0) {
        m_file->Write(m_buffer, static_cast<DWORD>(m_used));
        m_used = 0;
    }
}
