#include "support/ControlBytes.h"

#include <cstring>

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// Where the line's own end begins: the CR of a final "\r\n", or the final LF.
std::size_t LineEndStart(const char* line, std::size_t length) {
    if (length >= 2 && line[length - 2] == '\r' && line[length - 1] == '\n') {
        return length - 2;
    }
    if (length >= 1 && line[length - 1] == '\n') {
        return length - 1;
    }
    return length;
}

}  // namespace

void FormatControlByte(unsigned char c, char* out) {
    out[0] = '\\';
    out[1] = 'x';
    out[2] = kHexDigits[c >> 4];
    out[3] = kHexDigits[c & 0x0F];
}

PrintableLine::PrintableLine(const char* line) : m_text(line) {
    m_buffer[0] = '\0';
    if (line == nullptr) {
        return;
    }
    const std::size_t length = std::strlen(line);
    const std::size_t end = LineEndStart(line, length);
    std::size_t i = 0;
    while (i < end && !IsControlByte(static_cast<unsigned char>(line[i]))) {
        ++i;
    }
    if (i == end) {
        return;  // nothing to escape: log the line itself
    }
    std::memcpy(m_buffer, line, i);
    std::size_t used = i;
    for (; i < end; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (used + 4 + 3 >= kCapacity) {
            break;  // cannot happen for lines from the line buffer; keep room for the end
        }
        if (IsControlByte(c)) {
            FormatControlByte(c, m_buffer + used);
            used += 4;
        } else {
            m_buffer[used++] = static_cast<char>(c);
        }
    }
    const std::size_t tail = length - end;
    std::memcpy(m_buffer + used, line + end, tail);
    m_buffer[used + tail] = '\0';
    m_text = m_buffer;
}
