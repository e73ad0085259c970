#pragma once
// Status rows for a terminal. A row is printed as it comes, with its time and connection
// number; the same text from other connections within the next second is not printed again
// but counted, and shown as one line with the count when that second is over. So a
// thousand connections failing alike print two lines, not a thousand.
//
// Pure logic: the caller gives the times (seconds on any steady scale) and prints the
// lines it gets back.
#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct StatusRow;

struct FoldedRow {
    double time = 0.0;            // when the first row of the line arrived
    std::int64_t fileTime = 0;    // its system time (100-ns units since 1601), for display
    std::string text;             // the row's text as the engine composed it
    std::int32_t connection = 0;  // the first connection of the line
    std::int32_t lastConnection = 0;  // the highest connection number folded in
    std::uint64_t count = 1;          // rows in this line (1: printed as it came)
};

class StatusRowFolder {
public:
    static constexpr double kFoldSeconds = 1.0;

    // A row arrived at `time`. Returns the lines to print now: the row itself when its text
    // was not printed within the last second, else nothing (it is counted); and before it,
    // any folded lines whose second is over.
    std::vector<FoldedRow> Add(double time, std::int64_t fileTime, std::int32_t connection,
                               const std::string& text);
    // Folded lines whose second is over at `time` (call this regularly, e.g. once a second).
    std::vector<FoldedRow> Expire(double time);
    // Every folded line still counting (at the end of the run).
    std::vector<FoldedRow> Flush();

private:
    struct Window {
        double opened = 0.0;  // when the text was last printed
        FoldedRow folded;     // rows counted since then (count 0: none)
    };
    void TakeExpired(double time, std::vector<FoldedRow>& lines);

    std::map<std::string, Window> m_windows;
};

// "HH:MM:SS  #5  text" or, folded, "HH:MM:SS  999 more connections (#6..#1000)  text";
// the text made safe for a terminal. Local time.
std::string FormatFoldedRow(const FoldedRow& row);
// One row of the engine's status row queue, as FormatFoldedRow prints it unfolded (the
// dialogs list every row).
std::string FormatStatusRow(const StatusRow& row);
// {"event":"status","time":"...Z","connection":5,"count":1,"text":"..."}; folded lines add
// "last_connection". A folded line leaves when its second is over, after lines of later
// moments: so that events stay in time order, its "time" is `emittedFileTime` (when it is
// written; 0: the first row's) and "first_time" is when its first row arrived.
std::string FormatFoldedRowJson(const FoldedRow& row, std::int64_t emittedFileTime = 0);
