#pragma once
// zodiva-report's command line, run on given streams so that tests drive exactly what the
// program does.
#include <iosfwd>
#include <string>
#include <vector>

namespace report {

struct ReportConsole {
    std::ostream& out;
    std::ostream& err;
    // Where the charting library is installed, unless --chart-js names another file.
    std::string chartLibrary;
    // The page's "made at" time; empty: now.
    std::string created;
};

// Exit codes: 0 the page was written, 1 the charting library or the output file could not be
// used, 2 bad usage or a missing or malformed timeline.
int RunReportCommand(const std::vector<std::string>& args, ReportConsole& console);

// The legend's names: --label NAME in order, the rest the files' names (their whole path
// where two files share a name).
std::vector<std::string> LegendNames(const std::vector<std::string>& files,
                                     const std::vector<std::string>& labels);

}  // namespace report
