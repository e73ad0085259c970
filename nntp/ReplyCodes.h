#pragma once
// How the steps judge a server reply and check a command argument before formatting it.
// A reply is judged by its first character, or by its first three for the demands for
// authentication; a line that does not begin with a digit is no status line at all.
#include <cstddef>
#include <cstring>
#include <string_view>

#include "nntp/NNTPSocket.h"

namespace nntp_reply {

// "480" (authentication required) or "450" (authorization required), the two replies that
// start the login sequence.
inline bool DemandsAuthentication(const char* line) {
    return std::strncmp(line, "480", 3) == 0 || std::strncmp(line, "450", 3) == 0;
}

// The reply to AUTHINFO PASS that refuses the login: any 5xx, and 481 ("authentication
// failed"), which current servers send for a wrong password. Other replies (482 among them)
// count as logged in.
inline bool RefusesPassword(const char* line) {
    return line[0] == '5' || std::strncmp(line, "481", 3) == 0;
}

inline bool IsDecimalDigit(char c) {
    return c >= '0' && c <= '9';
}

// Every argument formatted into a command buffer is held to this: the verb, a space and the
// CR LF must fit as well, with room to spare.
inline bool FitsCommandBuffer(std::string_view argument) {
    return argument.size() + 32 < kCommandBufferSize;
}

}  // namespace nntp_reply
