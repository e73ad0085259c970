#pragma once
// Helpers for the engine and front-end tests: a private working directory (where log.txt,
// errorlog.txt and the temporary article files land), file reading, waiting on a condition
// with a real-time guard, and pumping the test thread's own message queue.
#include "support/Log.h"
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "platform/windows.h"

namespace engine_test {

using std::chrono::milliseconds;

// Guard for waits on threads and the network; a test that reaches it has failed already.
inline constexpr milliseconds kPatience{15000};

class ScopedWorkDir {
public:
    ScopedWorkDir() : previous_(std::filesystem::current_path()) {
        FlushDebugLog();  // held trace lines belong to the folder they were written in
        std::string pattern =
            (std::filesystem::temp_directory_path() / "zodiva-engine-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) {
            path_ = pattern;
            std::filesystem::current_path(path_);
        }
    }
    ~ScopedWorkDir() {
        FlushDebugLog();
        std::error_code ignored;
        std::filesystem::current_path(previous_, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    ScopedWorkDir(const ScopedWorkDir&) = delete;
    ScopedWorkDir& operator=(const ScopedWorkDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }

    // Names of the files in the directory that end in `suffix`.
    std::vector<std::string> FilesEndingIn(const std::string& suffix) const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : std::filesystem::directory_iterator(path_, ec)) {
            const std::string name = entry.path().filename().string();
            if (name.size() >= suffix.size() &&
                name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                names.push_back(name);
            }
        }
        return names;
    }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// Trace lines held in memory are written first, so the file is what the code wrote.
inline std::string ReadFileText(const std::filesystem::path& path) {
    FlushDebugLog();
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

// Waits until done() holds; false after `patience` of real time.
inline bool WaitUntil(const std::function<bool()>& done, milliseconds patience = kPatience) {
    const auto giveUp = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() > giveUp) {
            return false;
        }
        std::this_thread::sleep_for(milliseconds(2));
    }
    return true;
}

// Dispatches every queued message of the calling thread.
inline void DispatchPending() {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

// Dispatches the calling thread's messages until done() holds; false after `patience`.
inline bool PumpUntil(const std::function<bool()>& done, milliseconds patience = kPatience) {
    return WaitUntil(
        [&] {
            DispatchPending();
            return done();
        },
        patience);
}

}  // namespace engine_test
