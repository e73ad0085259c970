#include "app/report/Timeline.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace report {

using json = nlohmann::ordered_json;

bool Timeline::IsSweep() const {
    const auto sweepList = run.find("sweep");
    const bool listed = sweepList != run.end() && sweepList->is_array() && !sweepList->empty();
    return listed || !steps.empty() || sweep.has_value();
}

double NumberOr(const json& object, const char* key, double fallback) {
    if (!object.is_object())
        return fallback;
    const auto it = object.find(key);
    return it != object.end() && it->is_number() ? it->get<double>() : fallback;
}

namespace {

// Reads one file's lines in order; the first fault ends the reading with its line number.
class Reader {
public:
    Reader(const std::string& file, Timeline& out) : m_file(file), m_out(out) {}

    ReadResult Read(const std::string& text) {
        std::size_t start = 0;
        int number = 0;
        bool sawRun = false;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start);
            const bool complete = end != std::string::npos;
            if (!complete)
                end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            ++number;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.find_first_not_of(" \t") == std::string::npos)
                continue;
            json object;
            std::string parseError;
            if (!Parse(line, object, parseError)) {
                // A run killed while it wrote leaves a last line without its end; what came
                // before it is whole and worth showing.
                if (!complete && sawRun) {
                    m_out.lastLineCut = true;
                    m_result.note = Where(number) +
                                    "the last line is cut short (the run was "
                                    "stopped while writing it) and is left out";
                    break;
                }
                return Failed(number, sawRun || number > 1
                                        ? "not valid JSON (" + parseError + ")"
                                        : "not a JSON timeline (" + parseError +
                                              "); a report reads the JSON Lines timeline, "
                                              "not the .csv one");
            }
            if (!object.is_object())
                return Failed(number, "not a JSON object");
            const auto event = object.find("event");
            if (event == object.end() || !event->is_string())
                return Failed(number, "no \"event\" text");
            const std::string kind = event->get<std::string>();
            if (!sawRun) {
                if (kind != "run")
                    return Failed(number, "the first line must be the run line "
                                        "({\"event\":\"run\",...}), not a \"" + kind + "\" line");
                m_out.run = std::move(object);
                sawRun = true;
                continue;
            }
            if (!Take(kind, object, number))
                return m_result;
        }
        if (!sawRun) {
            m_result.error = m_file + ": empty: no run line";
            return m_result;
        }
        m_result.ok = true;
        return m_result;
    }

