#include "app/core/StatusRowFolder.h"

#include <algorithm>
#include <ctime>

#include "app/core/JsonObject.h"
#include "app/core/SafeText.h"
#include "support/StatusRowQueue.h"

namespace {

constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000;
constexpr std::int64_t kUnixEpochInFileTime = 116444736000000000LL;  // 1970-01-01

std::tm BrokenDown(std::int64_t fileTime, bool utc) {
    const std::time_t seconds =
        static_cast<std::time_t>((fileTime - kUnixEpochInFileTime) / kFileTimeUnitsPerSecond);
    std::tm parts{};
    if (utc)
        gmtime_r(&seconds, &parts);
    else
        localtime_r(&seconds, &parts);
    return parts;
}

}  // namespace

void StatusRowFolder::TakeExpired(double time, std::vector<FoldedRow>& lines) {
    for (auto it = m_windows.begin(); it != m_windows.end();) {
        if (time - it->second.opened < kFoldSeconds) {
            ++it;
            continue;
        }
        if (it->second.folded.count > 0)
            lines.push_back(it->second.folded);
        it = m_windows.erase(it);
    }
}

std::vector<FoldedRow> StatusRowFolder::Add(double time, std::int64_t fileTime,
                                            std::int32_t connection, const std::string& text) {
    std::vector<FoldedRow> lines;
    TakeExpired(time, lines);
    auto found = m_windows.find(text);
    if (found == m_windows.end()) {
        Window window;
        window.opened = time;
        window.folded.count = 0;
        m_windows.emplace(text, window);
        FoldedRow row;
        row.time = time;
        row.fileTime = fileTime;
        row.text = text;
        row.connection = connection;
        row.lastConnection = connection;
        lines.push_back(row);
        return lines;
    }
    FoldedRow& folded = found->second.folded;
    if (folded.count == 0) {
        folded.time = time;
        folded.fileTime = fileTime;
        folded.text = text;
        folded.connection = connection;
        folded.lastConnection = connection;
    }
    folded.connection = std::min(folded.connection, connection);
    folded.lastConnection = std::max(folded.lastConnection, connection);
    ++folded.count;
    return lines;
}

std::vector<FoldedRow> StatusRowFolder::Expire(double time) {
    std::vector<FoldedRow> lines;
    TakeExpired(time, lines);
    return lines;
}

std::vector<FoldedRow> StatusRowFolder::Flush() {
    std::vector<FoldedRow> lines;
    for (const auto& [text, window] : m_windows) {
        if (window.folded.count > 0)
            lines.push_back(window.folded);
    }
    m_windows.clear();
    return lines;
}

std::string FormatFoldedRow(const FoldedRow& row) {
    const std::tm parts = BrokenDown(row.fileTime, false);
    char clock[16];
    std::strftime(clock, sizeof clock, "%H:%M:%S", &parts);
    std::string who;
    if (row.count <= 1) {
        who = "#";
        who += std::to_string(row.connection);
    } else {
        who = std::to_string(row.count) + " more connections (#" + std::to_string(row.connection) +
              ".." + "#" + std::to_string(row.lastConnection) + ")";
    }
    return std::string(clock) + "  " + who + "  " + ShowSafely(row.text) + "\n";
}

std::string FormatStatusRow(const StatusRow& row) {
    FoldedRow line;
    line.fileTime = row.fileTime;
    line.connection = row.connection;
    line.lastConnection = row.connection;
    line.text = row.text;
    return FormatFoldedRow(line);
}

namespace {

std::string UtcStamp(std::int64_t fileTime) {
    const std::tm parts = BrokenDown(fileTime, true);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%SZ", &parts);
    return stamp;
}

}  // namespace

std::string FormatFoldedRowJson(const FoldedRow& row, std::int64_t emittedFileTime) {
    const bool folded = row.count > 1;
    const std::int64_t time = folded && emittedFileTime > row.fileTime ? emittedFileTime : row.fileTime;
    JsonObject json;
    json.Text("event", "status").Text("time", UtcStamp(time));
    if (folded)
        json.Text("first_time", UtcStamp(row.fileTime));
    json.Signed("connection", row.connection).Count("count", row.count);
    if (folded)
        json.Signed("last_connection", row.lastConnection);
    return json.Text("text", row.text).Line();
}
