// The report page and its charts from the timelines under tests/report/timelines: what each
// chart draws, and that nothing a timeline holds can become markup or script.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/report/ChartData.h"
#include "app/report/HtmlText.h"
#include "app/report/ReportCommand.h"
#include "app/report/ReportPage.h"

using namespace report;
using json = nlohmann::ordered_json;

namespace {

Timeline Load(const std::string& name, const std::string& label = std::string()) {
    Timeline timeline;
    const ReadResult result =
        ReadTimelineFile(std::string(ZODIVA_REPORT_TIMELINES) + "/" + name, timeline);
    EXPECT_TRUE(result.ok) << result.error;
    timeline.label = label.empty() ? name : label;
    return timeline;
}

const Chart* Find(const std::vector<Chart>& charts, const std::string& id) {
    const auto it = std::find_if(charts.begin(), charts.end(),
                                 [&](const Chart& chart) { return chart.id == id; });
    return it == charts.end() ? nullptr : &*it;
}

const Series* FindSeries(const Chart& chart, const std::string& label) {
    const auto it = std::find_if(chart.series.begin(), chart.series.end(),
                                 [&](const Series& series) { return series.label == label; });
    return it == chart.series.end() ? nullptr : &*it;
}

std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++count;
    return count;
}

PageParts Parts() {
    PageParts parts;
    parts.chartLibrary = "var Chart = function () {}; // </script> in a comment";
    parts.script = "/* page */";
    parts.style = "body {}";
    parts.generator = "zodiva-report test";
    parts.created = "2026-12-10T05:00:00Z";
    return parts;
}

}  // namespace

TEST(ReportText, EscapesEveryMarkupCharacterAndKeepsScriptDataInsideItsElement) {
    EXPECT_EQ(EscapeHtml("<a href=\"x\" title='y'>&</a>"),
              "&lt;a href=&quot;x&quot; title=&#39;y&#39;&gt;&amp;&lt;/a&gt;");
    const json hostile = {{"server", "</script><!-- \u2028 & <b>"}};
    const std::string text = ScriptJson(hostile);
    for (const char* forbidden : {"<", ">", "&", "\u2028"})
        EXPECT_EQ(text.find(forbidden), std::string::npos) << forbidden << " in " << text;
    EXPECT_EQ(json::parse(text), hostile) << "escaped, the data still reads the same";
    EXPECT_EQ(InlineScript("a</script>b</SCRIPT >c</div>"), "a<\\/script>b<\\/SCRIPT >c</div>");
    EXPECT_EQ(PlainValue(json(39968655.833333336)), "39968655.833");
    EXPECT_EQ(PlainValue(json(12.0)), "12");
    EXPECT_EQ(PlainValue(json(-0.0001)), "0");
    EXPECT_EQ(PlainValue(json(nullptr)), "none");
    EXPECT_EQ(PlainValue(json(true)), "yes");
    EXPECT_EQ(PlainValue(json("text")), "text");
}

TEST(ReportPage, AServerNameOrSettingThatIsMarkupStaysText) {
    const std::vector<Timeline> timelines = {Load("hostile.jsonl", "<i>label</i>")};
    const std::string page = RenderReport(timelines, Parts());
    // Only the page's own three script elements: its data, the library, its script.
    EXPECT_EQ(Count(page, "<script"), 3u);
    EXPECT_EQ(Count(page, "</script>"), 3u) << "the library's own </script> was escaped";
    EXPECT_EQ(page.find("<img"), std::string::npos);
    EXPECT_EQ(page.find("<i>label"), std::string::npos);
    EXPECT_NE(page.find("&lt;/script&gt;&lt;script&gt;document.title="), std::string::npos);
    EXPECT_NE(page.find("&lt;img src=x onerror="), std::string::npos);
    EXPECT_NE(page.find("&lt;i&gt;label&lt;/i&gt;"), std::string::npos);
}