private:
    static bool Parse(const std::string& line, json& out, std::string& error) {
        try {
            out = json::parse(line);
            return true;
        } catch (const json::parse_error& e) {
            // "[json.exception.parse_error.101] parse error at line 1, column 7: syntax ..."
            const std::string what = e.what();
            const std::size_t at = what.find("column ");
            error = at == std::string::npos ? what : what.substr(at);
            return false;
        }
    }

    bool Take(const std::string& kind, const json& object, int number) {
        if (kind == "second")
            return TakeSecond(object, number);
        if (kind == "step") {
            m_out.steps.push_back(object);
            return true;
        }
        if (kind == "summary") {
            m_out.summary = object;
            return true;
        }
        if (kind == "sweep") {
            const auto steps = object.find("steps");
            if (steps != object.end() && !steps->is_array())
                return Fail(number, "\"steps\" is not a list");
            m_out.sweep = object;
            return true;
        }
        if (kind == "run")
            return Fail(number, "a second run line: one timeline holds one run");
        return true;  // an event of a newer zodiva
    }

    bool TakeSecond(const json& object, int number) {
        Second second;
        std::string key;
        const auto number_of = [&](const char* name, double& value, bool required) {
            const auto it = object.find(name);
            if (it == object.end() || it->is_null()) {
                if (required)
                    key = std::string("no \"") + name + "\" number";
                return !required;
            }
            if (!it->is_number()) {
                key = std::string("\"") + name + "\" is not a number";
                return false;
            }
            value = it->get<double>();
            return true;
        };
        double step = 1;
        if (!number_of("t", second.t, true) || !number_of("step", step, false) ||
            !number_of("connections", second.connections, false) ||
            !number_of("bytes", second.bytes, false) ||
            !number_of("rate_bytes_per_s", second.rateBytesPerSecond, false) ||
            !number_of("articles", second.articles, false) ||
            !number_of("missing", second.missing, false) ||
            !number_of("engine_cpu", second.engineCpu, false))
            return Fail(number, key);
        if (step < 1 || step != static_cast<int>(step))
            return Fail(number, "\"step\" is not a whole number from 1 on");
        second.step = static_cast<int>(step);
        if (!Counts(object, "states", second.states, key) ||
            !Counts(object, "failures", second.failures, key) ||
            !Latencies(object, second.latency, key))
            return Fail(number, key);
        const auto warmup = object.find("warmup");
        if (warmup != object.end() && !warmup->is_null() && !warmup->is_boolean())
            return Fail(number, "\"warmup\" is not true or false");
        second.warmup = warmup != object.end() && warmup->is_boolean() && warmup->get<bool>();
        PlaceInRun(second);
        m_out.seconds.push_back(std::move(second));
        return true;
    }

    // A sweep's steps each count from their own Go; drawn over time they follow each other.
    void PlaceInRun(Second& second) {
        if (!m_out.seconds.empty()) {
            const Second& before = m_out.seconds.back();
            if (second.step != before.step)
                m_stepOffset += before.t;
        }
        second.runTime = m_stepOffset + second.t;
    }

    static bool Counts(const json& object, const char* name, std::map<std::string, double>& out,
                       std::string& error) {
        const auto it = object.find(name);
        if (it == object.end() || it->is_null())
            return true;
        if (!it->is_object()) {
            error = std::string("\"") + name + "\" is not an object";
            return false;
        }
        for (const auto& [key, value] : it->items()) {
            if (!value.is_number()) {
                error = std::string("\"") + name + "\": \"" + key + "\" is not a number";
                return false;
            }
            out[key] = value.get<double>();
        }
        return true;
    }

    static bool Latencies(const json& object, std::map<std::string, SecondLatency>& out,
                          std::string& error) {
        const auto it = object.find("latency");
        if (it == object.end() || it->is_null())
            return true;
        if (!it->is_object()) {
            error = "\"latency\" is not an object";
            return false;
        }
        for (const auto& [command, figures] : it->items()) {
            if (!figures.is_object()) {
                error = "\"latency\": \"" + command + "\" is not an object";
                return false;
            }
            SecondLatency latency;
            latency.count = NumberOr(figures, "count", 0);
            latency.p50Ms = NumberOr(figures, "p50_ms", -1);
            latency.p99Ms = NumberOr(figures, "p99_ms", -1);
            out[command] = latency;
        }
        return true;
    }

    ReadResult Failed(int number, const std::string& what) {
        Fail(number, what);
        return m_result;
    }

    std::string Where(int number) const { return m_file + ":" + std::to_string(number) + ": "; }

    bool Fail(int number, const std::string& what) {
        m_result.ok = false;
        m_result.error = Where(number) + what;
        return false;
    }

    std::string m_file;
    Timeline& m_out;
    ReadResult m_result;
    double m_stepOffset = 0;
};

}  // namespace

ReadResult ParseTimeline(const std::string& file, const std::string& text, Timeline& out) {
    out = Timeline();
    out.file = file;
    return Reader(file, out).Read(text);
}

ReadResult ReadTimelineFile(const std::string& path, Timeline& out) {
    ReadResult result;
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        result.error = path + ": is a folder, not a timeline";
        return result;
    }
    errno = 0;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.error = path + ": cannot be read (" + std::strerror(errno ? errno : ENOENT) + ")";
        return result;
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) {
        result.error = path + ": cannot be read";
        return result;
    }
    return ParseTimeline(path, text.str(), out);
}

}  // namespace report
