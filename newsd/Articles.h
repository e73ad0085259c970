#pragma once
// The generated articles of the one newsgroup newsd serves. Content is a pure function of the
// article number and the options, so a test can compare what a client stored byte for byte.
// Bodies share one pre-built bulk block (already dot-stuffed for the wire), so serving an
// article costs a few small buffers, whatever its size.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace newsd {

struct ArticleOptions {
    std::string group = "alt.binaries.test";
    int64_t first = 1;             // lowest article number
    int64_t last = 100;            // highest article number; below `first` means an empty group
    size_t bodyBytes = 16 * 1024;  // size of the body as stored (text and CR LF), about
    size_t lineLength = 128;       // characters of a full body line, CR LF not counted
    std::set<int64_t> missing;     // numbers answered with 423 (gaps, as after a cancel)
};

// An article as the client must store it: every line without its CR LF, unstuffed.
struct ExpectedArticle {
    std::vector<std::string> headerLines;
    std::vector<std::string> bodyLines;
    // Header lines, an empty line, body lines, each ending in CR LF.
    std::string FileText() const;
    std::string HeaderText() const;  // header lines with CR LF
    std::string BodyText() const;    // body lines with CR LF
};

// "<N.part@newsd.test>"
std::string MessageId(int64_t number);
// Parses a message-id of that form; false for any other text.
bool ParseMessageId(const std::string& text, int64_t* number);

// Text shared between replies; a reply keeps the block alive while it is being sent.
using SharedText = std::shared_ptr<const std::string>;

class ArticleFactory {
public:
    explicit ArticleFactory(ArticleOptions options);

    const ArticleOptions& Options() const { return m_options; }
    bool Exists(int64_t number) const;
    int64_t Count() const;

    ExpectedArticle Expected(int64_t number) const;

    // Wire forms: lines CR LF terminated and dot-stuffed, without status line or final ".".
    std::string HeaderWire(int64_t number) const;
    // The body is the article's own first line followed by the shared bulk block.
    std::string BodyLeadWire(int64_t number) const;
    const SharedText& BodyBulkWire() const { return m_bulkWire; }
    size_t BodyLines() const { return m_bulkLines.size() + 1; }
    size_t BodyOctets() const;  // unstuffed body size with CR LFs
    // One overview line: number, subject, from, date, message-id, references, bytes, lines.
    std::string OverviewLine(int64_t number) const;

private:
    std::vector<std::string> HeaderLines(int64_t number) const;
    std::string Subject(int64_t number) const;
    std::string Date(int64_t number) const;
    std::string BodyLead(int64_t number) const;

    ArticleOptions m_options;
    std::vector<std::string> m_bulkLines;  // unstuffed
    SharedText m_bulkWire;
    size_t m_bulkOctets = 0;
};

}  // namespace newsd
