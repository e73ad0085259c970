#pragma once
// Asks a news server on loopback for a group's figures with a plain blocking socket, apart
// from the engine under test (whose platform layer mirrors the socket names).

#include <string>

// The last article number of `group` from the server's GROUP reply, or -1; the server's
// greeting goes to `greeting` when given.
long LastArticleOfGroup(int port, const char* group = "alt.binaries.test",
                        std::string* greeting = nullptr);
