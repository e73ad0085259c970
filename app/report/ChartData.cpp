#include "app/report/ChartData.h"

#include <algorithm>
#include <cctype>

namespace report {

using json = nlohmann::ordered_json;

const char* const kChartedCommands[3] = {"head", "body", "article"};

namespace {

// Told apart by people with the common kinds of colour blindness, and on paper.
const std::vector<std::string> kTimelineColors = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e",
                                                  "#9467bd", "#8c564b", "#e377c2", "#17becf"};
const std::vector<std::string> kStateColors = {"#4e79a7", "#f28e2b", "#e15759", "#76b7b2",
                                               "#59a14f", "#edc948", "#b07aa1", "#ff9da7",
                                               "#9c755f", "#bab0ac"};

constexpr const char* kOverTime = "seconds since Go";

bool HasPoints(const Chart& chart) {
    return std::any_of(chart.series.begin(), chart.series.end(),
                       [](const Series& s) { return !s.points.empty(); });
}

void KeepIfDrawn(std::vector<Chart>& charts, Chart chart) {
    std::erase_if(chart.series, [](const Series& s) { return s.points.empty(); });
    if (HasPoints(chart))
        charts.push_back(std::move(chart));
}

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

double Sum(const std::map<std::string, double>& counts) {
    double total = 0;
    for (const auto& [kind, count] : counts) total += count;
    return total;
}

Chart RateChart(const std::vector<Timeline>& timelines) {
    Chart chart{"rate", "Receive rate", kOverTime, "MB/s", "failures, missing per second"};
    std::vector<Series> markers;
    for (std::size_t i = 0; i < timelines.size(); ++i) {
        const Timeline& timeline = timelines[i];
        Series rate{timeline.label, TimelineColor(i)};
        Series failures{timeline.label + ": failures", TimelineColor(i)};
        failures.style = Series::Style::kPoints;
        failures.rightAxis = true;
        failures.marker = "triangle";
        Series missing = failures;
        missing.label = timeline.label + ": missing articles";
        missing.marker = "crossRot";
        for (const Second& second : timeline.seconds) {
            rate.points.emplace_back(second.runTime, second.rateBytesPerSecond / kMega);
            if (const double count = Sum(second.failures); count > 0)
                failures.points.emplace_back(second.runTime, count);
            if (second.missing > 0)
                missing.points.emplace_back(second.runTime, second.missing);
        }
        chart.series.push_back(std::move(rate));
        markers.push_back(std::move(failures));
        markers.push_back(std::move(missing));
    }
    std::erase_if(markers, [](const Series& s) { return s.points.empty(); });
    if (markers.empty())
        chart.rightTitle.clear();
    for (Series& marker : markers) chart.series.push_back(std::move(marker));
    return chart;
}

Chart PerSecondChart(const std::vector<Timeline>& timelines, const char* id, const char* title,
                     const char* yTitle, double (*value)(const Second&)) {
    Chart chart{id, title, kOverTime, yTitle};
    for (std::size_t i = 0; i < timelines.size(); ++i) {
        Series series{timelines[i].label, TimelineColor(i)};
        for (const Second& second : timelines[i].seconds) {
            const double y = value(second);
            if (y >= 0)
                series.points.emplace_back(second.runTime, y);
        }
        chart.series.push_back(std::move(series));
    }
    return chart;
}

Chart LatencyChart(const std::vector<Timeline>& timelines, const std::string& command) {
    Chart chart{"latency-" + command, Upper(command) + " latency", kOverTime, "ms"};
    for (std::size_t i = 0; i < timelines.size(); ++i) {
        Series p99{timelines[i].label + " p99", TimelineColor(i)};
        Series p50{timelines[i].label + " p50", TimelineColor(i)};
        p50.dashed = true;
        for (const Second& second : timelines[i].seconds) {
            const auto it = second.latency.find(command);
            if (it == second.latency.end())
                continue;
            if (it->second.p99Ms >= 0)
                p99.points.emplace_back(second.runTime, it->second.p99Ms);
            if (it->second.p50Ms >= 0)
                p50.points.emplace_back(second.runTime, it->second.p50Ms);
        }
        chart.series.push_back(std::move(p99));
        chart.series.push_back(std::move(p50));
    }
    return chart;
}

// Stacked, so every state has a point in every second (0 where no connection was in it).
Chart StatesChart(const Timeline& timeline, std::size_t index) {
    Chart chart{"states-" + std::to_string(index + 1), "Connection states: " + timeline.label,
                kOverTime, "connections"};
    chart.stacked = true;
    std::vector<std::string> names;  // in the order they first occur; never-held ones left out
    for (const Second& second : timeline.seconds) {
        for (const auto& [state, count] : second.states) {
            if (count > 0 && std::find(names.begin(), names.end(), state) == names.end())
                names.push_back(state);
        }
    }
    for (std::size_t n = 0; n < names.size(); ++n) {
        std::string legend = names[n];  // the key, "fetching_body", read as "fetching body"
        std::replace(legend.begin(), legend.end(), '_', ' ');
        Series series{legend, kStateColors[n % kStateColors.size()]};
        series.style = Series::Style::kArea;
        for (const Second& second : timeline.seconds) {
            const auto it = second.states.find(names[n]);
            series.points.emplace_back(second.runTime, it == second.states.end() ? 0 : it->second);
        }
        chart.series.push_back(std::move(series));
    }
    return chart;
}

struct SweepPoint {
    StepFigures figures;
    bool knee = false;
    bool capacity = false;
};

std::vector<SweepPoint> SweepPoints(const Timeline& timeline) {
    std::vector<SweepPoint> points;
    const double knee = SweepMark(timeline, "knee");
    const double capacity = SweepMark(timeline, "capacity");
    for (const json& step : StepsOf(timeline)) {
        SweepPoint point{FiguresOf(step)};
        if (point.figures.connections < 0)
            continue;
        point.knee = point.figures.connections == knee;
        point.capacity = point.figures.connections == capacity;
        points.push_back(point);
    }
    return points;
}

// The knee and the capacity drawn over a sweep's own line, at that step's value.
void AddMarks(Chart& chart, const Timeline& timeline, std::size_t index,
              const std::vector<SweepPoint>& points, double (*value)(const StepFigures&)) {
    for (const SweepPoint& point : points) {
        const double y = value(point.figures);
        if (y < 0)
            continue;
        const long long connections = static_cast<long long>(point.figures.connections);
        const std::string at =
            std::to_string(connections) + (connections == 1 ? " connection" : " connections");
        if (point.knee) {
            Series knee{timeline.label + ": knee, " + at, TimelineColor(index)};
            knee.style = Series::Style::kPoints;
            knee.marker = "triangle";
            knee.points.emplace_back(point.figures.connections, y);
            chart.series.push_back(std::move(knee));
        }
        if (point.capacity) {
            Series capacity{timeline.label + ": capacity, " + at,
                            TimelineColor(index)};
            capacity.style = Series::Style::kPoints;
            capacity.marker = "rectRot";
            capacity.points.emplace_back(point.figures.connections, y);
            chart.series.push_back(std::move(capacity));
        }
    }
}

double StepRate(const StepFigures& f) {
    return f.rateBytesPerSecond < 0 ? -1 : f.rateBytesPerSecond / kMega;
}
double StepBodyP99(const StepFigures& f) { return f.p99[1]; }

// A doubling sweep reads better on a logarithmic axis: 1, 2, 4 ... 64 evenly spaced.
bool WideRange(const std::vector<Chart>& charts) {
    double low = 0, high = 0;
    for (const Chart& chart : charts) {
        for (const Series& series : chart.series) {
            for (const auto& [x, y] : series.points) {
                if (x <= 0)
                    return false;
                low = low == 0 ? x : std::min(low, x);
                high = std::max(high, x);
            }
        }
    }
    return low > 0 && high / low >= 8;
}

}  // namespace

