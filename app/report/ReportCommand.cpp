#include "app/report/ReportCommand.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "app/report/ChartData.h"
#include "app/report/PageAssets.h"
#include "app/report/ReportPage.h"
#include "app/report/Timeline.h"

namespace report {

namespace {

constexpr int kCannotWrite = 1;
constexpr int kUsageError = 2;

const char* const kUsage =
    "usage: zodiva-report TIMELINE... [-o FILE] [--label NAME]... [--chart-js FILE]\n"
    "\n"
    "Makes one HTML page of the runs whose timelines (zodiva --headless --timeline FILE)\n"
    "are given: their settings and summaries, and charts over time of the rate, articles\n"
    "per second, latency, connection states, failures and engine CPU; a sweep adds rate\n"
    "and p99 against connections with its knee and capacity. Several timelines are drawn\n"
    "over each other. The page holds everything it needs and opens offline.\n"
    "\n"
    "  -o FILE          the page to write (default report.html; - for standard output)\n"
    "  --label NAME     the legend's name of the next timeline, in order (default: its\n"
    "                   file name)\n"
    "  --chart-js FILE  the charting library to write into the page (default: the one\n"
    "                   Debian's libjs-chart.js installs)\n";

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

struct Options {
    std::vector<std::string> files;
    std::vector<std::string> labels;
    std::string output = "report.html";
    std::string chartLibrary;
};

class Command {
public:
    Command(const std::vector<std::string>& args, ReportConsole& console)
        : args_(args), console_(console) {
        options_.chartLibrary = console.chartLibrary;
    }

    int Run() {
        switch (ParseArguments()) {
        case Action::kRefuse: return kUsageError;
        case Action::kHelp: console_.out << kUsage; return 0;
        case Action::kVersion:
            console_.out << "zodiva-report " << ZODIVA_REPORT_VERSION << "\n";
            return 0;
        case Action::kReport: break;
        }
        std::vector<Timeline> timelines;
        if (!ReadTimelines(timelines))
            return kUsageError;
        PageParts parts;
        if (!ReadChartLibrary(parts.chartLibrary))
            return kCannotWrite;
        parts.script = kPageScript;
        parts.style = kPageStyle;
        parts.generator = std::string("zodiva-report ") + ZODIVA_REPORT_VERSION;
        parts.created = console_.created.empty() ? UtcNow() : console_.created;
        if (!Write(RenderReport(timelines, parts)))
            return kCannotWrite;
        if (options_.output != "-")
            console_.out << "wrote " << options_.output << ": " << timelines.size()
                         << (timelines.size() == 1 ? " timeline, " : " timelines, ")
                         << ChartCount(timelines) << " charts\n";
        return 0;
    }

private:
    enum class Action { kRefuse, kHelp, kVersion, kReport };

    Action ParseArguments() {
        bool optionsEnd = false;
        for (std::size_t i = 0; i < args_.size(); ++i) {
            const std::string& arg = args_[i];
            if (optionsEnd || arg == "-" || arg.empty() || arg[0] != '-') {
                options_.files.push_back(arg);
                continue;
            }
            if (arg == "--") {
                optionsEnd = true;
            } else if (arg == "--help" || arg == "-h") {
                return Action::kHelp;
            } else if (arg == "--version") {
                return Action::kVersion;
            } else if (arg == "-o" || arg == "--output" || arg == "--label" || arg == "--chart-js") {
                if (i + 1 >= args_.size())
                    return Refuse(arg + " needs a value");
                const std::string& value = args_[++i];
                if (value.empty())
                    return Refuse(arg + " needs a value that is not empty");
                if (arg == "--label")
                    options_.labels.push_back(value);
                else if (arg == "--chart-js")
                    options_.chartLibrary = value;
                else
                    options_.output = value;
            } else {
                return Refuse("unknown option " + arg);
            }
        }
        if (options_.files.empty())
            return Refuse("no timeline given");
        if (options_.labels.size() > options_.files.size())
            return Refuse(std::to_string(options_.labels.size()) + " labels for " +
                          std::to_string(options_.files.size()) + " timelines");
        return Action::kReport;
    }

    Action Refuse(const std::string& problem) {
        console_.err << "zodiva-report: " << problem << "\n" << kUsage;
        return Action::kRefuse;
    }

    bool ReadTimelines(std::vector<Timeline>& timelines) {
        const std::vector<std::string> names = LegendNames(options_.files, options_.labels);
        for (std::size_t i = 0; i < options_.files.size(); ++i) {
            Timeline timeline;
            const ReadResult result = ReadTimelineFile(options_.files[i], timeline);
            if (!result.ok) {
                console_.err << "zodiva-report: " << result.error << "\n";
                return false;
            }
            if (!result.note.empty())
                console_.err << "zodiva-report: " << result.note << "\n";
            timeline.label = names[i];
            timelines.push_back(std::move(timeline));
        }
        return true;
    }

    bool ReadChartLibrary(std::string& code) {
        std::ifstream in(options_.chartLibrary, std::ios::binary);
        std::ostringstream text;
        if (in)
            text << in.rdbuf();
        code = text.str();
        if (!in || code.empty()) {
            console_.err << "zodiva-report: the charting library " << options_.chartLibrary
                         << " is missing or empty: install Debian's libjs-chart.js, or name "
                            "the library's chart.min.js with --chart-js FILE\n";
            return false;
        }
        return true;
    }

    // Written beside the target and renamed over it: a failed write never leaves half a page
    // where a good one was.
    bool Write(const std::string& page) {
        if (options_.output == "-") {
            console_.out << page;
            return static_cast<bool>(console_.out.flush());
        }
        const std::string temporary = options_.output + ".part";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            if (out)
                out << page;
            out.flush();
            if (!out) {
                const int code = errno;
                console_.err << "zodiva-report: cannot write " << options_.output << ": "
                             << std::strerror(code ? code : EIO) << "\n";
                std::error_code ignored;
                std::filesystem::remove(temporary, ignored);
                return false;
            }
        }
        std::error_code error;
        std::filesystem::rename(temporary, options_.output, error);
        if (error) {
            console_.err << "zodiva-report: cannot write " << options_.output << ": "
                         << error.message() << "\n";
            std::filesystem::remove(temporary, error);
            return false;
        }
        return true;
    }

    std::vector<std::string> args_;
    ReportConsole& console_;
    Options options_;
};

}  // namespace

std::vector<std::string> LegendNames(const std::vector<std::string>& files,
                                     const std::vector<std::string>& labels) {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (i < labels.size()) {
            names.push_back(labels[i]);
            continue;
        }
        const std::string name = std::filesystem::path(files[i]).filename().string();
        bool shared = false;
        for (std::size_t j = 0; j < files.size(); ++j) {
            if (j != i && std::filesystem::path(files[j]).filename().string() == name)
                shared = true;
        }
        names.push_back(shared || name.empty() ? files[i] : name);
    }
    return names;
}

int RunReportCommand(const std::vector<std::string>& args, ReportConsole& console) {
    return Command(args, console).Run();
}

}  // namespace report
