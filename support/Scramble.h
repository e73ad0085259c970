#pragma once
// The scrambled form of stored passwords ("NNTPp"): Base64 of the text XOR a fixed byte
// XOR a position key ((n - i) mod 256 for byte i of n). Whatever writes a scrambled value
// must use ScrambleValue, so that UnscrambleValue gives the text back.
#include <string>
#include <string_view>

constexpr unsigned char kScrambleConstant = 0xA7;

// Empty for empty text. Base64 with the standard alphabet; characters outside it are
// skipped; decoding ends at the first "="; the result ends at its first NUL byte.
std::string UnscrambleValue(std::string_view text);
// The inverse: padded Base64 of the scrambled bytes; empty for empty text.
std::string ScrambleValue(std::string_view text);