TEST(ReportPage, ShowsMetadataSummaryAndStepsAboveTheCharts) {
    const std::vector<Timeline> timelines = {Load("before.jsonl"), Load("sweep.jsonl"),
                                             Load("killed.jsonl")};
    const std::string page = RenderReport(timelines, Parts());
    const std::size_t charts = page.find("<canvas");
    ASSERT_NE(charts, std::string::npos);
    for (const char* text : {"news.example.test:1119", "2026-12-10T05:00:00Z", "39.97 MB/s",
                             "sweep 1, 2, 4, 8", "knee 4, capacity 4", "stopped early",
                             "The run was stopped before it wrote its summary line",
                             "Its last line was cut short", "DLConnections", "p99_9_ms"})
        EXPECT_LT(page.find(text), charts) << text;
    // The killed run's figures are added up from its seconds after the 2 warm-up seconds:
    // 3 seconds of 30 MB/s.
    EXPECT_NE(page.find("<td>3</td><td>30.00</td>"), std::string::npos);
    EXPECT_EQ(Count(page, "<canvas"), ChartCount(timelines));
}

TEST(ReportCharts, RateCarriesFailuresAndMissingArticlesAsMarkersOfTheirRun) {
    const std::vector<Timeline> timelines = {Load("before.jsonl"), Load("after.jsonl")};
    const std::vector<Chart> charts = TimeCharts(timelines);
    const Chart* rate = Find(charts, "rate");
    ASSERT_NE(rate, nullptr);
    const Series* line = FindSeries(*rate, "before.jsonl");
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(line->points.size(), 12u);
    EXPECT_NEAR(line->points[0].second, 42.52, 0.01) << "MB/s are 10^6 bytes a second";
    const Series* failures = FindSeries(*rate, "before.jsonl: failures");
    ASSERT_NE(failures, nullptr);
    EXPECT_EQ(failures->points, (std::vector<std::pair<double, double>>{{5, 1}}));
    EXPECT_TRUE(failures->rightAxis);
    EXPECT_EQ(failures->color, line->color) << "a marker has its run's colour";
    const Series* missing = FindSeries(*rate, "before.jsonl: missing articles");
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(missing->points, (std::vector<std::pair<double, double>>{{8, 1}}));
    EXPECT_EQ(FindSeries(*rate, "after.jsonl: failures"), nullptr) << "no failure, no marker";
    EXPECT_NE(FindSeries(*rate, "after.jsonl")->color, line->color);
    for (const char* id : {"articles", "latency-head", "latency-body", "latency-article",
                           "states-1", "states-2", "engine-cpu"})
        EXPECT_NE(Find(charts, id), nullptr) << id;
}

TEST(ReportCharts, StatesStackOnTheSameSecondsAndEmptyChartsAreLeftOut) {
    Timeline timeline;
    ASSERT_TRUE(ParseTimeline("t.jsonl",
                              "{\"event\":\"run\"}\n"
                              "{\"event\":\"second\",\"t\":1,\"states\":{\"connecting\":2}}\n"
                              "{\"event\":\"second\",\"t\":2,\"states\":{\"fetching body\":2}}\n"
                              "{\"event\":\"second\",\"t\":3,\"engine_cpu\":null}\n",
                              timeline)
                    .ok);
    timeline.label = "t";
    const std::vector<Chart> charts = TimeCharts({timeline});
    const Chart* states = Find(charts, "states-1");
    ASSERT_NE(states, nullptr);
    EXPECT_TRUE(states->stacked);
    ASSERT_EQ(states->series.size(), 2u);
    EXPECT_EQ(states->series[0].label, "connecting");
    EXPECT_EQ(states->series[0].points,
              (std::vector<std::pair<double, double>>{{1, 2}, {2, 0}, {3, 0}}));
    EXPECT_EQ(states->series[1].points,
              (std::vector<std::pair<double, double>>{{1, 0}, {2, 2}, {3, 0}}));
    // No latency sample and no CPU figure: those charts would be empty frames.
    EXPECT_EQ(Find(charts, "latency-body"), nullptr);
    EXPECT_EQ(Find(charts, "engine-cpu"), nullptr);
    EXPECT_NE(Find(charts, "rate"), nullptr);
    EXPECT_TRUE(SweepCharts({timeline}).empty());
}

