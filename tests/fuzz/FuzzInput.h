#pragma once
// Splits a fuzzer's bytes into a format text and the arguments its directives consume.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "support/LogArguments.h"

// Input layout: format bytes up to the first NUL; the rest feeds the arguments. Integers
// take 4 bytes each from the front of the rest; strings are cut from the back of the rest
// at NUL bytes, and an exhausted or 0xFF-marked string is a null pointer.
class FuzzInput : public LogArguments {
public:
    FuzzInput(const std::uint8_t* data, std::size_t size) {
        const auto* begin = reinterpret_cast<const char*>(data);
        const char* nul = static_cast<const char*>(std::memchr(begin, 0, size));
        const std::size_t formatLength = nul ? static_cast<std::size_t>(nul - begin) : size;
        m_format.assign(begin, formatLength);
        if (formatLength < size)
            m_rest.assign(begin + formatLength + 1, begin + size);
        std::string current;
        for (char c : m_rest) {
            if (c == '\0') {
                m_strings.push_back(current);
                current.clear();
            } else {
                current += c;
            }
        }
        m_strings.push_back(current);
    }

    const char* Format() const { return m_format.c_str(); }

    int NextInt() override {
        std::uint32_t value = 0;
        for (int i = 0; i < 4; ++i) {
            value = (value << 8) | (m_intPosition < m_rest.size()
                                        ? static_cast<unsigned char>(m_rest[m_intPosition])
                                        : 0u);
            ++m_intPosition;
        }
        return static_cast<int>(value);
    }

    const char* NextString() override {
        if (m_nextString >= m_strings.size())
            return nullptr;
        const std::string& text = m_strings[m_nextString++];
        if (!text.empty() && static_cast<unsigned char>(text[0]) == 0xFF)
            return nullptr;
        return text.c_str();
    }

private:
    std::string m_format;
    std::string m_rest;
    std::vector<std::string> m_strings;
    std::size_t m_intPosition = 0;
    std::size_t m_nextString = 0;
};
