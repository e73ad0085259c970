#include "app/report/ReportPage.h"

#include <algorithm>
#include <cctype>

#include "app/report/ChartData.h"
#include "app/report/HtmlText.h"

namespace report {

using json = nlohmann::ordered_json;

namespace {

std::string Tag(const char* name, const std::string& escapedContent) {
    return std::string("<") + name + ">" + escapedContent + "</" + name + ">";
}

std::string Cell(const std::string& text) { return Tag("td", EscapeHtml(text)); }

// A figure that may be missing: "-" stands for "not recorded".
std::string Figure(double value, int decimals, const char* unit = "") {
    return value < 0 ? std::string("-") : Fixed(value, decimals) + unit;
}

std::string RateText(double bytesPerSecond) {
    if (bytesPerSecond < 0)
        return "-";
    // MB/s for people, the dialog's KBps (1024) beside it for those who know its figures.
    return Fixed(bytesPerSecond / kMega, 2) + " MB/s (" + Fixed(bytesPerSecond / 1024, 2) +
           "KBps)";
}

std::string Swatch(std::size_t index) {
    return "<span class=\"swatch\" style=\"background:" + TimelineColor(index) + "\"></span>";
}

std::string Field(const json& object, const char* key) {
    const auto it = object.find(key);
    return it == object.end() ? std::string() : PlainValue(*it);
}

std::string ServerText(const json& run) {
    std::string text = Field(run, "server");
    if (const std::string port = Field(run, "port"); !port.empty() && port != "none")
        text += ":" + port;
    if (run.value("tls", false) == true)
        text += " (TLS)";
    return text;
}

std::string ConnectionsText(const Timeline& timeline) {
    const auto sweep = timeline.run.find("sweep");
    if (sweep != timeline.run.end() && sweep->is_array() && !sweep->empty()) {
        std::string text = "sweep ";
        for (std::size_t i = 0; i < sweep->size(); ++i)
            text += (i ? ", " : "") + PlainValue((*sweep)[i]);
        return text;
    }
    return Field(timeline.run, "connections");
}

// What the glance table and a run's heading say of it as a whole.
struct Overview {
    StepFigures figures;
    double duration = -1;
    std::string source;  // where the figures come from, said beside them
};

// A run stopped before its summary: its figures added up from the seconds it wrote (those of
// the warm-up left out, as the summary would have).
Overview FromSeconds(const Timeline& timeline) {
    Overview overview;
    double seconds = 0, bytes = 0, articles = 0, failures = 0, missing = 0, cpu = 0, cpuSeconds = 0;
    for (const Second& second : timeline.seconds) {
        if (second.warmup)
            continue;
        seconds += 1;
        bytes += second.bytes;
        articles += second.articles;
        for (const auto& [kind, count] : second.failures) failures += count;
        missing += second.missing;
        if (second.engineCpu >= 0) {
            cpu += second.engineCpu;
            cpuSeconds += 1;
        }
    }
    overview.source = "added up from the " + Fixed(seconds, 0) + " seconds it wrote";
    if (seconds == 0)
        return overview;
    overview.duration = seconds;
    overview.figures.rateBytesPerSecond = bytes / seconds;
    overview.figures.articlesPerSecond = articles / seconds;
    overview.figures.failures = failures;
    overview.figures.missing = missing;
    overview.figures.engineCpu = cpuSeconds > 0 ? cpu / cpuSeconds : -1;
    return overview;
}

Overview OverviewOf(const Timeline& timeline) {
    if (timeline.IsSweep()) {
        Overview best;
        best.source = "the sweep's best step";
        for (const json& step : StepsOf(timeline)) {
            const StepFigures figures = FiguresOf(step);
            if (figures.rateBytesPerSecond > best.figures.rateBytesPerSecond) {
                best.figures = figures;
                best.duration = NumberOr(step, "duration_s", -1);
            }
        }
        if (best.figures.rateBytesPerSecond >= 0)
            return best;
        return FromSeconds(timeline);
    }
    if (!timeline.summary)
        return FromSeconds(timeline);
    Overview overview;
    overview.figures = FiguresOf(*timeline.summary);
    overview.duration = NumberOr(*timeline.summary, "duration_s", -1);
    overview.source = "the run's summary";
    return overview;
}

std::string Outcome(const Timeline& timeline) {
    std::string text;
    if (timeline.IsSweep() && timeline.sweep) {
        const double knee = SweepMark(timeline, "knee");
        const double capacity = SweepMark(timeline, "capacity");
        text = "knee " + Figure(knee, 0) + ", capacity " + (capacity < 0 ? "none" : Fixed(capacity, 0));
    } else if (timeline.EndedEarly()) {
        text = "stopped early";
    } else {
        text = "complete";
    }
    return text;
}

std::string GlanceTable(const std::vector<Timeline>& timelines) {
    std::string html =
        "<section id=\"glance\"><h2>At a glance</h2><table class=\"glance\"><thead><tr>"
        "<th>Run</th><th>Server</th><th>Connections</th><th>Seconds</th><th>MB/s</th>"
        "<th>Articles/s</th><th>p99 BODY</th><th>Failures</th><th>Missing</th>"
        "<th>Engine CPU</th><th>Outcome</th></tr></thead><tbody>";
    for (std::size_t i = 0; i < timelines.size(); ++i) {
        const Timeline& timeline = timelines[i];
        const Overview o = OverviewOf(timeline);
        const StepFigures& f = o.figures;
        html += "<tr><td>" + Swatch(i) + "<a href=\"#run-" + std::to_string(i + 1) + "\">" +
                EscapeHtml(timeline.label) + "</a></td>" + Cell(ServerText(timeline.run)) +
                Cell(timeline.IsSweep() && f.connections >= 0
                         ? Fixed(f.connections, 0) + " (best step)"
                         : ConnectionsText(timeline)) +
                Cell(Figure(o.duration, 0)) +
                Cell(Figure(f.rateBytesPerSecond < 0 ? -1 : f.rateBytesPerSecond / kMega, 2)) +
                Cell(Figure(f.articlesPerSecond, 1)) + Cell(Figure(f.p99[1], 1, " ms")) +
                Cell(Figure(f.failures, 0)) + Cell(Figure(f.missing, 0)) +
                Cell(f.engineCpu < 0 ? "-" : Fixed(f.engineCpu * 100, 0) + " %") +
                "<td title=\"" + EscapeHtml("figures from " + o.source) + "\">" +
                EscapeHtml(Outcome(timeline)) + "</td></tr>";
    }
    return html + "</tbody></table><p class=\"aside\">Figures of a run come from its summary, "
                  "of a sweep from its best step, of a run stopped early from the seconds it "
                  "wrote. MB/s are 10<sup>6</sup> bytes a second.</p></section>\n";
}

std::string DefinitionRow(const std::string& term, const std::string& text) {
    return "<dt>" + EscapeHtml(term) + "</dt><dd>" + EscapeHtml(text) + "</dd>";
}

std::string RunFacts(const Timeline& timeline) {
    const json& run = timeline.run;
    std::string html = "<dl class=\"facts\">";
    html += DefinitionRow("File", timeline.file);
    html += DefinitionRow("Server", ServerText(run));
    if (const auto proxy = run.find("proxy"); proxy != run.end() && !proxy->is_null())
        html += DefinitionRow("SOCKS5 proxy", PlainValue(*proxy));
    html += DefinitionRow("Connections", ConnectionsText(timeline));
    for (const auto& [key, term] : {std::pair{"started", "Started"}, std::pair{"seconds", "Seconds"},
                                    std::pair{"warmup", "Warm-up (s)"},
                                    std::pair{"version", "zodiva"}}) {
        if (run.contains(key))
            html += DefinitionRow(term, Field(run, key));
    }
    return html + "</dl>";
}

std::string Notes(const Timeline& timeline) {
    std::string html;
    if (timeline.EndedEarly())
        html += "<p class=\"note\">The run was stopped before it wrote its " +
                std::string(timeline.IsSweep() ? "sweep" : "summary") +
                " line: what is shown is what it wrote until then.</p>";
    if (timeline.lastLineCut)
        html += "<p class=\"note\">Its last line was cut short and is left out.</p>";
    if (timeline.seconds.empty())
        html += "<p class=\"note\">It wrote no second: there is nothing to draw.</p>";
    return html;
}

std::string SettingsTable(const json& run) {
    const auto settings = run.find("settings");
    if (settings == run.end() || !settings->is_object() || settings->empty())
        return std::string();
    std::string html = "<details><summary>Settings (" + std::to_string(settings->size()) +
                       ")</summary><table class=\"settings\"><tbody>";
    for (const auto& [key, value] : settings->items())
        html += "<tr>" + Cell(key) + Cell(PlainValue(value)) + "</tr>";
    return html + "</tbody></table></details>";
}

// The latency table of a summary or step: every command it holds, every figure it gives.
std::string LatencyTable(const json& latency) {
    if (!latency.is_object() || latency.empty())
        return std::string();
    // The usual figures in their usual order, then any others a newer zodiva writes.
    std::vector<std::string> columns = {"count",   "p50_ms",   "p90_ms", "p99_ms",
                                        "p999_ms", "p99_9_ms", "max_ms"};
    std::erase_if(columns, [&latency](const std::string& column) {
        for (const auto& [command, figures] : latency.items()) {
            if (figures.is_object() && figures.contains(column))
                return false;
        }
        return true;
    });
    for (const auto& [command, figures] : latency.items()) {
        if (!figures.is_object())
            continue;
        for (const auto& [key, value] : figures.items()) {
            if (std::find(columns.begin(), columns.end(), key) == columns.end())
                columns.push_back(key);
        }
    }
    std::string html = "<table class=\"latency\"><thead><tr><th>latency</th>";
    for (const std::string& column : columns) html += Tag("th", EscapeHtml(column));
    html += "</tr></thead><tbody>";
    for (const auto& [command, figures] : latency.items()) {
        html += "<tr>" + Cell(command);
        for (const std::string& column : columns) {
            const auto it = figures.is_object() ? figures.find(column) : figures.end();
            html += Cell(figures.is_object() && it != figures.end() ? PlainValue(*it) : "-");
        }
        html += "</tr>";
    }
    return html + "</tbody></table>";
}

std::string ChecksTable(const json& summary) {
    const auto checks = summary.find("checks");
    if (checks == summary.end() || !checks->is_array() || checks->empty())
        return std::string();
    std::string html = "<table class=\"checks\"><thead><tr><th>check</th><th>measured</th>"
                       "<th>result</th></tr></thead><tbody>";
    for (const json& check : *checks) {
        if (!check.is_object())
            continue;
        const bool pass = check.value("pass", false) == true;
        html += "<tr>" + Cell(Field(check, "expr")) + Cell(Field(check, "value")) +
                "<td class=\"" + (pass ? "pass\">PASS" : "fail\">FAIL") + "</td></tr>";
    }
    return html + "</tbody></table>";
}

// A summary key as a heading: the usual ones by name, any other as its words.
std::string Term(const std::string& key) {
    static const std::vector<std::pair<std::string, std::string>> kTerms = {
        {"duration_s", "Seconds"}, {"bytes_received", "Bytes"}, {"articles", "Articles"},
        {"articles_completed", "Articles"}, {"connections", "Connections"},
        {"connections_up", "Connections up at the end"},
        {"connections_reached_group", "Connections that reached the group"},
        {"first_article_s", "First article after (s)"}, {"peak_kib_s", "Peak (KBps)"},
        {"peak_mb_s", "Peak (MB/s)"}, {"missing", "Missing articles"},
        {"failures_total", "Failures"}, {"warmup_s", "Warm-up (s)"},
        {"stopped_by", "Stopped by"}, {"engine_cpu", "Engine CPU"}};
    for (const auto& [name, term] : kTerms) {
        if (key == name)
            return term;
    }
    std::string words = key;
    std::replace(words.begin(), words.end(), '_', ' ');
    if (!words.empty())
        words[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(words[0])));
    return words;
}

// The rate and articles per second are shown once in the units people read, and what the run
// line says (server, start, version ...) is shown above the summary already.
bool ShownElsewhere(const std::string& key) {
    static const char* const kKeys[] = {"event",   "summary",        "rate_bytes_per_s",
                                        "average_kib_s", "average_mb_s", "articles_per_s",
                                        "server",  "port",           "tls",
                                        "proxy",   "version",        "started",
                                        "step"};
    for (const char* shown : kKeys) {
        if (key == shown)
            return true;
    }
    return false;
}

// Every figure of the summary, so that nothing --json prints is lost here; the rate and the
// articles per second once, in the units people read.
std::string SummaryFigures(const json& summary) {
    const StepFigures f = FiguresOf(summary);
    std::string html = "<dl class=\"facts\">";
    html += DefinitionRow("Rate", RateText(f.rateBytesPerSecond));
    html += DefinitionRow("Articles/s", Figure(f.articlesPerSecond, 1));
    for (const auto& [key, value] : summary.items()) {
        if (ShownElsewhere(key) || value.is_object() || value.is_array())
            continue;
        if (key == "engine_cpu" && value.is_number())
            html += DefinitionRow(Term(key), Fixed(value.get<double>() * 100, 0) + " % of a core");
        else
            html += DefinitionRow(Term(key), PlainValue(value));
    }
    html += "</dl>";
    // The kinds that occurred; a summary lists every kind, mostly with 0.
    if (const auto failures = summary.find("failures");
        failures != summary.end() && failures->is_object()) {
        std::string rows;
        for (const auto& [kind, count] : failures->items()) {
            if (!count.is_number() || count.get<double>() != 0)
                rows += "<tr>" + Cell(kind) + Cell(PlainValue(count)) + "</tr>";
        }
        if (!rows.empty())
            html += "<table class=\"failures\"><thead><tr><th>failure</th><th>count</th></tr>"
                    "</thead><tbody>" + rows + "</tbody></table>";
    }
    if (const auto latency = summary.find("latency"); latency != summary.end())
        html += LatencyTable(*latency);
    return html + ChecksTable(summary);
}

std::string StepsTable(const Timeline& timeline) {
    const std::vector<json> steps = StepsOf(timeline);
    if (steps.empty())
        return "<p class=\"note\">No step of the sweep was finished.</p>";
    const double knee = SweepMark(timeline, "knee");
    const double capacity = SweepMark(timeline, "capacity");
    std::string html =
        "<table class=\"steps\"><thead><tr><th>connections</th><th>MB/s</th><th>articles/s</th>"
        "<th>p50 HEAD</th><th>p99 HEAD</th><th>p50 BODY</th><th>p99 BODY</th>"
        "<th>p50 ARTICLE</th><th>p99 ARTICLE</th><th>failures</th><th>missing</th>"
        "<th>engine CPU</th><th>checks</th><th></th></tr></thead><tbody>";
    bool anyChecks = false;
    for (const json& step : steps) {
        const StepFigures f = FiguresOf(step);
        anyChecks = anyChecks || f.checks > 0;
        std::string marks;
        if (f.connections >= 0 && f.connections == knee)
            marks += "knee ";
        if (f.connections >= 0 && f.connections == capacity)
            marks += "capacity";
        html += std::string("<tr") + (marks.empty() ? "" : " class=\"marked\"") + ">" +
                Cell(Figure(f.connections, 0)) +
                Cell(Figure(f.rateBytesPerSecond < 0 ? -1 : f.rateBytesPerSecond / kMega, 2)) +
                Cell(Figure(f.articlesPerSecond, 1));
        for (int c = 0; c < 3; ++c)
            html += Cell(Figure(f.p50[c], 1)) + Cell(Figure(f.p99[c], 1));
        html += Cell(Figure(f.failures, 0)) + Cell(Figure(f.missing, 0)) +
                Cell(f.engineCpu < 0 ? "-" : Fixed(f.engineCpu * 100, 0) + " %") +
                Cell(f.checks == 0 ? "-"
                                   : std::to_string(f.checksPassed) + " of " +
                                         std::to_string(f.checks) + " pass") +
                Cell(marks) + "</tr>";
    }
    html += "</tbody></table>";
    std::string said;
    if (!timeline.sweep)
        said = "The sweep was stopped before its end: knee and capacity were not decided.";
    else
        said = "Knee (the fewest connections within 5 % of the best rate): " +
               Figure(knee, 0) + ". Capacity (the most connections that pass every check): " +
               (capacity >= 0 ? Fixed(capacity, 0)
                              : anyChecks ? "no step passes every check" : "no checks given") +
               ".";
    return html + "<p>" + EscapeHtml(said) + "</p>";
}

std::string RunSection(const Timeline& timeline, std::size_t index) {
    std::string html = std::string("<section class=\"run") + (timeline.IsSweep() ? " sweep" : "") +
                       "\" id=\"run-" + std::to_string(index + 1) + "\"><h2>" + Swatch(index) +
                       EscapeHtml(timeline.label) + "</h2>" + RunFacts(timeline) +
                       Notes(timeline) + SettingsTable(timeline.run);
    if (timeline.summary)
        html += "<h3>Summary</h3>" + SummaryFigures(*timeline.summary);
    if (timeline.IsSweep())
        html += "<h3>Steps</h3>" + StepsTable(timeline);
    return html + "</section>\n";
}

std::string Figures(const std::vector<Chart>& charts) {
    std::string html;
    for (const Chart& chart : charts) {
        html += "<figure><figcaption>" + EscapeHtml(chart.title) +
                "</figcaption><div class=\"plot\"><canvas id=\"" + EscapeHtml(chart.id) +
                "\" role=\"img\" aria-label=\"" + EscapeHtml(chart.title) +
                "\"></canvas></div></figure>\n";
    }
    return html;
}

std::string Title(const std::vector<Timeline>& timelines) {
    std::string title = "zodiva report:";
    for (std::size_t i = 0; i < timelines.size(); ++i)
        title += (i ? ", " : " ") + timelines[i].label;
    return title;
}

}  // namespace

