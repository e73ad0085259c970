#pragma once
// How long a test lets the engine or a front end run on the real clock. A build that runs
// several times slower (the thread checker's) needs longer runs to see the same first article
// or rate line: ZODIVA_TEST_RUN_SCALE multiplies every such run length (the tsan test preset
// sets 4). Only the length of a run is stretched; what a test expects of the run follows from
// the stretched length, never from how long it took.
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace run_length {

inline constexpr const char* kScaleVariable = "ZODIVA_TEST_RUN_SCALE";
inline constexpr double kMaxScale = 10.0;  // keeps the longest run far below a test's time-out

// The factor written in `text`: a number from 1 to 10, 1 when there is none (null or empty).
// Anything else throws, naming the variable and the value.
inline double ParseScale(const char* text) {
    if (text == nullptr || *text == '\0') {
        return 1.0;
    }
    char* end = nullptr;
    errno = 0;
    const double scale = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(scale) || scale < 1.0 ||
        scale > kMaxScale) {
        throw std::invalid_argument(std::string(kScaleVariable) + "='" + text +
                                    "' is not a number from 1 to 10");
    }
    return scale;
}

inline double Scale() {
    return ParseScale(std::getenv(kScaleVariable));
}

}  // namespace run_length

// `seconds` of a real-clock run of the engine or a front end, stretched for a slow build.
inline double StretchedRunSeconds(double seconds) {
    return seconds * run_length::Scale();
}

// A real-time wait for what such a run shows (its first rate line, say), stretched alike.
inline std::chrono::milliseconds StretchedRunTime(std::chrono::milliseconds span) {
    return std::chrono::milliseconds(
        std::llround(static_cast<double>(span.count()) * run_length::Scale()));
}
