#pragma once
// Windows Sockets error texts, and the status list: user-visible messages added as rows at
// the bottom of a list control, keeping at most RowLimit rows.
#include <cstddef>

#include "support/LogArguments.h"

// The text of a Windows Sockets error code, or "Unknown Error Number".
const char* GetErrorText(int code);

struct ErrorTextEntry {
    int code;
    const char* text;
};
constexpr std::size_t kErrorTextCount = 51;
extern const ErrorTextEntry ErrorTextTable[kErrorTextCount];

// The list control a status list shows its rows in. A front end implements it; each call
// returns only once the control has handled it (also when the control lives on another
// thread).
class StatusListControl {
public:
    virtual ~StatusListControl() = default;
    // Who the next row comes from (a connection's number 1..N, 0 for none); a control that
    // shows rows of many connections in one list labels the row with it. Called before the
    // row is composed; controls that do not care ignore it.
    virtual void BeginRow(int /*source*/) {}
    virtual void DeleteRow(int index) = 0;
    // An index at or past the last row adds the row at the end (a full list asks for
    // RowCount after dropping its oldest row), as list controls do.
    virtual void InsertRow(int index, const char* text) = 0;
    virtual int GetRowCount() = 0;
    // Scrolls the row fully into view.
    virtual void EnsureVisible(int index) = 0;
};

constexpr int kStatusRowSize = 4096;
// A row holds at most this many characters.
constexpr int kStatusRowMaxLength = 4093;
// A %d is written only while the row is shorter than this.
constexpr int kStatusRowNumberLimit = 4062;

struct StatusList {
    char Row[kStatusRowSize] = {};
    StatusListControl* Window = nullptr;  // null: no list is shown
    int RowLimit = 0;
    int RowCount = 0;
};

// Switch for every status list; true from start, never changed.
extern bool StatusListEnabled;

// Directives: %d int, %s const char* (CR and LF dropped; a null pointer adds "NULL"),
// %w int error code -> text, %W int error code -> "code - text"; % followed by any other
// character adds that character. True when a row was added.
// The same with the arguments from any source.
bool StatusListPrintfArgs(StatusList* list, const char* format, LogArguments& args);
// Each argument must be a 32-bit integer or a string (see LogArguments.h).
template <typename... Args>
bool StatusListPrintf(StatusList* list, const char* format, Args... args) {
    auto arguments = MakeLogArguments(args...);
    return StatusListPrintfArgs(list, format, arguments);
}
