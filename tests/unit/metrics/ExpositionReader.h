#pragma once
// Reads the text exposition format strictly, as a scraper would, so that tests can check
// every line of what the endpoint serves rather than look for a few expected strings.
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace metrics_test {

struct Sample {
    std::string name;
    std::map<std::string, std::string> labels;
    double value = 0.0;
};

struct Exposition {
    std::map<std::string, std::string> types;  // family -> counter, gauge, histogram, ...
    std::map<std::string, std::string> helps;
    std::vector<Sample> samples;
    std::vector<std::string> errors;  // one per line that is not valid, with its number

    // The sample with this name whose labels include all of `match`; null when none.
    const Sample* Find(const std::string& name,
                       const std::map<std::string, std::string>& match = {}) const {
        for (const Sample& sample : samples) {
            if (sample.name != name) {
                continue;
            }
            bool all = true;
            for (const auto& [key, value] : match) {
                auto found = sample.labels.find(key);
                all = all && found != sample.labels.end() && found->second == value;
            }
            if (all) {
                return &sample;
            }
        }
        return nullptr;
    }
};

// The family a sample belongs to: histogram series drop their suffix.
inline std::string FamilyOf(const std::string& name, const std::map<std::string, std::string>& types) {
    for (const char* suffix : {"_bucket", "_sum", "_count"}) {
        const std::string s = suffix;
        if (name.size() > s.size() && name.compare(name.size() - s.size(), s.size(), s) == 0) {
            const std::string base = name.substr(0, name.size() - s.size());
            auto type = types.find(base);
            if (type != types.end() && type->second == "histogram") {
                return base;
            }
        }
    }
    return name;
}

// Parses `{a="x",b="y\"z"}` starting at `pos`; false when malformed.
inline bool ReadLabels(const std::string& line, std::size_t& pos,
                       std::map<std::string, std::string>& labels) {
    static const std::regex nameRe("[a-zA-Z_][a-zA-Z0-9_]*");
    ++pos;  // '{'
    while (pos < line.size() && line[pos] != '}') {
        const std::size_t eq = line.find('=', pos);
        if (eq == std::string::npos) {
            return false;
        }
        const std::string name = line.substr(pos, eq - pos);
        if (!std::regex_match(name, nameRe) || eq + 1 >= line.size() || line[eq + 1] != '"' ||
            labels.count(name) != 0) {
            return false;
        }
        std::string value;
        std::size_t i = eq + 2;
        for (; i < line.size() && line[i] != '"'; ++i) {
            if (line[i] == '\\') {
                if (++i >= line.size()) {
                    return false;
                }
                const char c = line[i];
                if (c == 'n') {
                    value += '\n';
                } else if (c == '\\' || c == '"') {
                    value += c;
                } else {
                    return false;
                }
            } else {
                value += line[i];
            }
        }
        if (i >= line.size()) {
            return false;
        }
        labels[name] = value;
        pos = i + 1;
        if (pos < line.size() && line[pos] == ',') {
            ++pos;
        }
    }
    if (pos >= line.size()) {
        return false;
    }
    ++pos;  // '}'
    return true;
}

inline bool ReadValue(const std::string& text, double& value) {
    if (text == "+Inf" || text == "-Inf" || text == "NaN") {
        value = text == "NaN" ? 0.0 : (text == "+Inf" ? 1e308 : -1e308);
        return true;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return !text.empty() && *end == '\0';
}

inline Exposition ReadExposition(const std::string& text) {
    static const std::regex helpRe("# HELP ([a-zA-Z_:][a-zA-Z0-9_:]*) (.+)");
    static const std::regex typeRe(
        "# TYPE ([a-zA-Z_:][a-zA-Z0-9_:]*) (counter|gauge|histogram|summary|untyped)");
    static const std::regex nameRe("[a-zA-Z_:][a-zA-Z0-9_:]*");
    Exposition result;
    std::istringstream in(text);
    std::string line;
    int number = 0;
    auto error = [&](const std::string& why) {
        result.errors.push_back("line " + std::to_string(number) + " (" + why + "): " + line);
    };
    if (!text.empty() && text.back() != '\n') {
        result.errors.push_back("the text does not end with a line feed");
    }
    while (std::getline(in, line)) {
        ++number;
        std::smatch match;
        if (line.rfind("# HELP ", 0) == 0) {
            if (!std::regex_match(line, match, helpRe)) {
                error("bad HELP");
            } else {
                result.helps[match[1]] = match[2];
            }
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            if (!std::regex_match(line, match, typeRe)) {
                error("bad TYPE");
            } else if (result.types.count(match[1]) != 0) {
                error("second TYPE for a family");
            } else {
                result.types[match[1]] = match[2];
            }
            continue;
        }
        Sample sample;
        std::size_t pos = line.find_first_of("{ ");
        sample.name = line.substr(0, pos);
        if (pos == std::string::npos || !std::regex_match(sample.name, nameRe)) {
            error("bad metric name");
            continue;
        }
        if (line[pos] == '{' && !ReadLabels(line, pos, sample.labels)) {
            error("bad labels");
            continue;
        }
        if (pos >= line.size() || line[pos] != ' ' || !ReadValue(line.substr(pos + 1), sample.value)) {
            error("bad value");
            continue;
        }
        const std::string family = FamilyOf(sample.name, result.types);
        if (result.types.count(family) == 0 || result.helps.count(family) == 0) {
            error("sample before its family's HELP and TYPE");
            continue;
        }
        result.samples.push_back(sample);
    }
    return result;
}

}  // namespace metrics_test
