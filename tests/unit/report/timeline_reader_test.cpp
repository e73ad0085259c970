// Reading timelines as runs leave them: whole, killed while writing, written by a newer
// zodiva, or damaged; every fault is named with its file and line.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "app/report/Timeline.h"

using report::ParseTimeline;
using report::ReadResult;
using report::Timeline;

namespace {

const std::string kRun = R"({"event":"run","server":"news.test","port":119,"connections":2})";

std::string SecondLine(double t, int step = 1) {
    return R"({"event":"second","t":)" + std::to_string(t) + R"(,"step":)" + std::to_string(step) +
           R"(,"bytes":1000,"rate_bytes_per_s":1000.0,"articles":2})";
}

std::string Fixture(const std::string& name) {
    return std::string(ZODIVA_REPORT_TIMELINES) + "/" + name;
}

}  // namespace

TEST(TimelineReader, ReadsASweepWithItsStepsFollowingEachOtherInTime) {
    Timeline timeline;
    const ReadResult result = report::ReadTimelineFile(Fixture("sweep.jsonl"), timeline);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_TRUE(result.note.empty());
    EXPECT_EQ(timeline.run["server"], "127.0.0.1");
    EXPECT_TRUE(timeline.IsSweep());
    EXPECT_FALSE(timeline.EndedEarly());
    ASSERT_EQ(timeline.seconds.size(), 12u);
    ASSERT_EQ(timeline.steps.size(), 4u);
    ASSERT_TRUE(timeline.sweep);
    EXPECT_EQ((*timeline.sweep)["knee"], 4);
    // Each step counts t from its own Go (1, 2, 3); drawn over time they follow on.
    std::vector<double> runTimes;
    for (const auto& second : timeline.seconds) runTimes.push_back(second.runTime);
    EXPECT_EQ(runTimes, (std::vector<double>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
    EXPECT_EQ(timeline.seconds[3].step, 2);
    EXPECT_EQ(timeline.seconds[3].t, 1);
    const auto& latency = timeline.seconds[0].latency;
    ASSERT_TRUE(latency.count("body"));
    EXPECT_DOUBLE_EQ(latency.at("body").p50Ms, 1.5);
    EXPECT_DOUBLE_EQ(timeline.seconds[0].states.at("fetching_body"), 1);
}

TEST(TimelineReader, AKilledRunKeepsWhatItWroteAndLeavesOutItsCutLastLine) {
    Timeline timeline;
    const ReadResult result = report::ReadTimelineFile(Fixture("killed.jsonl"), timeline);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_NE(result.note.find("killed.jsonl:7: the last line is cut short"), std::string::npos)
        << result.note;
    EXPECT_TRUE(timeline.lastLineCut);
    EXPECT_TRUE(timeline.EndedEarly());
    ASSERT_EQ(timeline.seconds.size(), 5u);
    EXPECT_TRUE(timeline.seconds[0].warmup);
    EXPECT_FALSE(timeline.seconds[2].warmup);
    EXPECT_LT(timeline.seconds[0].engineCpu, 0) << "null is 'not measured', not 0 %";

    // Ended by a newline, a broken line is damage in the middle of the file, not a kill.
    const ReadResult middle =
        ParseTimeline("t", kRun + "\n{\"event\":\"sec\n" + SecondLine(1) + "\n", timeline);
    EXPECT_FALSE(middle.ok);
    EXPECT_NE(middle.error.find("t:2: not valid JSON"), std::string::npos) << middle.error;
    // Nor is a file cut within its run line a run worth showing.
    EXPECT_FALSE(ParseTimeline("t", R"({"event":"run","ser)", timeline).ok);
}

TEST(TimelineReader, NewerFilesReadUnknownKeysAndEventsAreSkipped) {
    Timeline timeline;
    const std::string text = kRun + "\r\n\r\n" +
                             R"({"event":"second","t":1,"new_figure":{"a":1},"engine_cpu":null})" +
                             "\r\n" + R"({"event":"annotation","text":"x"})" + "\n" +
                             SecondLine(2) + "\n" + R"({"event":"summary","duration_s":2})";
    const ReadResult result = ParseTimeline("new.jsonl", text, timeline);
    ASSERT_TRUE(result.ok) << result.error;
    ASSERT_EQ(timeline.seconds.size(), 2u);
    EXPECT_LT(timeline.seconds[0].engineCpu, 0);
    EXPECT_TRUE(timeline.summary.has_value()) << "a last line that parses is whole, newline or not";
    EXPECT_FALSE(timeline.lastLineCut);
}

TEST(TimelineReader, EveryFaultNamesTheFileAndItsLine) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"", "bad.jsonl: empty: no run line"},
        {"\n  \n", "bad.jsonl: empty: no run line"},
        {"t,step,connections,bytes\n1,1,2,3\n", "bad.jsonl:1: not a JSON timeline"},
        {SecondLine(1) + "\n", "bad.jsonl:1: the first line must be the run line"},
        {kRun + "\n[1,2]\n", "bad.jsonl:2: not a JSON object"},
        {kRun + "\n{\"t\":1}\n", "bad.jsonl:2: no \"event\" text"},
        {kRun + "\n" + SecondLine(1) + "\n{\"event\":\"second\",\"t\":\"2\"}\n",
         "bad.jsonl:3: \"t\" is not a number"},
        {kRun + "\n{\"event\":\"second\"}\n", "bad.jsonl:2: no \"t\" number"},
        {kRun + "\n{\"event\":\"second\",\"t\":1,\"bytes\":\"many\"}\n",
         "bad.jsonl:2: \"bytes\" is not a number"},
        {kRun + "\n{\"event\":\"second\",\"t\":1,\"step\":0}\n",
         "bad.jsonl:2: \"step\" is not a whole"},
        {kRun + "\n{\"event\":\"second\",\"t\":1,\"step\":1.5}\n",
         "bad.jsonl:2: \"step\" is not a whole"},
        {kRun + "\n{\"event\":\"second\",\"t\":1,\"states\":[1]}\n",
         "bad.jsonl:2: \"states\" is not an object"},
        {kRun + "\n{\"event\":\"second\",\"t\":1,\"failures\":{\"refused\":\"1\"}}\n",
         "bad.jsonl:2: \"failures\": \"refused\" is not a number"},
        {kRun + "\n{\"event\":\"second\",\"t\":1,\"latency\":{\"body\":3}}\n",
         "bad.jsonl:2: \"latency\": \"body\" is not an object"},
        {kRun + "\n{\"event\":\"second\",\"t\":1,\"warmup\":\"no\"}\n",
         "bad.jsonl:2: \"warmup\" is not true or false"},
        {kRun + "\n{\"event\":\"sweep\",\"steps\":{}}\n", "bad.jsonl:2: \"steps\" is not a list"},
        {kRun + "\n" + kRun + "\n", "bad.jsonl:2: a second run line"},
        {kRun + "\n{\"event\":\"second\",\"t\":1,}\n", "bad.jsonl:2: not valid JSON (column"},
        {kRun + "\n{\"event\":\"second\",\"server\":\"\xff\"}\n", "bad.jsonl:2: not valid JSON"},
    };
    for (const auto& [text, expected] : cases) {
        Timeline timeline;
        const ReadResult result = ParseTimeline("bad.jsonl", text, timeline);
        EXPECT_FALSE(result.ok) << text;
        EXPECT_EQ(result.error.rfind(expected, 0), 0u) << "got: " << result.error;
    }
}

TEST(TimelineReader, AFileThatCannotBeReadIsNamedWithTheReason) {
    Timeline timeline;
    const ReadResult missing = report::ReadTimelineFile("/nonexistent/run.jsonl", timeline);
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(missing.error, "/nonexistent/run.jsonl: cannot be read (No such file or directory)");
    const std::string folder = std::filesystem::temp_directory_path().string();
    const ReadResult directory = report::ReadTimelineFile(folder, timeline);
    EXPECT_FALSE(directory.ok);
    EXPECT_EQ(directory.error, folder + ": is a folder, not a timeline");
}
