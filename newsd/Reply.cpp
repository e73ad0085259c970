#include "newsd/Reply.h"

#include <memory>
#include <utility>

namespace newsd {

const SharedText& Terminator() {
    static const SharedText terminator = std::make_shared<const std::string>(".\r\n");
    return terminator;
}

Reply Reply::Line(const std::string& status) {
    Reply reply;
    reply.Append(status + "\r\n");
    reply.statusSize = status.size() + 2;
    return reply;
}

void Reply::Append(std::string text) {
    if (text.empty())
        return;
    AppendShared(std::make_shared<const std::string>(std::move(text)));
}

void Reply::AppendShared(const SharedText& text) {
    if (!text || text->empty())
        return;
    segments.push_back(Segment{text, text->data(), text->size()});
}

size_t Reply::Size() const {
    size_t size = 0;
    for (const auto& segment : segments) size += segment.size;
    return size;
}

std::string Reply::Flatten() {
    std::string bytes;
    bytes.reserve(Size());
    for (const auto& segment : segments) bytes.append(segment.data, segment.size);
    if (more) {
        while (more(&bytes)) {
        }
        more = nullptr;
    }
    return bytes;
}

}  // namespace newsd
