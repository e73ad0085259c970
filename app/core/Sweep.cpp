#include "app/core/Sweep.h"

#include <algorithm>
#include <cctype>

#include "app/core/SafeText.h"

namespace {

class SweepParser {
public:
    SweepParser(const std::string& text, int maxConnections, std::vector<int>& steps,
                SweepParseError& error)
        : m_text(text), m_max(maxConnections), m_steps(steps), m_error(error) {}

    bool Parse() {
        m_steps.clear();
        if (m_text.empty())
            return Fail(0, "expected a list of connection counts, as 1,4,16 or 1..64");
        for (;;) {
            if (!ParseItem())
                return false;
            if (m_pos == m_text.size())
                return true;
            if (m_text[m_pos] != ',')
                return Fail(m_pos, "expected ',' or '..' after a number");
            ++m_pos;
        }
    }

private:
    bool Fail(std::size_t at, std::string message) {
        m_error.column = at + 1;
        m_error.message = std::move(message);
        return false;
    }

    bool ParseNumber(int& value) {
        const std::size_t start = m_pos;
        long long parsed = 0;
        while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos]))) {
            if (parsed <= m_max)
                parsed = parsed * 10 + (m_text[m_pos] - '0');
            ++m_pos;
        }
        if (m_pos == start)
            return Fail(start, "expected a number of connections");
        if (parsed < 1 || parsed > m_max) {
            return Fail(start, "a step needs 1 to " + std::to_string(m_max) + " connections");
        }
        value = static_cast<int>(parsed);
        return true;
    }

    // Steps must grow: the knee and the first step's checks read them in order.
    bool Add(int connections, std::size_t at) {
        if (!m_steps.empty() && connections <= m_steps.back()) {
            return Fail(at, "the steps must grow: " + std::to_string(connections) + " follows " +
                                std::to_string(m_steps.back()));
        }
        m_steps.push_back(connections);
        return true;
    }

    // N or A..B.
    bool ParseItem() {
        const std::size_t start = m_pos;
        int first = 0;
        if (!ParseNumber(first))
            return false;
        if (m_text.compare(m_pos, 2, "..") != 0)
            return Add(first, start);
        m_pos += 2;
        const std::size_t lastAt = m_pos;
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

    const std::string& m_text;
    int m_max;
    std::vector<int>& m_steps;
    SweepParseError& m_error;
    std::size_t m_pos = 0;
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