const std::string& TimelineColor(std::size_t index) {
    return kTimelineColors[index % kTimelineColors.size()];
}

StepFigures FiguresOf(const json& summary) {
    StepFigures f;
    f.connections = NumberOr(summary, "connections", -1);
    f.rateBytesPerSecond = NumberOr(summary, "rate_bytes_per_s", -1);
    if (f.rateBytesPerSecond < 0) {
        const double kib = NumberOr(summary, "average_kib_s", -1);
        f.rateBytesPerSecond = kib < 0 ? -1 : kib * 1024;
    }
    f.articlesPerSecond = NumberOr(summary, "articles_per_s", -1);
    if (f.articlesPerSecond < 0) {
        const double articles =
            NumberOr(summary, "articles", NumberOr(summary, "articles_completed", -1));
        const double seconds = NumberOr(summary, "duration_s", -1);
        if (articles >= 0 && seconds > 0)
            f.articlesPerSecond = articles / seconds;
    }
    if (summary.is_object() && summary.contains("failures") && summary["failures"].is_object()) {
        f.failures = 0;
        for (const auto& [kind, count] : summary["failures"].items()) {
            if (count.is_number())
                f.failures += count.get<double>();
        }
    }
    f.missing = NumberOr(summary, "missing", -1);
    f.engineCpu = NumberOr(summary, "engine_cpu", -1);
    if (summary.is_object() && summary.contains("latency") && summary["latency"].is_object()) {
        const json& latency = summary["latency"];
        for (int c = 0; c < 3; ++c) {
            const auto it = latency.find(kChartedCommands[c]);
            if (it == latency.end())
                continue;
            f.p50[c] = NumberOr(*it, "p50_ms", -1);
            f.p99[c] = NumberOr(*it, "p99_ms", -1);
        }
    }
    if (summary.is_object() && summary.contains("checks") && summary["checks"].is_array()) {
        for (const json& check : summary["checks"]) {
            ++f.checks;
            if (check.is_object() && check.value("pass", false) == true)
                ++f.checksPassed;
        }
    }
    return f;
}

