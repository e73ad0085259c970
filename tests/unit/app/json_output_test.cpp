// The summary line of --json read back with a JSON library: whatever a server sent (quotes,
// line breaks, control bytes, Latin-1) leaves it as valid JSON with the same text, and every
// key of ours is snake_case.
#include <gtest/gtest.h>

#include <cctype>
#include <nlohmann/json.hpp>
#include <string>

#include "app/core/RunReport.h"
#include "app/core/RunSummary.h"

namespace {

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
    // Fixed decimals stay as shipped: the library would write 3.0 and 0.0.
    EXPECT_NE(line.find("\"average_kib_s\":3.00"), std::string::npos) << line;
    ExpectSnakeCaseKeys(parsed, "");
}

}  // namespace