TEST(ReportCharts, ASweepMarksItsKneeAndCapacityOnItsOwnLine) {
    const std::vector<Timeline> timelines = {Load("before.jsonl"), Load("sweep.jsonl")};
    const std::vector<Chart> charts = SweepCharts(timelines);
    const Chart* rate = Find(charts, "sweep-rate");
    const Chart* p99 = Find(charts, "sweep-p99");
    ASSERT_NE(rate, nullptr);
    ASSERT_NE(p99, nullptr);
    EXPECT_TRUE(rate->logarithmicX) << "1 to 8 connections, doubling";
    const Series* line = FindSeries(*rate, "sweep.jsonl");
    ASSERT_NE(line, nullptr);
    ASSERT_EQ(line->points.size(), 4u);
    EXPECT_EQ(line->points[2].first, 4);
    const Series* knee = FindSeries(*rate, "sweep.jsonl: knee, 4 connections");
    ASSERT_NE(knee, nullptr);
    EXPECT_EQ(knee->points, (std::vector<std::pair<double, double>>{line->points[2]}));
    EXPECT_EQ(knee->color, TimelineColor(1)) << "the sweep's colour, as the second timeline";
    EXPECT_NE(FindSeries(*rate, "sweep.jsonl: capacity, 4 connections"), nullptr);
    const Series* body = FindSeries(*p99, "sweep.jsonl BODY p99");
    ASSERT_NE(body, nullptr);
    EXPECT_EQ(body->points[3], (std::pair<double, double>{8, 10.2}));
    EXPECT_FALSE(body->dashed);
    EXPECT_NE(FindSeries(*p99, "sweep.jsonl: knee, 4 connections"), nullptr);
    EXPECT_EQ(FindSeries(*rate, "before.jsonl"), nullptr) << "a plain run has no sweep line";
}

TEST(ReportCharts, StepFiguresReadOlderAndNewerSummaries) {
    const StepFigures older = FiguresOf(json::parse(
        R"({"average_kib_s":1000,"articles_completed":30,"duration_s":10,
            "failures":{"refused":2,"timeout":3},"latency":{"body":{"p99_ms":4.5}}})"));
    EXPECT_DOUBLE_EQ(older.rateBytesPerSecond, 1024000);
    EXPECT_DOUBLE_EQ(older.articlesPerSecond, 3);
    EXPECT_DOUBLE_EQ(older.failures, 5);
    EXPECT_DOUBLE_EQ(older.p99[1], 4.5);
    EXPECT_LT(older.p99[0], 0);
    EXPECT_LT(older.missing, 0) << "absent is not 0";
    const StepFigures newer = FiguresOf(json::parse(
        R"({"rate_bytes_per_s":5e6,"average_kib_s":1,"articles_per_s":7,
            "checks":[{"pass":true},{"pass":false},{"pass":true}]})"));
    EXPECT_DOUBLE_EQ(newer.rateBytesPerSecond, 5e6);
    EXPECT_DOUBLE_EQ(newer.articlesPerSecond, 7);
    EXPECT_EQ(newer.checks, 3);
    EXPECT_EQ(newer.checksPassed, 2);
}

TEST(ReportCharts, ChartDataHoldsWhatTheScriptDraws) {
    const std::vector<Chart> charts = SweepCharts({Load("sweep.jsonl")});
    const json data = ChartsJson(charts);
    ASSERT_EQ(data["charts"].size(), 2u);
    const json& first = data["charts"][0];
    EXPECT_EQ(first["id"], "sweep-rate");
    EXPECT_EQ(first["log_x"], true);
    EXPECT_EQ(first["series"][0]["points"][0][0], 1);
    EXPECT_EQ(first["series"][1]["style"], "points");
    EXPECT_EQ(first["series"][1]["marker"], "triangle");
}

TEST(ReportLegend, LabelsComeFirstThenFileNamesWhichKeepTheirPathWhenShared) {
    EXPECT_EQ(LegendNames({"a/run.jsonl", "b/run.jsonl", "c/other.jsonl"}, {}),
              (std::vector<std::string>{"a/run.jsonl", "b/run.jsonl", "other.jsonl"}));
    EXPECT_EQ(LegendNames({"x/before.jsonl", "x/after.jsonl"}, {"old server"}),
              (std::vector<std::string>{"old server", "after.jsonl"}));
}
