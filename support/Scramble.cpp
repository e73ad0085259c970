#include "support/Scramble.h"

#include <cstdint>
#include <vector>

namespace {

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

std::vector<unsigned char> DecodeBase64(std::string_view text) {
    std::vector<unsigned char> bytes;
    std::uint32_t group = 0;
    int count = 0;
    for (char c : text) {
        if (c == '=')
            break;
        const int value = Base64Value(c);
        if (value < 0)
            continue;  // line breaks, spaces and other noise
        group = (group << 6) | static_cast<std::uint32_t>(value);
        if (++count == 4) {
            bytes.push_back(static_cast<unsigned char>(group >> 16));
            bytes.push_back(static_cast<unsigned char>(group >> 8));
            bytes.push_back(static_cast<unsigned char>(group));
            group = 0;
            count = 0;
        }
    }
    if (count == 3) {
        bytes.push_back(static_cast<unsigned char>(group >> 10));
        bytes.push_back(static_cast<unsigned char>(group >> 2));
    } else if (count == 2) {
        bytes.push_back(static_cast<unsigned char>(group >> 4));
    }
    return bytes;
}

std::string EncodeBase64(const std::vector<unsigned char>& bytes) {
    std::string text;
    size_t i = 0;
    for (; i + 3 <= bytes.size(); i += 3) {
        const std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
        text += kBase64Alphabet[(group >> 18) & 63];
        text += kBase64Alphabet[(group >> 12) & 63];
        text += kBase64Alphabet[(group >> 6) & 63];
        text += kBase64Alphabet[group & 63];
    }
    const size_t rest = bytes.size() - i;
    if (rest == 0)
        return text;
    const std::uint32_t group = (bytes[i] << 16) | (rest == 2 ? bytes[i + 1] << 8 : 0);
    text += kBase64Alphabet[(group >> 18) & 63];
    text += kBase64Alphabet[(group >> 12) & 63];
    text += rest == 2 ? kBase64Alphabet[(group >> 6) & 63] : '=';
    text += '=';
    return text;
}

// The key of byte i of n: the fixed byte and the distance to the end.
unsigned char KeyByte(size_t i, size_t n) {
    return static_cast<unsigned char>(kScrambleConstant ^ ((n - i) & 0xFF));
}

}  // namespace

std::string UnscrambleValue(std::string_view text) {
    if (text.empty())
        return std::string();
    std::vector<unsigned char> bytes = DecodeBase64(text);
    std::string result;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const char c = static_cast<char>(bytes[i] ^ KeyByte(i, bytes.size()));
        if (c == '\0')
            break;
        result += c;
    }
    return result;
}

std::string ScrambleValue(std::string_view text) {
    if (text.empty())
        return std::string();
    std::vector<unsigned char> bytes(text.begin(), text.end());
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] ^= KeyByte(i, bytes.size());
    return EncodeBase64(bytes);
}
