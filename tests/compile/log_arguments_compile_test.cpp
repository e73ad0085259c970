// Compiled by the test command, never linked or run. Without REFUSED_CASE every kind of
// argument the log functions take must compile; with REFUSED_CASE=n the call of case n must
// be refused by the compiler with the log functions' own message.
#include <cstddef>
#include <cstdint>
#include <string>

#include "support/ErrorText.h"
#include "support/Log.h"

void LogCalls() {
#ifndef REFUSED_CASE
    const std::int32_t number = -1;
    const std::uint32_t mask = 0xFFu;
    char buffer[] = "buffer";
    const char* text = "text";
    DebugLogPrintf("%T: %d %x %s %s %s\n", number, mask, buffer, text, "literal");
    ErrorLogPrintf("%T: %W\n", 10061);
    DebugLogPrintf("%T: nothing to format\n");
    StatusListPrintf(nullptr, "%d %s", 1, static_cast<const char*>(nullptr));
#elif REFUSED_CASE == 1
    DebugLogPrintf("%d", std::size_t{1});
#elif REFUSED_CASE == 2
    ErrorLogPrintf("%d", 1L);
#elif REFUSED_CASE == 3
    DebugLogPrintf("%d", 1.5);
#elif REFUSED_CASE == 4
    DebugLogPrintf("%d", true);
#elif REFUSED_CASE == 5
    DebugLogPrintf("%s", std::string("text"));
#elif REFUSED_CASE == 6
    StatusListPrintf(nullptr, "%d", static_cast<short>(1));
#elif REFUSED_CASE == 7
    DebugLogPrintf("%s", nullptr);
#endif
}
