#include "app/core/RunReport.h"

#include <cstdio>
#include <ctime>

namespace {
std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof(text), format, value);
    return text;
}
}  // namespace

std::string JsonQuote(const std::string& text) {
    std::string quoted = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\r':
                quoted += "\\r";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (c < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof(escape), "\\u%04x", c);
                    quoted += escape;
                } else {
                    quoted += static_cast<char>(c);
                }
        }
    }
    return quoted + "\"";
}

std::string UtcTimeNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string FormatSample(const RateSample& sample, bool json) {
    if (json) {
        return "{\"time\":" + JsonQuote(sample.utcTime) +
               ",\"elapsed_s\":" + Format("%.3f", sample.elapsedSeconds) +
               ",\"rate_kib_s\":" + Format("%.2f", sample.rate) +
               ",\"text\":" + JsonQuote(sample.text) + "}\n";
    }
    return Format("%6.1fs  ", sample.elapsedSeconds) + sample.text + "\n";
}

std::string FormatSummary(const RunSummary& summary, bool json) {
    const std::string bytes = std::to_string(summary.bytesReceived);
    const std::string articles = std::to_string(summary.articlesCompleted);
    const std::string connections = std::to_string(summary.connections);
    if (json) {
        return "{\"summary\":true,\"duration_s\":" + Format("%.3f", summary.durationSeconds) +
               ",\"average_kib_s\":" + Format("%.2f", summary.averageRate) +
               ",\"peak_kib_s\":" + Format("%.2f", summary.peakRate) +
               ",\"bytes_received\":" + bytes + ",\"articles_completed\":" + articles +
               ",\"connections\":" + connections +
               ",\"stopped_by\":" + JsonQuote(summary.stoppedBy) + "}\n";
    }
    return "Summary\n"
           "  duration            " +
           Format("%.1f s", summary.durationSeconds) + "\n" + "  average rate        " +
           Format("%.2f KiB/s", summary.averageRate) + "\n" + "  peak rate           " +
           Format("%.2f KiB/s", summary.peakRate) + "\n" + "  bytes received      " + bytes + "\n" +
           "  articles completed  " + articles + "\n" + "  connections         " + connections +
           "\n" + "  stopped by          " + summary.stoppedBy + "\n";
}
