#pragma once
// Helpers for the engine and front-end tests on top of the common kit (working folder,
// message pump): reading the logs line by line.
#include <string>
#include <vector>

#include "platform/windows.h"
#include "tests/common/LeakCheck.h"
#include "tests/common/MessagePump.h"
#include "tests/common/TempWorkingDir.h"

namespace engine_test {

inline std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            lines.push_back(line);
            line.clear();
        } else {
            line += c;
        }
    }
    if (!line.empty()) {
        lines.push_back(line);
    }
    return lines;
}

// Index of the first line containing `piece` at or after `from`; -1 when none.
inline int FindLine(const std::vector<std::string>& lines, const std::string& piece, int from = 0) {
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[i].find(piece) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

}  // namespace engine_test
