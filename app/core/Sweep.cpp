#include "app/core/Sweep.h"

#include <algorithm>
#include <cctype>

#include "app/core/SafeText.h"

namespace {

class SweepParser {
public:
    SweepParser(const std::string& text, int maxConnections, std::vector<int>& steps,
                SweepParseError& error)
        : text_(text), max_(maxConnections), steps_(steps), error_(error) {}

    bool Parse() {
        steps_.clear();
        if (text_.empty())
            return Fail(0, "expected a list of connection counts, as 1,4,16 or 1..64");
        for (;;) {
            if (!ParseItem())
                return false;
            if (pos_ == text_.size())
                return true;
            if (text_[pos_] != ',')
                return Fail(pos_, "expected ',' or '..' after a number");
            ++pos_;
        }
    }

private:
    bool Fail(std::size_t at, std::string message) {
        error_.column = at + 1;
        error_.message = std::move(message);
        return false;
    }

    bool ParseNumber(int& value) {
        const std::size_t start = pos_;
        long long parsed = 0;
        while (pos_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[pos_]))) {
            if (parsed <= max_)
                parsed = parsed * 10 + (text_[pos_] - '0');
            ++pos_;
        }
        if (pos_ == start)
            return Fail(start, "expected a number of connections");
        if (parsed < 1 || parsed > max_) {
            return Fail(start, "a step needs 1 to " + std::to_string(max_) + " connections");
        }
        value = static_cast<int>(parsed);
        return true;
    }

    // Steps must grow: the knee and the first step's checks read them in order.
    bool Add(int connections, std::size_t at) {
        if (!steps_.empty() && connections <= steps_.back()) {
            return Fail(at, "the steps must grow: " + std::to_string(connections) +
                                " follows " + std::to_string(steps_.back()));
        }
        steps_.push_back(connections);
        return true;
    }

    // N or A..B.
    bool ParseItem() {
        const std::size_t start = pos_;
        int first = 0;
        if (!ParseNumber(first))
            return false;
        if (text_.compare(pos_, 2, "..") != 0)
            return Add(first, start);
        pos_ += 2;
        const std::size_t lastAt = pos_;
        int last = 0;
        if (!ParseNumber(last))
            return false;
        if (last < first)
            return Fail(lastAt, "a range A..B needs B of at least A");
        for (long long n = first; n < last; n *= 2) {
            if (!Add(static_cast<int>(n), start))
                return false;
        }
        return Add(last, lastAt);
    }

    const std::string& text_;
    int max_;
    std::vector<int>& steps_;
    SweepParseError& error_;
    std::size_t pos_ = 0;
};

}  // namespace

bool ParseSweepList(const std::string& text, int maxConnections, std::vector<int>& steps,
                    SweepParseError& error) {
    SweepParser parser(text, maxConnections, steps, error);
    return parser.Parse();
}

std::string DescribeSweepError(const std::string& text, const SweepParseError& error) {
    return DescribeFaultAt("--sweep", text, error.column, error.message);
}

std::optional<int> SweepKnee(const std::vector<StepOutcome>& steps) {
    double best = 0.0;
    for (const StepOutcome& step : steps)
        best = std::max(best, step.rate);
    if (best <= 0.0)
        return std::nullopt;
    std::optional<int> knee;
    for (const StepOutcome& step : steps) {
        if (step.rate >= best * (1.0 - kKneeTolerance) && (!knee || step.connections < *knee))
            knee = step.connections;
    }
    return knee;
}

std::optional<int> SweepCapacity(const std::vector<StepOutcome>& steps, bool checksGiven) {
    if (!checksGiven)
        return std::nullopt;
    std::optional<int> capacity;
    for (const StepOutcome& step : steps) {
        if (step.checksPass && (!capacity || step.connections > *capacity))
            capacity = step.connections;
    }
    return capacity;
}
