// The lines of --json read back with a JSON library: whatever a server sent (quotes, line
// breaks, control bytes, Latin-1) leaves them as valid JSON with the same text and nothing a
// terminal would act on, numbers read back as printf rounded them, and every key of ours is
// snake_case.
#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "app/core/JsonObject.h"
#include "app/core/RunReport.h"
#include "app/core/RunSummary.h"
#include "app/core/StatusRowFolder.h"

namespace {

using namespace std::string_literals;

bool IsSnakeCase(const std::string& key) {
    if (key.empty() || !std::islower(static_cast<unsigned char>(key.front())))
        return false;
    for (char c : key) {
        if (!std::islower(static_cast<unsigned char>(c)) &&
            !std::isdigit(static_cast<unsigned char>(c)) && c != '_')
            return false;
    }
    return true;
}

// Every key below `value`, except the members of "settings", which are the settings' names.
void ExpectSnakeCaseKeys(const nlohmann::json& value, const std::string& path) {
    if (!value.is_object())
        return;
    for (const auto& [key, member] : value.items()) {
        EXPECT_TRUE(IsSnakeCase(key)) << path << "." << key;
        if (key != "settings")
            ExpectSnakeCaseKeys(member, path + "." + key);
    }
}

TEST(JsonOutputTest, SummaryWithServerTextReadsBackUnchanged) {
    RunSummary summary;
    summary.setup.server = "news \"quoted\".example";
    summary.setup.port = 119;
    summary.setup.version = "1.0";
    summary.setup.started = "2026-12-10T05:37:30Z";
    summary.setup.settings = {{"DLConnections", "1"}, {"news_server", "a\\b\"c"}};
    summary.durationSeconds = 2.0;
    summary.averageBytesPerSecond = 1024.0 * 3;
    summary.stoppedBy = "time";
    summary.engineDetails = true;
    summary.failures = {{"time-out", "time_out", 2, "502 no\r\nway\t\x01 caf\xc3\xa9"},
                        {"greeting refused", "greeting_refused", 1, "\xe9t\xe9"}};

    const std::string line = FormatSummary(summary, true);
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(line)) << line;
    EXPECT_EQ(parsed["event"], "summary");
    EXPECT_EQ(parsed["server"], "news \"quoted\".example");
    EXPECT_EQ(parsed["settings"]["news_server"], "a\\b\"c");
    EXPECT_EQ(parsed["reasons"]["time_out"], "502 no\r\nway\t\x01 caf\xc3\xa9");
    // A byte that is no UTF-8 is read as Latin-1, so nothing of it is lost.
    EXPECT_EQ(parsed["reasons"]["greeting_refused"], "\xc3\xa9t\xc3\xa9");
    EXPECT_EQ(parsed["failures"]["time_out"], 2);
    EXPECT_TRUE(parsed["engine_cpu"].is_null()) << "unknown CPU use is null, not -1";
    EXPECT_EQ(parsed["average_kib_s"], 3.0);
    ExpectSnakeCaseKeys(parsed, "");
}

// What a server may send in a reply line: NUL, ESC, DEL, a C1 control, a lone lead byte, 0xFF,
// overlong and cut sequences, a surrogate, a quote and a backslash.
const std::string kHostile =
    "200 a\0b\x1b[2J\x7f\xc2\x9b"
    "31m \xc3 \xff \xc0\xaf\xe0\x80\xaf \xe2\x82 \xed\xa0\x80 "
    "\"q\" \\ caf\xc3\xa9"s;
// The same text as it reads back: every byte that is not UTF-8 is its Latin-1 character.
const std::string kHostileRead =
    "200 a\0b\x1b[2J\x7f\xc2\x9b"
    "31m \xc3\x83 \xc3\xbf \xc3\x80\xc2\xaf\xc3\xa0\xc2\x80\xc2\xaf "
    "\xc3\xa2\xc2\x82 \xc3\xad\xc2\xa0\xc2\x80 \"q\" \\ caf\xc3\xa9"s;

// One line of valid JSON with no byte a terminal acts on: no control character (C0, DEL or
// C1) is written as it is.
void ExpectSafeLine(const std::string& line) {
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    for (std::size_t i = 0; i + 1 < line.size(); ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        const auto next = static_cast<unsigned char>(line[i + 1]);
        EXPECT_FALSE(c < 0x20 || c == 0x7F || (c == 0xC2 && next >= 0x80 && next <= 0x9F))
            << "byte " << i << " of " << line;
    }
}