std::size_t ChartCount(const std::vector<Timeline>& timelines) {
    return TimeCharts(timelines).size() + SweepCharts(timelines).size();
}

std::string RenderReport(const std::vector<Timeline>& timelines, const PageParts& parts) {
    const std::vector<Chart> timeCharts = TimeCharts(timelines);
    const std::vector<Chart> sweepCharts = SweepCharts(timelines);
    std::vector<Chart> all = timeCharts;
    all.insert(all.end(), sweepCharts.begin(), sweepCharts.end());

    std::string html = "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                       "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
                       "<meta name=\"generator\" content=\"" + EscapeHtml(parts.generator) + "\">"
                       "<title>" + EscapeHtml(Title(timelines)) + "</title>\n<style>\n" +
                       parts.style + "\n</style></head>\n<body>\n";
    html += "<header><h1>zodiva report</h1><p>" + EscapeHtml(std::to_string(timelines.size()) +
            (timelines.size() == 1 ? " timeline" : " timelines") + ", made " + parts.created +
            " by " + parts.generator) + "</p></header>\n";
    html += GlanceTable(timelines);
    html += "<div class=\"runs\">";
    for (std::size_t i = 0; i < timelines.size(); ++i) html += RunSection(timelines[i], i);
    html += "</div>\n";
    if (!timeCharts.empty())
        html += "<section id=\"over-time\"><h2>Over time</h2><div class=\"charts\">" +
                Figures(timeCharts) + "</div></section>\n";
    if (!sweepCharts.empty())
        html += "<section id=\"sweep\"><h2>Sweep</h2><div class=\"charts\">" +
                Figures(sweepCharts) + "</div></section>\n";
    html += "<script type=\"application/json\" id=\"report-data\">" + ScriptJson(ChartsJson(all)) +
            "</script>\n<script>\n" + InlineScript(parts.chartLibrary) + "\n</script>\n<script>\n" +
            InlineScript(parts.script) + "\n</script>\n</body></html>\n";
    return html;
}

}  // namespace report
