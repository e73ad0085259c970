// Scrambling any text without NUL bytes and unscrambling it gives the text back, and
// unscrambling arbitrary text never fails.
#include <cstdlib>
#include <string>

#include "support/Scramble.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    UnscrambleValue(text);
    const std::string plain = text.substr(0, text.find('\0'));
    if (UnscrambleValue(ScrambleValue(plain)) != plain)
        std::abort();
    return 0;
}
