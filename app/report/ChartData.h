#pragma once
// What each chart of the report shows, worked out from the timelines: its title, its axes and
// its series of points. The page's script only hands these to the charting library, so every
// decision about what is drawn is made (and tested) here.
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "app/report/Timeline.h"

namespace report {

// MB/s as the pages show them: 10^6 bytes a second.
constexpr double kMega = 1e6;

struct Series {
    enum class Style { kLine, kArea, kPoints };
    Series(std::string name, std::string colour)
        : label(std::move(name)), color(std::move(colour)) {}

    std::string label;
    std::string color;  // "#rrggbb"
    std::vector<std::pair<double, double>> points;
    Style style = Style::kLine;
    bool dashed = false;
    bool rightAxis = false;      // drawn against the chart's second axis
    std::string marker = "circle";  // the library's point style, for kPoints
    int pointRadius = 0;            // dots on a line's points: a few steps, not many seconds
};

struct Chart {
    Chart(std::string name, std::string heading, std::string x, std::string y,
          std::string right = std::string())
        : id(std::move(name)), title(std::move(heading)), xTitle(std::move(x)),
          yTitle(std::move(y)), rightTitle(std::move(right)) {}

    std::string id;  // the canvas's id: letters, digits and "-" only
    std::string title;
    std::string xTitle;
    std::string yTitle;
    std::string rightTitle;  // empty: no second axis
    bool stacked = false;
    bool logarithmicX = false;
    std::vector<Series> series;
};

// The colour of the n-th timeline, the same in every chart and beside its name in the text.
const std::string& TimelineColor(std::size_t index);

// Charts over time: rate (with failures and missing articles as markers), articles per
// second, p50 and p99 of HEAD, BODY and ARTICLE, connection states (one stacked chart per
// timeline), engine CPU. A chart whose figures no timeline holds is left out.
std::vector<Chart> TimeCharts(const std::vector<Timeline>& timelines);

// For the timelines of sweeps: rate against connections and p99 against connections, with the
// knee and the capacity marked.
std::vector<Chart> SweepCharts(const std::vector<Timeline>& timelines);

// One step's figures as the sweep tables and charts read them.
struct StepFigures {
    double connections = -1;
    double rateBytesPerSecond = -1;
    double articlesPerSecond = -1;
    double failures = -1;
    double missing = -1;
    double engineCpu = -1;
    // p50 and p99 in ms of "head", "body", "article"; negative when absent.
    double p50[3] = {-1, -1, -1};
    double p99[3] = {-1, -1, -1};
    int checksPassed = 0;
    int checks = 0;
};
extern const char* const kChartedCommands[3];  // "head", "body", "article"

// Figures of a summary or step object: the rate from "rate_bytes_per_s" (else from
// "average_kib_s"), failures summed over their kinds.
StepFigures FiguresOf(const nlohmann::ordered_json& summary);
// A sweep's steps: from its sweep line, else (a sweep stopped early) from its step lines.
std::vector<nlohmann::ordered_json> StepsOf(const Timeline& timeline);
// The knee or capacity of a sweep line; negative when absent or null.
double SweepMark(const Timeline& timeline, const char* key);

// The page's script reads this: {"charts":[{id, title, x, y, y2, stacked, log_x,
// series:[{label, color, style, dashed, axis, marker, points:[[x,y],...]}]}]}.
nlohmann::ordered_json ChartsJson(const std::vector<Chart>& charts);

}  // namespace report
