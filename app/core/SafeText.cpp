#include "app/core/SafeText.h"

#include <cmath>
#include <cstdio>

namespace {

// Length of the valid UTF-8 sequence at `pos` (1..4), or 0 when the bytes there are not one.
// Overlong forms, surrogates and values beyond U+10FFFF are not valid.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t pos) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(pos);
    if (lead < 0x80)
        return 1;
    std::size_t length = 0;
    unsigned minimum = 0;
    unsigned value = 0;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, value = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, value = lead & 0x07;
    } else {
        return 0;
    }
    if (pos + length > text.size())
        return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((byte(pos + i) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(pos + i) & 0x3F);
    }
    if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
        return 0;
    return length;
}

bool IsC1Control(std::string_view text, std::size_t pos, std::size_t length) {
    return length == 2 && static_cast<unsigned char>(text[pos]) == 0xC2 &&
           static_cast<unsigned char>(text[pos + 1]) <= 0x9F;
}

void AppendEscape(std::string& out, const char* format, unsigned char byte) {
    char escape[8];
    std::snprintf(escape, sizeof escape, format, byte);
    out += escape;
}

}  // namespace

std::string ShowSafely(std::string_view text) {
    std::string shown;
    shown.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[pos]);
        const std::size_t length = Utf8SequenceLength(text, pos);
        if (length == 0 || IsC1Control(text, pos, length) || (c < 0x20 && c != '\t') || c == 0x7F) {
            const std::size_t count = length == 0 ? 1 : length;
            for (std::size_t i = 0; i < count; ++i)
                AppendEscape(shown, "\\x%02X", static_cast<unsigned char>(text[pos + i]));
            pos += count;
            continue;
        }
        shown.append(text.substr(pos, length));
        pos += length;
    }
    return shown;
}

std::string ValidUtf8(std::string_view text) {
    std::string valid;
    valid.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size();) {
        const std::size_t length = Utf8SequenceLength(text, pos);
        if (length > 0) {
            valid.append(text.substr(pos, length));
            pos += length;
            continue;
        }
        // A stray byte, read as Latin-1: U+0080..U+00FF in two bytes of UTF-8.
        const auto byte = static_cast<unsigned char>(text[pos++]);
        valid += static_cast<char>(0xC0 | (byte >> 6));
        valid += static_cast<char>(0x80 | (byte & 0x3F));
    }
    return valid;
}

std::string FormatPrintf(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

std::string FormatNumber(const char* format, double value) {
    return std::isfinite(value) ? FormatPrintf(format, value) : "null";
}

std::string HumanRate(double kibPerSecond) {
    if (!std::isfinite(kibPerSecond) || kibPerSecond < 0)
        kibPerSecond = 0;
    char text[48];
    double value = kibPerSecond * 1024.0;
    if (value < 1000.0) {
        std::snprintf(text, sizeof text, "%.0f B/s", value);
        return text;
    }
    static const char* const kUnits[] = {"B/s", "kB/s", "MB/s", "GB/s", "TB/s"};
    std::size_t unit = 0;
    // Rounded as shown: 999.96 kB/s reads as 1.0 MB/s, not 1000.0 kB/s.
    while (unit + 1 < std::size(kUnits) && std::round(value * 10.0) >= 1000.0 * 10.0) {
        value /= 1000.0;
        ++unit;
    }
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

std::string DescribeFaultAt(const std::string& option, std::string_view text, std::size_t column,
                            const std::string& message) {
    const std::string shown = ShowSafely(text);
    return option + " '" + shown + "': " + message + " at column " + std::to_string(column) +
           "\n  " + shown + "\n  " + std::string(column > 0 ? column - 1 : 0, ' ') + "^";
}
