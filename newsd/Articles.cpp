#include "newsd/Articles.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <utility>

namespace newsd {
namespace {

constexpr const char* kMessageIdSuffix = ".part@newsd.test>";
constexpr int64_t kFirstDate = 1767225600;  // 2026-01-01 00:00:00 UTC; one minute per article

// Printable characters a body line is made of; no '.' so that only the lines chosen below
// begin with one.
constexpr char kAlphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=-_!#$%&()*,:;<>?@[]^{}|~";

std::string CrLf(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& line : lines) {
        text += line;
        text += "\r\n";
    }
    return text;
}

void AppendStuffed(std::string* wire, const std::string& line) {
    if (!line.empty() && line[0] == '.')
        wire->push_back('.');
    *wire += line;
    *wire += "\r\n";
}

// Deterministic line content; a few lines begin with dots so that clients must unstuff.
std::string BulkLine(size_t index, size_t length, uint32_t* seed) {
    std::string line(length, 'x');
    for (auto& c : line) {
        *seed = *seed * 1664525u + 1013904223u;
        c = kAlphabet[(*seed >> 16) % (sizeof(kAlphabet) - 1)];
    }
    if (index % 61 == 30)
        return ".";
    if (index % 17 == 3 && length > 0)
        line[0] = '.';
    if (index % 17 == 9 && length > 1)
        line[0] = line[1] = '.';
    if (index % 43 == 21)
        return std::string();
    return line;
}

}  // namespace

std::string ExpectedArticle::HeaderText() const {
    return CrLf(headerLines);
}
std::string ExpectedArticle::BodyText() const {
    return CrLf(bodyLines);
}
std::string ExpectedArticle::FileText() const {
    return HeaderText() + "\r\n" + BodyText();
}

std::string MessageId(int64_t number) {
    std::string id(1, '<');
    id += std::to_string(number);
    id += kMessageIdSuffix;
    return id;
}

bool ParseMessageId(const std::string& text, int64_t* number) {
    const std::string suffix = kMessageIdSuffix;
    if (text.size() < 2 + suffix.size() || text.size() > 20 + suffix.size())
        return false;
    if (text[0] != '<' || text.compare(text.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string digits = text.substr(1, text.size() - 1 - suffix.size());
    bool negative = digits[0] == '-';
    if (negative && digits.size() == 1)
        return false;
    int64_t value = 0;
    for (size_t i = negative ? 1 : 0; i < digits.size(); ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return false;
        value = value * 10 + (digits[i] - '0');
    }
    *number = negative ? -value : value;
    return true;
}

ArticleFactory::ArticleFactory(ArticleOptions options) : m_options(std::move(options)) {
    m_options.lineLength = std::max<size_t>(m_options.lineLength, 1);
    const size_t lead = BodyLead(m_options.last).size() + 2;
    size_t remaining = m_options.bodyBytes > lead ? m_options.bodyBytes - lead : 0;
    uint32_t seed = 0x5eed;
    std::string wire;
    wire.reserve(remaining + remaining / 32 + 64);
    while (remaining > 2) {
        const size_t length = std::min(m_options.lineLength, remaining - 2);
        std::string line = BulkLine(m_bulkLines.size(), length, &seed);
        remaining -= std::min(remaining, line.size() + 2);
        m_bulkOctets += line.size() + 2;
        AppendStuffed(&wire, line);
        m_bulkLines.push_back(std::move(line));
    }
    m_bulkWire = std::make_shared<const std::string>(std::move(wire));
}

bool ArticleFactory::Exists(int64_t number) const {
    return number >= m_options.first && number <= m_options.last &&
           !m_options.missing.count(number);
}

int64_t ArticleFactory::Count() const {
    if (m_options.last < m_options.first)
        return 0;
    int64_t count = m_options.last - m_options.first + 1;
    for (int64_t n : m_options.missing)
        if (n >= m_options.first && n <= m_options.last)
            --count;
    return count;
}

std::string ArticleFactory::Subject(int64_t number) const {
    return "newsd test article " + std::to_string(number) + " (1/1)";
}

std::string ArticleFactory::Date(int64_t number) const {
    const time_t when = static_cast<time_t>(kFirstDate + number * 60);
    struct tm parts {};
    gmtime_r(&when, &parts);
    char text[64];
    strftime(text, sizeof(text), "%a, %d %b %Y %H:%M:%S +0000", &parts);
    return text;
}

std::string ArticleFactory::BodyLead(int64_t number) const {
    return "newsd article " + std::to_string(number) + " in " + m_options.group;
}

size_t ArticleFactory::BodyOctets() const {
    return BodyLead(m_options.last).size() + 2 + m_bulkOctets;
}

std::vector<std::string> ArticleFactory::HeaderLines(int64_t number) const {
    const size_t bodyOctets = BodyLead(number).size() + 2 + m_bulkOctets;
    return {
        "Path: newsd.test!not-for-mail",
        "From: newsd <poster@newsd.test>",
        "Newsgroups: " + m_options.group,
        "Subject: " + Subject(number),
        "Date: " + Date(number),
        "Message-ID: " + MessageId(number),
        "Lines: " + std::to_string(BodyLines()),
        "Bytes: " + std::to_string(bodyOctets),
        "Xref: newsd.test " + m_options.group + ":" + std::to_string(number),
    };
}

ExpectedArticle ArticleFactory::Expected(int64_t number) const {
    ExpectedArticle article;
    article.headerLines = HeaderLines(number);
    article.bodyLines.reserve(BodyLines());
    article.bodyLines.push_back(BodyLead(number));
    article.bodyLines.insert(article.bodyLines.end(), m_bulkLines.begin(), m_bulkLines.end());
    return article;
}

std::string ArticleFactory::HeaderWire(int64_t number) const {
    // Header lines never begin with a dot, so no stuffing is needed.
    return CrLf(HeaderLines(number));
}

std::string ArticleFactory::BodyLeadWire(int64_t number) const {
    std::string wire;
    AppendStuffed(&wire, BodyLead(number));
    return wire;
}

std::string ArticleFactory::OverviewLine(int64_t number) const {
    const std::string header = HeaderWire(number);
    const size_t bodyOctets = BodyLead(number).size() + 2 + m_bulkOctets;
    return std::to_string(number) + "\t" + Subject(number) + "\tnewsd <poster@newsd.test>\t" +
           Date(number) + "\t" + MessageId(number) + "\t\t" +
           std::to_string(header.size() + 2 + bodyOctets) + "\t" + std::to_string(BodyLines()) +
           "\tXref: newsd.test " + m_options.group + ":" + std::to_string(number);
}

}  // namespace newsd
