#pragma once
// The report page: one HTML file that holds everything it shows and everything it runs (the
// charting library, the page's script and style are written into it), so it opens offline and
// as an e-mail attachment.
#include <string>
#include <vector>

#include "app/report/Timeline.h"

namespace report {

struct PageParts {
    std::string chartLibrary;  // the charting library's script, as installed
    std::string script;        // the page's own script (draws the charts from the page's data)
    std::string style;         // the page's style sheet
    std::string generator;     // "zodiva-report 1.0"
    std::string created;       // when the page was made, "YYYY-MM-DDTHH:MM:SSZ"
};

std::string RenderReport(const std::vector<Timeline>& timelines, const PageParts& parts);

// How many charts a page of these timelines draws (every one is a <canvas>).
std::size_t ChartCount(const std::vector<Timeline>& timelines);

}  // namespace report