TEST(JsonOutputTest, HostileServerTextIsWrittenSafelyAndReadsBackAsLatin1) {
    ASSERT_EQ(kHostile[5], '\0');
    FoldedRow row;
    row.text = kHostile;
    row.connection = 3;
    const std::string status = FormatFoldedRowJson(row);
    ExpectSafeLine(status);
    nlohmann::json parsed;
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(status)) << status;
    EXPECT_EQ(parsed["text"].get<std::string>(), kHostileRead);

    RunSummary summary;
    summary.engineDetails = true;
    summary.setup.server = kHostile;
    summary.setup.settings = {{kHostile, kHostile}};  // a setting's name is typed by a person
    summary.failures = {{"time-out", "time_out", 1, kHostile}};
    const std::string line = FormatSummary(summary, true);
    ExpectSafeLine(line);
    ASSERT_NO_THROW(parsed = nlohmann::json::parse(line)) << line;
    EXPECT_EQ(parsed["server"].get<std::string>(), kHostileRead);
    EXPECT_EQ(parsed["reasons"]["time_out"].get<std::string>(), kHostileRead);
    EXPECT_EQ(parsed["settings"][kHostileRead].get<std::string>(), kHostileRead);
}

TEST(JsonOutputTest, ControlCharactersAreEscapedAsTheyAlwaysWere) {
    EXPECT_EQ(JsonText(JsonString("a\"b\\c\nd\x01")), "\"a\\\"b\\\\c\\nd\\u0001\"");
    EXPECT_EQ(JsonText(JsonString("\x1b[0m\x7f")), "\"\\u001b[0m\\u007f\"");
    EXPECT_EQ(JsonText(JsonString("\xc2\x85 \x9b")), "\"\\u0085 \\u009b\"");
    EXPECT_EQ(JsonText(JsonString("caf\xc3\xa9 \xc2\xa0")), "\"caf\xc3\xa9 \xc2\xa0\"");
}

// printf's rounding is the reference: a figure reads back as the text it was written as
// before the library wrote it ("%.2f" of 2.675 is 2.67, the double being just below).
TEST(JsonOutputTest, NumbersReadBackAsPrintfRoundedThem) {
    const double values[] = {0.0,    0.1 + 0.2, 2.675, 1.0005,   -0.0004,     123456.789,
                             1e-7,   99.995,    2.5,   20.0,     -1234.56789, 1e12 / 3,
                             5e-324, 1e300,     0.125, 999999.4, 999999.6,    1e15 + 0.3};
    for (double value : values) {
        for (int decimals : {0, 1, 2, 3}) {
            char text[400];
            std::snprintf(text, sizeof text, "%.*f", decimals, value);
            const nlohmann::json read =
                nlohmann::json::parse(JsonText(RoundedNumber(value, decimals)));
            EXPECT_EQ(read.get<double>(), std::strtod(text, nullptr)) << text;
            EXPECT_EQ(read.is_number_integer(), decimals == 0 && std::fabs(value) < 9e18) << text;
        }
        char text[64];
        std::snprintf(text, sizeof text, "%.6g", value);
        const nlohmann::json read = nlohmann::json::parse(JsonText(SignificantNumber(value, 6)));
        EXPECT_EQ(read.get<double>(), std::strtod(text, nullptr)) << text;
        // A whole number where printf writes one without point or exponent.
        EXPECT_EQ(read.is_number_integer(),
                  std::string(text).find_first_of(".e") == std::string::npos)
            << text;
    }
    // The library writes the shortest text that reads back: no tail of binary noise.
    EXPECT_EQ(JsonText(RoundedNumber(0.1 + 0.2, 3)), "0.3");
    EXPECT_EQ(JsonText(RoundedNumber(2500000.4, 0)), "2500000");
    for (double nothing : {NAN, INFINITY, -INFINITY}) {
        EXPECT_EQ(JsonText(RoundedNumber(nothing, 2)), "null");
        EXPECT_EQ(JsonText(SignificantNumber(nothing, 6)), "null");
    }
}

TEST(JsonOutputTest, MembersKeepTheirOrderAndMergeAddsAfter) {
    JsonObject inner;
    inner.Signed("z", -1).Null("a");
    JsonObject outer;
    outer.Text("event", "x").Flag("b", false).Member("inner", inner);
    outer.Merge(JsonObject().Count("after", 7).Number("n", 1.25, 1));
    EXPECT_EQ(outer.Line(),
              "{\"event\":\"x\",\"b\":false,\"inner\":{\"z\":-1,\"a\":null},\"after\":7,"
              "\"n\":1.2}\n");
    EXPECT_EQ(JsonObject().Object(), "{}");
}

}  // namespace