std::vector<json> StepsOf(const Timeline& timeline) {
    if (timeline.sweep && timeline.sweep->contains("steps") && (*timeline.sweep)["steps"].is_array())
        return (*timeline.sweep)["steps"].get<std::vector<json>>();
    return timeline.steps;
}

double SweepMark(const Timeline& timeline, const char* key) {
    return timeline.sweep ? NumberOr(*timeline.sweep, key, -1) : -1;
}

std::vector<Chart> TimeCharts(const std::vector<Timeline>& timelines) {
    std::vector<Chart> charts;
    KeepIfDrawn(charts, RateChart(timelines));
    KeepIfDrawn(charts, PerSecondChart(timelines, "articles", "Articles per second", "articles/s",
                                       [](const Second& s) { return s.articles; }));
    for (const char* command : kChartedCommands)
        KeepIfDrawn(charts, LatencyChart(timelines, command));
    for (std::size_t i = 0; i < timelines.size(); ++i)
        KeepIfDrawn(charts, StatesChart(timelines[i], i));
    KeepIfDrawn(charts, PerSecondChart(timelines, "engine-cpu", "Engine CPU", "% of one core",
                                       [](const Second& s) {
                                           return s.engineCpu < 0 ? -1 : s.engineCpu * 100;
                                       }));
    return charts;
}

std::vector<Chart> SweepCharts(const std::vector<Timeline>& timelines) {
    Chart rate{"sweep-rate", "Rate against connections", "connections", "MB/s"};
    Chart p99{"sweep-p99", "p99 against connections", "connections", "ms"};
    for (std::size_t i = 0; i < timelines.size(); ++i) {
        const Timeline& timeline = timelines[i];
        if (!timeline.IsSweep())
            continue;
        const std::vector<SweepPoint> points = SweepPoints(timeline);
        Series rateLine{timeline.label, TimelineColor(i)};
        rateLine.pointRadius = 3;
        for (const SweepPoint& point : points) {
            if (const double y = StepRate(point.figures); y >= 0)
                rateLine.points.emplace_back(point.figures.connections, y);
        }
        rate.series.push_back(std::move(rateLine));
        AddMarks(rate, timeline, i, points, StepRate);
        for (int c = 0; c < 3; ++c) {
            Series line{timeline.label + " " + Upper(kChartedCommands[c]) + " p99",
                        TimelineColor(i)};
            line.dashed = c != 1;  // BODY, where the bytes are, solid
            line.pointRadius = 3;
            for (const SweepPoint& point : points) {
                if (point.figures.p99[c] >= 0)
                    line.points.emplace_back(point.figures.connections, point.figures.p99[c]);
            }
            p99.series.push_back(std::move(line));
        }
        AddMarks(p99, timeline, i, points, StepBodyP99);
    }
    std::vector<Chart> charts;
    KeepIfDrawn(charts, std::move(rate));
    KeepIfDrawn(charts, std::move(p99));
    const bool logarithmic = WideRange(charts);
    for (Chart& chart : charts) chart.logarithmicX = logarithmic;
    return charts;
}

json ChartsJson(const std::vector<Chart>& charts) {
    json list = json::array();
    for (const Chart& chart : charts) {
        json series = json::array();
        for (const Series& s : chart.series) {
            json points = json::array();
            for (const auto& [x, y] : s.points) points.push_back({x, y});
            const char* style = s.style == Series::Style::kArea     ? "area"
                                : s.style == Series::Style::kPoints ? "points"
                                                                    : "line";
            series.push_back({{"label", s.label},
                              {"color", s.color},
                              {"style", style},
                              {"dashed", s.dashed},
                              {"axis", s.rightAxis ? "y2" : "y"},
                              {"marker", s.marker},
                              {"radius", s.style == Series::Style::kPoints ? 6 : s.pointRadius},
                              {"points", std::move(points)}});
        }
        list.push_back({{"id", chart.id},
                        {"title", chart.title},
                        {"x", chart.xTitle},
                        {"y", chart.yTitle},
                        {"y2", chart.rightTitle},
                        {"stacked", chart.stacked},
                        {"log_x", chart.logarithmicX},
                        {"series", std::move(series)}});
    }
    return json{{"charts", std::move(list)}};
}

}  // namespace report
