// Expands arbitrary formats with arbitrary arguments: the expansion must stop at the
// format's end, never read a null string, and keep %s arguments on one line.
#include <cstdlib>
#include <string>

#include "FuzzInput.h"
#include "support/Log.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    std::string out;
    ExpandLogFormat(input.Format(), input, out);
    // Without line breaks in the format, none may come from the arguments.
    if (std::string(input.Format()).find_first_of("\r\n") == std::string::npos &&
        out.find_first_of("\r\n") != std::string::npos)
        std::abort();
    return 0;
}
