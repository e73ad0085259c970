#pragma once
// One reply of the server as a list of byte ranges. Large shared blocks (article bodies) are
// referenced, not copied, so that a reply of any size costs a few small buffers.

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "newsd/Articles.h"

namespace newsd {

struct Segment {
    SharedText owner;  // keeps `data` alive
    const char* data = nullptr;
    size_t size = 0;
};

struct Reply {
    std::vector<Segment> segments;
    // Bytes of the first line (status line with CR LF) at the start of the reply.
    size_t statusSize = 0;
    bool multiLine = false;
    // Close the connection once the reply is sent (QUIT, a refusing greeting).
    bool closeAfter = false;
    // Listings too long to build at once continue through this: each call appends the next
    // part and returns false once the listing is complete.
    std::function<bool(std::string*)> more;
    // Nothing to send at all.
    bool silent = false;

    static Reply Line(const std::string& status);  // one status line; CR LF is added
    void Append(std::string text);
    void AppendShared(const SharedText& text);
    size_t Size() const;    // without what `more` has yet to produce
    std::string Flatten();  // every byte, `more` drained
};

// ".\r\n", shared by every multi-line reply.
const SharedText& Terminator();

}  // namespace newsd
