// Status rows on a terminal: as they come, but a thousand connections failing alike make a
// couple of lines, not a thousand.
#include "app/core/StatusRowFolder.h"
#include "support/StatusRowQueue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr std::int64_t kNoon = 116444736000000000LL + 10000000LL * 43200;  // 1970-01-01 12:00Z

TEST(StatusRowFolderTest, TheFirstRowIsPrintedAtOnceTheSameTextFromOthersIsCounted) {
    StatusRowFolder folder;
    const std::string text = "Failed to connect to server \"127.0.0.1\" port 9.  Will retry.";
    auto lines = folder.Add(0.0, kNoon, 1, text);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].connection, 1);
    EXPECT_EQ(lines[0].count, 1u);
    for (int connection = 2; connection <= 1000; ++connection)
        EXPECT_TRUE(folder.Add(0.5, kNoon, connection, text).empty()) << connection;
    // Another text is not held back by the first.
    EXPECT_EQ(folder.Add(0.6, kNoon, 7, "200 news.example.net ready").size(), 1u);

    EXPECT_TRUE(folder.Expire(0.9).empty());
    lines = folder.Expire(1.0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].count, 999u);
    EXPECT_EQ(lines[0].connection, 2);
    EXPECT_EQ(lines[0].lastConnection, 1000);
    EXPECT_EQ(lines[0].text, text);
    EXPECT_TRUE(folder.Expire(5.0).empty());  // the greeting's second passed with no repeat
}

TEST(StatusRowFolderTest, AfterTheSecondTheTextIsPrintedAgainAsItComes) {
    StatusRowFolder folder;
    EXPECT_EQ(folder.Add(0.0, kNoon, 1, "x").size(), 1u);
    EXPECT_TRUE(folder.Add(0.2, kNoon, 2, "x").empty());
    // 1.5 s: the folded line for connection 2 comes first, then the new row itself.
    auto lines = folder.Add(1.5, kNoon, 3, "x");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].count, 1u);
    EXPECT_EQ(lines[0].connection, 2);
    EXPECT_EQ(lines[1].connection, 3);
    // A repeat of a single connection (its own retry) is folded the same way.
    EXPECT_TRUE(folder.Add(1.6, kNoon, 3, "x").empty());
    lines = folder.Flush();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].connection, 3);
    EXPECT_TRUE(folder.Flush().empty());
}

TEST(StatusRowFolderTest, LinesNameTheConnectionsAndCarryNoControlBytes) {
    FoldedRow row;
    row.fileTime = kNoon;
    row.connection = 5;
    row.lastConnection = 5;
    row.text = "200 hello\x1b[31m";
    const std::string line = FormatFoldedRow(row);
    EXPECT_NE(line.find("  #5  200 hello\\x1B[31m\n"), std::string::npos) << line;
    EXPECT_EQ(line.find('\x1b'), std::string::npos);
    // A row of the engine's queue, as the dialogs list it, prints as that single row does.
    StatusRow queued;
    queued.fileTime = kNoon;
    queued.connection = 5;
    std::strcpy(queued.text, "200 hello\x1b[31m");
    EXPECT_EQ(FormatStatusRow(queued), line);
    EXPECT_EQ(FormatFoldedRowJson(row),
              "{\"event\":\"status\",\"time\":\"1970-01-01T12:00:00Z\",\"connection\":5,"
              "\"count\":1,\"text\":\"200 hello\\u001b[31m\"}\n");
    row.count = 999;
    row.connection = 2;
    row.lastConnection = 1000;
    EXPECT_NE(FormatFoldedRow(row).find("  999 more connections (#2..#1000)  "),
              std::string::npos);
    EXPECT_NE(FormatFoldedRowJson(row).find("\"count\":999,\"last_connection\":1000,"),
              std::string::npos);
    // Written 1.5 s after its first row, after a line of a later second: its time is when it
    // was written, so the events stay in time order, and the first row's time is kept.
    const std::int64_t later = kNoon + 15000000;
    EXPECT_EQ(FormatFoldedRowJson(row, later),
              "{\"event\":\"status\",\"time\":\"1970-01-01T12:00:01Z\","
              "\"first_time\":\"1970-01-01T12:00:00Z\",\"connection\":2,\"count\":999,"
              "\"last_connection\":1000,\"text\":\"200 hello\\u001b[31m\"}\n");
    // A single row is written as it comes: its own time.
    row.count = 1;
    EXPECT_EQ(FormatFoldedRowJson(row, later).find("first_time"), std::string::npos);
    EXPECT_NE(FormatFoldedRowJson(row, later).find("\"time\":\"1970-01-01T12:00:00Z\""),
              std::string::npos);
}

}  // namespace
