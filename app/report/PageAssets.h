#pragma once
// The page's own script and style sheet, written into every report (built from page/).
namespace report {
extern const char* const kPageScript;
extern const char* const kPageStyle;
}  // namespace report
