#pragma once
// One name, one spelling: the engine's names of states, failures and commands ("time-out",
// "greeting refused", "body text") become the keys of the JSON output and the label values
// of the metrics ("time_out", "greeting_refused", "body_text"), the same in both.
#include <cctype>
#include <string>
#include <string_view>

// Lower case; every run of characters other than letters and digits becomes one '_'.
inline std::string SnakeCase(std::string_view name) {
    std::string key;
    bool gap = false;
    for (unsigned char c : name) {
        if (std::isalnum(c)) {
            if (gap && !key.empty())
                key += '_';
            key += static_cast<char>(std::tolower(c));
            gap = false;
        } else {
            gap = true;
        }
    }
    return key;
}
