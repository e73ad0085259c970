#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/ErrorText.h"
#include "tests/common/TempWorkingDir.h"
#include "tests/common/TestClock.h"
#include "tests/common/TimeZone.h"

namespace {

// A list control that keeps its rows and can be made slow on the test clock.
class FakeListControl : public StatusListControl {
public:
    void DeleteRow(int index) override { rows.erase(rows.begin() + index); }
    void InsertRow(int index, const char* text) override {
        if (clock != nullptr)
            clock->AdvanceMilliseconds(insertDelayMs);
        const size_t at = std::min(static_cast<size_t>(index), rows.size());
        rows.insert(rows.begin() + at, text);
    }
    int GetRowCount() override { return static_cast<int>(rows.size()); }
    void EnsureVisible(int index) override { visible = index; }

    std::vector<std::string> rows;
    int visible = -1;
    TestClock* clock = nullptr;
    int insertDelayMs = 0;
};

class StatusListTest : public InTempWorkingDir {
protected:
    StatusListTest() {
        list.Window = &control;
        list.RowLimit = 3;
        list.RowCount = 0;
        control.clock = &clock;
    }
    std::string ErrorLogBody() {
        const std::string text = ReadWholeFile("errorlog.txt");
        const size_t end = text.rfind("##\n");
        return end == std::string::npos ? text : text.substr(end + 3);
    }

    ScopedTimeZone zone{"UTC0"};
    TestClock clock;
    FakeListControl control;
    StatusList list;
};

TEST_F(StatusListTest, FullListDropsTheOldestRow) {
    for (const char* row : {"A", "B", "C"}) EXPECT_TRUE(StatusListPrintf(&list, "%s", row));
    EXPECT_EQ(list.RowCount, 3);
    EXPECT_TRUE(StatusListPrintf(&list, "D"));
    EXPECT_EQ(control.rows, (std::vector<std::string>{"B", "C", "D"}));
    EXPECT_EQ(control.visible, 2);
    EXPECT_EQ(list.RowCount, 3);
    EXPECT_STREQ(list.Row, "D");
}

TEST_F(StatusListTest, SwitchedOffOrWithoutWindowAddsNothing) {
    list.Window = nullptr;
    EXPECT_FALSE(StatusListPrintf(&list, "x"));
    list.Window = &control;
    StatusListEnabled = false;
    EXPECT_FALSE(StatusListPrintf(&list, "x"));
    StatusListEnabled = true;
    EXPECT_FALSE(StatusListPrintf(nullptr, "x"));
    EXPECT_TRUE(control.rows.empty());
    EXPECT_EQ(list.RowCount, 0);
}

TEST_F(StatusListTest, DirectivesAndLineBreaks) {
    StatusListPrintf(&list, "Greeting(%d): %s", 4, "200 news.example.net ready\r\n");
    EXPECT_EQ(control.rows.back(), "Greeting(4): 200 news.example.net ready");
    StatusListPrintf(&list, "%W / %w / 100%% %q %s", 10061, 1, static_cast<const char*>(nullptr));
    EXPECT_EQ(control.rows.back(),
              "10061 - No connection could be made because the target machine actively refused "
              "it. / Unknown Error Number / 100% q NULL");
    StatusListPrintf(&list, "%x%T%t end%");
    EXPECT_EQ(control.rows.back(), "xTt end") << "no hex or time directives here";
}

TEST_F(StatusListTest, LongRowsAreCutAndLateNumbersSkipped) {
    const std::string filler(4062, 'f');
    StatusListPrintf(&list, "%s%d%s", filler.c_str(), 12345, "after");
    EXPECT_EQ(control.rows.back(), filler + "after") << "the number's argument is still taken";

    const std::string almost(4061, 'g');
    StatusListPrintf(&list, "%s%d", almost.c_str(), -2147483647 - 1);
    EXPECT_EQ(control.rows.back(), almost + "-2147483648");

    const std::string huge(5000, 'h');
    StatusListPrintf(&list, "%s and more", huge.c_str());
    EXPECT_EQ(control.rows.back(), std::string(4093, 'h'));
}

TEST_F(StatusListTest, SlowRowsAreReportedWithUnpaddedHundredths) {
    control.insertDelayMs = 330;
    StatusListPrintf(&list, "quick enough");
    EXPECT_FALSE(PathExists("errorlog.txt"));

    control.insertDelayMs = 340;
    StatusListPrintf(&list, "slow");
    EXPECT_EQ(ErrorLogBody(), "15:22:40: Log delay 0.34 secs.\n");

    control.insertDelayMs = 1050;
    StatusListPrintf(&list, "slower");
    control.insertDelayMs = 2000;
    StatusListPrintf(&list, "slowest");
    const std::string body = ErrorLogBody();
    EXPECT_NE(body.find(": Log delay 1.5 secs.\n"), std::string::npos) << body;
    EXPECT_NE(body.find(": Log delay 2.0 secs.\n"), std::string::npos) << body;
    EXPECT_EQ(control.rows.size(), 3u) << "slow rows are still added";
}

TEST_F(StatusListTest, ClockSetBackIsNoDelay) {
    control.insertDelayMs = -5000;
    EXPECT_TRUE(StatusListPrintf(&list, "x"));
    EXPECT_FALSE(PathExists("errorlog.txt"));
}

}  // namespace

namespace {

TEST_F(StatusListTest, ControlBytesFromAServerAreShownEscaped) {
    // An escape sequence that would clear a terminal, a bell and a DEL; tab stays as it is.
    EXPECT_TRUE(StatusListPrintf(&list, "%s", "400 \x1b[2Jgone\a\x7f\tnow\r\n"));
    EXPECT_STREQ(list.Row, "400 \\x1B[2Jgone\\x07\\x7F\tnow");
}

TEST_F(StatusListTest, EscapesStopAtTheRowLimitLikeOtherText) {
    std::string many(3000, '\x01');
    EXPECT_TRUE(StatusListPrintf(&list, "%s", many.c_str()));
    EXPECT_EQ(std::string(list.Row).size(), static_cast<size_t>(kStatusRowMaxLength));
}

}  // namespace
