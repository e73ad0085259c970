#pragma once
// Bytes from a server are shown to people (status rows, log files read with cat, terminals).
// Control bytes among them could move a cursor, clear a screen or retitle a window, so they
// are written as "\xNN" instead: every byte below 0x20 except tab, and 0x7F.
#include <cstddef>

inline bool IsControlByte(unsigned char c) {
    return (c < 0x20 && c != '\t') || c == 0x7F;
}

// Appends the escape of c ("\x1B") to out; out must have room for 4 characters.
void FormatControlByte(unsigned char c, char* out);

// A server line made safe to log: control bytes inside the line are escaped, the line's own
// end ("\r\n" or "\n") is kept as it came, so a log line keeps its shape. Lines without
// control bytes are used in place, without a copy.
class PrintableLine {
public:
    // Room for a line of 1021 bytes in which every byte is escaped.
    static constexpr std::size_t kCapacity = 4 * 1024 + 1;

    explicit PrintableLine(const char* line);
    PrintableLine(const PrintableLine&) = delete;
    PrintableLine& operator=(const PrintableLine&) = delete;

    const char* c_str() const { return m_text; }

private:
    const char* m_text;
    char m_buffer[kCapacity];
};
