#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "newsd/Articles.h"

namespace newsd {
namespace {

// Undoes the wire form: CR LF lines, leading dot of a stuffed line removed.
std::vector<std::string> Unstuff(const std::string& wire) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < wire.size()) {
        const size_t end = wire.find("\r\n", start);
        if (end == std::string::npos)
            break;
        std::string line = wire.substr(start, end - start);
        if (!line.empty() && line[0] == '.') {
            EXPECT_GE(line.size(), 2u) << "a lone dot on the wire would end the block";
            EXPECT_EQ(line[1], '.') << "unstuffed line starting with a dot: " << line;
            line.erase(0, 1);
        }
        lines.push_back(line);
        start = end + 2;
    }
    return lines;
}

ArticleOptions Small() {
    ArticleOptions options;
    options.first = 10;
    options.last = 30;
    options.bodyBytes = 8000;
    options.lineLength = 40;
    options.missing = {12, 29, 500};
    return options;
}

TEST(ArticlesTest, BodyWireUnstuffsToTheExpectedLinesAndContainsEveryDotCase) {
    ArticleFactory articles(Small());
    const ExpectedArticle expected = articles.Expected(20);
    const std::vector<std::string> body =
        Unstuff(articles.BodyLeadWire(20) + *articles.BodyBulkWire());
    EXPECT_EQ(body, expected.bodyLines);

    bool loneDot = false, leadingDot = false, doubleDot = false, empty = false;
    for (const auto& line : expected.bodyLines) {
        EXPECT_LE(line.size(), 40u);
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
        loneDot |= line == ".";
        leadingDot |= line.size() > 1 && line[0] == '.' && line[1] != '.';
        doubleDot |= line.rfind("..", 0) == 0;
        empty |= line.empty();
    }
    EXPECT_TRUE(loneDot && leadingDot && doubleDot && empty);
    // Size as asked, give or take one line.
    EXPECT_NEAR(static_cast<double>(expected.BodyText().size()), 8000.0, 42.0);
    EXPECT_EQ(expected.BodyText().size(), articles.BodyOctets());
}

TEST(ArticlesTest, HeaderNamesTheArticleAndFileTextJoinsHeaderAndBody) {
    ArticleFactory articles(Small());
    const ExpectedArticle expected = articles.Expected(17);
    EXPECT_EQ(articles.HeaderWire(17), expected.HeaderText());
    EXPECT_NE(expected.HeaderText().find("Message-ID: <17.part@newsd.test>\r\n"),
              std::string::npos);
    EXPECT_NE(expected.HeaderText().find("Newsgroups: alt.binaries.test\r\n"), std::string::npos);
    EXPECT_EQ(expected.FileText(), expected.HeaderText() + "\r\n" + expected.BodyText());
    // Different articles differ in header and in the first body line.
    const ExpectedArticle other = articles.Expected(18);
    EXPECT_NE(other.headerLines, expected.headerLines);
    EXPECT_NE(other.bodyLines.front(), expected.bodyLines.front());
    EXPECT_EQ(ArticleFactory(Small()).Expected(17).FileText(), expected.FileText());
}

TEST(ArticlesTest, ExistenceAndCountHonourRangeAndGaps) {
    ArticleFactory articles(Small());
    EXPECT_TRUE(articles.Exists(10));
    EXPECT_TRUE(articles.Exists(30));
    EXPECT_FALSE(articles.Exists(9));
    EXPECT_FALSE(articles.Exists(31));
    EXPECT_FALSE(articles.Exists(12));
    EXPECT_EQ(articles.Count(), 19);  // 21 numbers, two gaps inside, one outside

    ArticleOptions empty = Small();
    empty.last = 5;
    EXPECT_EQ(ArticleFactory(empty).Count(), 0);
}

TEST(ArticlesTest, TinyAndOddSizesStayWellFormed) {
    for (size_t bytes : {0, 1, 2, 3, 50}) {
        for (size_t length : {0, 1, 2, 1019, 1021}) {
            ArticleOptions options;
            options.bodyBytes = bytes;
            options.lineLength = length;
            ArticleFactory articles(options);
            const std::string wire = articles.BodyLeadWire(1) + *articles.BodyBulkWire();
            EXPECT_EQ(Unstuff(wire), articles.Expected(1).bodyLines) << bytes << "/" << length;
        }
    }
    ArticleOptions longLines;
    longLines.bodyBytes = 5000;
    longLines.lineLength = 1021;
    const ExpectedArticle expected = ArticleFactory(longLines).Expected(3);
    ASSERT_GE(expected.bodyLines.size(), 3u);
    EXPECT_EQ(expected.bodyLines[1].size(), 1021u);
}

TEST(ArticlesTest, MessageIdsRoundTripAndForeignIdsAreRefused) {
    int64_t number = 0;
    EXPECT_EQ(MessageId(42), "<42.part@newsd.test>");
    ASSERT_TRUE(ParseMessageId(MessageId(42), &number));
    EXPECT_EQ(number, 42);
    ASSERT_TRUE(ParseMessageId(MessageId(-3), &number));
    EXPECT_EQ(number, -3);
    for (const char* bad : {"", "<>", "<.part@newsd.test>", "<4x.part@newsd.test>",
                            "<42.part@other.test>", "42.part@newsd.test>", "<-.part@newsd.test>",
                            "<99999999999999999999999.part@newsd.test>"}) {
        EXPECT_FALSE(ParseMessageId(bad, &number)) << bad;
    }
}

TEST(ArticlesTest, OverviewLineHasTheEightFieldsOfTheArticle) {
    ArticleFactory articles(Small());
    const std::string line = articles.OverviewLine(15);
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t tab; (tab = line.find('\t', start)) != std::string::npos; start = tab + 1)
        fields.push_back(line.substr(start, tab - start));
    fields.push_back(line.substr(start));
    ASSERT_EQ(fields.size(), 9u);
    EXPECT_EQ(fields[0], "15");
    EXPECT_EQ(fields[4], "<15.part@newsd.test>");
    const ExpectedArticle expected = articles.Expected(15);
    EXPECT_EQ(fields[6], std::to_string(expected.FileText().size()));
    EXPECT_EQ(fields[7], std::to_string(expected.bodyLines.size()));
}

}  // namespace
}  // namespace newsd
