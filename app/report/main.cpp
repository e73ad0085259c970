// zodiva-report: a self-contained HTML page of one or more runs from their timelines.
#include <iostream>
#include <string>
#include <vector>

#include "app/report/ReportCommand.h"

int main(int argc, char** argv) {
    report::ReportConsole console{std::cout, std::cerr, ZODIVA_CHART_JS, std::string()};
    return report::RunReportCommand(std::vector<std::string>(argv + 1, argv + argc), console);
}
