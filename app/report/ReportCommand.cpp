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
        : m_args(args), m_console(console) {
        m_options.chartLibrary = console.chartLibrary;
    }

    int Run() {
        switch (ParseArguments()) {
        case Action::kRefuse: return kUsageError;
        case Action::kHelp:
            m_console.out << kUsage;
            return 0;
        case Action::kVersion:
            m_console.out << "zodiva-report " << ZODIVA_REPORT_VERSION << "\n";
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
        parts.created = m_console.created.empty() ? UtcNow() : m_console.created;
        if (!Write(RenderReport(timelines, parts)))
            return kCannotWrite;
        if (m_options.output != "-")
            m_console.out << "wrote " << m_options.output << ": " << timelines.size()
                          << (timelines.size() == 1 ? " timeline, " : " timelines, ")
                          << ChartCount(timelines) << " charts\n";
        return 0;
    }

private:
    enum class Action { kRefuse, kHelp, kVersion, kReport };

    Action ParseArguments() {
        bool optionsEnd = false;
        for (std::size_t i = 0; i < m_args.size(); ++i) {
            const std::string& arg = m_args[i];
            if (optionsEnd || arg == "-" || arg.empty() || arg[0] != '-') {
                m_options.files.push_back(arg);
                continue;
            }
            if (arg == "--") {
                optionsEnd = true;
            } else if (arg == "--help" || arg == "-h") {
                return Action::kHelp;
            } else if (arg == "--version") {
                return Action::kVersion;
            } else if (arg == "-o" || arg == "--output" || arg == "--label" || arg == "--chart-js") {
                if (i + 1 >= m_args.size())
                    return Refuse(arg + " needs a value");
                const std::string& value = m_args[++i];
                if (value.empty())
                    return Refuse(arg + " needs a value that is not empty");
                if (arg == "--label")
                    m_options.labels.push_back(value);
                else if (arg == "--chart-js")
                    m_options.chartLibrary = value;
                else
                    m_options.output = value;
            } else {
                return Refuse("unknown option " + arg);
            }
        }
        if (m_options.files.empty())
            return Refuse("no timeline given");
        if (m_options.labels.size() > m_options.files.size())
            return Refuse(std::to_string(m_options.labels.size()) + " labels for " +
                          std::to_string(m_options.files.size()) + " timelines");
        return Action::kReport;
    }

    Action Refuse(const std::string& problem) {
        m_console.err << "zodiva-report: " << problem << "\n" << kUsage;
        return Action::kRefuse;
    }

    bool ReadTimelines(std::vector<Timeline>& timelines) {
        const std::vector<std::string> names = LegendNames(m_options.files, m_options.labels);
        for (std::size_t i = 0; i < m_options.files.size(); ++i) {
            Timeline timeline;
            const ReadResult result = ReadTimelineFile(m_options.files[i], timeline);
            if (!result.ok) {
                m_console.err << "zodiva-report: " << result.error << "\n";
                return false;
            }
            if (!result.note.empty())
                m_console.err << "zodiva-report: " << result.note << "\n";
            timeline.label = names[i];
            timelines.push_back(std::move(timeline));
        }
        return true;
    }

    bool ReadChartLibrary(std::string& code) {
        std::ifstream in(m_options.chartLibrary, std::ios::binary);
        std::ostringstream text;
        if (in)
            text << in.rdbuf();
        code = text.str();
        if (!in || code.empty()) {
            m_console.err << "zodiva-report: the charting library " << m_options.chartLibrary
                          << " is missing or empty: install Debian's libjs-chart.js, or name "
                             "the library's chart.min.js with --chart-js FILE\n";
            return false;
        }
        return true;
    }

    // Written beside the target and renamed over it: a failed write never leaves half a page
    // where a good one was.
    bool Write(const std::string& page) {
        if (m_options.output == "-") {
            m_console.out << page;
            return static_cast<bool>(m_console.out.flush());
        }
        const std::string temporary = m_options.output + ".part";
        {
            std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
            if (out)
                out << page;
            out.flush();
            if (!out) {
                const int code = errno;
                m_console.err << "zodiva-report: cannot write " << m_options.output << ": "
                              << std::strerror(code ? code : EIO) << "\n";
                std::error_code ignored;
                std::filesystem::remove(temporary, ignored);
                return false;
            }
        }
        std::error_code error;
        std::filesystem::rename(temporary, m_options.output, error);
        if (error) {
            m_console.err << "zodiva-report: cannot write " << m_options.output << ": "
                          << error.message() << "\n";
            std::filesystem::remove(temporary, error);
            return false;
        }
        return true;
    }

    std::vector<std::string> m_args;
    ReportConsole& m_console;
    Options m_options;
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
