#include "app/core/RunCheck.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "app/core/IntervalActivity.h"
#include "app/core/JsonObject.h"
#include "app/core/SafeText.h"

namespace {

struct Unit {
    const char* name;
    double scale;  // in the metric's base unit
};

const std::vector<Unit> kRateUnits = {{"B/s", 1.0},         {"KB/s", 1e3},
                                      {"MB/s", 1e6},        {"GB/s", 1e9},
                                      {"KiB/s", 1024.0},    {"MiB/s", 1024.0 * 1024.0}};
const std::vector<Unit> kTimeUnits = {{"ms", 1e3}, {"us", 1.0}, {"s", 1e6}};
const std::vector<Unit> kNoUnits = {};

const std::vector<Unit>& UnitsOf(CheckMetric metric) {
    switch (metric) {
        case CheckMetric::kRate:
            return kRateUnits;
        case CheckMetric::kPercentile:
        case CheckMetric::kMax:
            return kTimeUnits;
        default:
            return kNoUnits;
    }
}

std::string UnitList(const std::vector<Unit>& units) {
    std::string list;
    for (const Unit& unit : units) {
        if (!list.empty())
            list += ", ";
        list += unit.name;
    }
    return list;
}

std::string Joined(const std::vector<std::string>& names) {
    std::string list;
    for (const std::string& name : names) {
        if (!list.empty())
            list += ", ";
        list += name;
    }
    return list;
}

bool Contains(const std::vector<std::string>& names, const std::string& name) {
    for (const std::string& known : names) {
        if (known == name)
            return true;
    }
    return false;
}

// "p99", "p99.9", "p98": a percentile, known or not.
bool LooksLikePercentile(const std::string& name) {
    return name.size() > 1 && name[0] == 'p' &&
           name.find_first_not_of("0123456789.", 1) == std::string::npos;
}

bool IsNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

// Reads the expression left to right; every fault names the column it was found at.
class CheckParser {
public:
    CheckParser(const std::string& text, RunCheck& check, CheckParseError& error)
        : m_text(text), m_check(check), m_error(error) {}

    bool Parse() {
        m_check = RunCheck{};
        m_check.expr = m_text;
        return ParseMetric() && ParseOperator() && ParseValue() && ParseUnit() && ParseEnd();
    }

private:
    bool Fail(std::size_t at, std::string message) {
        m_error.column = at + 1;
        m_error.message = std::move(message);
        return false;
    }

    void SkipBlanks() {
        while (m_pos < m_text.size() && std::isspace(static_cast<unsigned char>(m_text[m_pos])))
            ++m_pos;
    }

    std::string ReadName() {
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() && IsNameChar(m_text[m_pos])) ++m_pos;
        return m_text.substr(start, m_pos - start);
    }

    bool ParseMetric() {
        SkipBlanks();
        const std::size_t start = m_pos;
        const std::string name = ReadName();
        if (name.empty()) {
            return Fail(start, m_pos < m_text.size() ? "expected a metric name"
                                                     : "empty check: expected METRIC OP VALUE");
        }
        SkipBlanks();
        if (m_pos < m_text.size() && m_text[m_pos] == '(')
            return ParseCommandMetric(name, start);
        static const struct {
            const char* name;
            CheckMetric metric;
        } kPlain[] = {{"rate", CheckMetric::kRate},
                      {"articles", CheckMetric::kArticles},
                      {"articles_per_s", CheckMetric::kArticlesPerSecond},
                      {"failures", CheckMetric::kFailures},
                      {"missing", CheckMetric::kMissing},
                      {"engine_cpu", CheckMetric::kEngineCpu}};
        for (const auto& plain : kPlain) {
            if (name == plain.name) {
                m_check.metric = plain.metric;
                return true;
            }
        }
        if (name.rfind("failures.", 0) == 0) {
            const std::string kind = name.substr(9);
            if (!Contains(CheckableFailureKinds(), kind)) {
                return Fail(start + 9, "unknown failure kind '" + kind +
                                           "' (known: " + Joined(CheckableFailureKinds()) + ")");
            }
            m_check.metric = CheckMetric::kFailureKind;
            m_check.name = kind;
            return true;
        }
        if (name == "max" || LooksLikePercentile(name))
            return Fail(m_pos,
                        "expected '(' and a command after '" + name + "', as " + name + "(body)");
        return Fail(start, "unknown metric '" + name +
                               "' (known: rate, articles, articles_per_s, failures, "
                               "failures.KIND, missing, pNN(CMD), max(CMD), engine_cpu)");
    }

    // pNN(CMD) or max(CMD); `m_pos` is at the '('.
    bool ParseCommandMetric(const std::string& name, std::size_t start) {
        if (name == "max") {
            m_check.metric = CheckMetric::kMax;
        } else {
            static const struct {
                const char* text;
                double fraction;
            } kPercentiles[] = {{"p50", 0.5}, {"p90", 0.9}, {"p99", 0.99}, {"p99.9", 0.999}};
            bool found = false;
            for (const auto& p : kPercentiles) {
                if (name == p.text) {
                    m_check.percentile = p.fraction;
                    found = true;
                }
            }
            if (!found) {
                return Fail(start, LooksLikePercentile(name)
                                       ? "unknown percentile '" + name +
                                             "' (known: p50, p90, p99, p99.9)"
                                       : "unknown metric '" + name + "' before '(' (known: "
                                                                      "p50, p90, p99, p99.9, max)");
            }
            m_check.metric = CheckMetric::kPercentile;
        }
        ++m_pos;  // '('
        SkipBlanks();
        const std::size_t commandAt = m_pos;
        const std::string command = ReadName();
        if (command.empty())
            return Fail(commandAt, "expected a command inside the parentheses, as " + name + "(body)");
        if (!Contains(CheckableCommands(), command)) {
            return Fail(commandAt, "unknown command '" + command +
                                       "' (known: " + Joined(CheckableCommands()) + ")");
        }
        SkipBlanks();
        if (m_pos >= m_text.size() || m_text[m_pos] != ')')
            return Fail(m_pos, "expected ')' after the command");
        ++m_pos;
        m_check.name = command;
        return true;
    }

    bool ParseOperator() {
        SkipBlanks();
        static const struct {
            const char* text;
            CheckOperator op;
        } kOperators[] = {{"<=", CheckOperator::kLessOrEqual}, {">=", CheckOperator::kGreaterOrEqual},
                          {"==", CheckOperator::kEqual},       {"!=", CheckOperator::kNotEqual},
                          {"<", CheckOperator::kLess},         {">", CheckOperator::kGreater}};
        for (const auto& candidate : kOperators) {
            const std::string op = candidate.text;
            if (m_text.compare(m_pos, op.size(), op) == 0) {
                m_check.op = candidate.op;
                m_pos += op.size();
                return true;
            }
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '=')
            return Fail(m_pos, "'=' is not an operator: write '==' to compare");
        return Fail(m_pos, m_pos < m_text.size()
                               ? "expected an operator (<, <=, >, >=, ==, !=)"
                               : "expected an operator (<, <=, >, >=, ==, !=) and a value");
    }

    bool ParseValue() {
        SkipBlanks();
        const std::size_t start = m_pos;
        if (m_pos < m_text.size() && (m_text[m_pos] == '-' || m_text[m_pos] == '+'))
            return Fail(m_pos, "expected a number of 0 or more, without a sign");
        std::size_t digits = 0;
        while (m_pos < m_text.size() && std::isdigit(static_cast<unsigned char>(m_text[m_pos]))) {
            ++m_pos;
            ++digits;
        }
        if (m_pos < m_text.size() && m_text[m_pos] == '.') {
            ++m_pos;
            while (m_pos < m_text.size() &&
                   std::isdigit(static_cast<unsigned char>(m_text[m_pos]))) {
                ++m_pos;
                ++digits;
            }
        }
        if (digits == 0)
            return Fail(start, "expected a number");
        m_check.threshold = std::strtod(m_text.substr(start, m_pos - start).c_str(), nullptr);
        return true;
    }

    bool ParseUnit() {
        SkipBlanks();
        const std::vector<Unit>& units = UnitsOf(m_check.metric);
        const std::size_t start = m_pos;
        while (m_pos < m_text.size() && !std::isspace(static_cast<unsigned char>(m_text[m_pos])))
            ++m_pos;
        const std::string written = m_text.substr(start, m_pos - start);
        if (written.empty()) {
            if (!units.empty()) {
                m_check.unit = units.front().name;
                m_check.unitScale = units.front().scale;
            }
            return true;
        }
        for (const Unit& unit : units) {
            if (written == unit.name) {
                m_check.unit = unit.name;
                m_check.unitScale = unit.scale;
                return true;
            }
        }
        if (units.empty())
            return Fail(start, "this metric takes no unit, not '" + written + "'");
        return Fail(start, "unknown unit '" + written + "' (known: " + UnitList(units) + ")");
    }

    bool ParseEnd() {
        SkipBlanks();
        if (m_pos < m_text.size())
            return Fail(m_pos, "unexpected text after the check");
        return true;
    }

    const std::string& m_text;
    RunCheck& m_check;
    CheckParseError& m_error;
    std::size_t m_pos = 0;
};

std::uint64_t LatencyAt(const LatencyFigures& line, double percentile) {
    if (percentile >= 0.999)
        return line.p999;
    if (percentile >= 0.99)
        return line.p99;
    if (percentile >= 0.9)
        return line.p90;
    return line.p50;
}

// The figure in the metric's base unit (bytes/s, counts, microseconds, fraction of a core).
std::optional<double> BaseValue(const RunCheck& check, const RunSummary& summary) {
    switch (check.metric) {
        case CheckMetric::kRate:
            return summary.averageBytesPerSecond;
        case CheckMetric::kArticles:
            return static_cast<double>(summary.articlesCompleted);
        case CheckMetric::kArticlesPerSecond:
            return summary.articlesPerSecond;
        case CheckMetric::kFailures:
            return static_cast<double>(summary.TotalFailures());
        case CheckMetric::kFailureKind: {
            const FailureFigures* failure = summary.Failure(check.name);
            // A kind the summary does not list did not occur.
            return failure ? static_cast<double>(failure->count) : 0.0;
        }
        case CheckMetric::kMissing:
            return static_cast<double>(summary.missingArticles);
        case CheckMetric::kPercentile:
        case CheckMetric::kMax: {
            const LatencyFigures* line = summary.Latency(check.name);
            if (line == nullptr || line->count == 0)
                return std::nullopt;
            return static_cast<double>(check.metric == CheckMetric::kMax
                                           ? line->max
                                           : LatencyAt(*line, check.percentile));
        }
        case CheckMetric::kEngineCpu:
            if (summary.engineCpu < 0)
                return std::nullopt;
            return summary.engineCpu;
    }
    return std::nullopt;
}

bool Holds(double value, CheckOperator op, double threshold) {
    switch (op) {
        case CheckOperator::kLess:
            return value < threshold;
        case CheckOperator::kLessOrEqual:
            return value <= threshold;
        case CheckOperator::kGreater:
            return value > threshold;
        case CheckOperator::kGreaterOrEqual:
            return value >= threshold;
        case CheckOperator::kEqual:
            return value == threshold;
        case CheckOperator::kNotEqual:
            return value != threshold;
    }
    return false;
}

// Enough digits that a value is never shown equal to a threshold it failed against by a hair.
std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.6g", value);
    return text;
}

}  // namespace

bool ParseRunCheck(const std::string& text, RunCheck& check, CheckParseError& error) {
    CheckParser parser(text, check, error);
    return parser.Parse();
}

std::string DescribeCheckError(const std::string& text, const CheckParseError& error) {
    return DescribeFaultAt("--check", text, error.column, error.message);
}

std::vector<std::string> CheckableFailureKinds() {
    std::vector<std::string> kinds;
    for (std::size_t i = 0; i < static_cast<std::size_t>(FailureKind::kCount); ++i)
        kinds.push_back(FailureKey(static_cast<FailureKind>(i)));
    return kinds;
}

const std::vector<std::string>& CheckableCommands() {
    // In the order a connection sends them.
    static const std::vector<std::string> commands = {
        CommandKey(CommandKind::kGreeting), CommandKey(CommandKind::kGroup),
        CommandKey(CommandKind::kAuthinfo), CommandKey(CommandKind::kHead),
        CommandKey(CommandKind::kBodyStatus), CommandKey(CommandKind::kHeadText),
        CommandKey(CommandKind::kBodyText), CommandKey(CommandKind::kArticle)};
    return commands;
}

std::optional<double> CheckValue(const RunCheck& check, const RunSummary& summary) {
    const std::optional<double> base = BaseValue(check, summary);
    if (!base)
        return std::nullopt;
    return *base / check.unitScale;
}

CheckResult JudgeCheck(const RunCheck& check, const RunSummary& summary) {
    CheckResult result;
    result.expr = check.expr;
    result.unit = check.unit;
    result.value = CheckValue(check, summary);
    result.pass = result.value && Holds(*result.value, check.op, check.threshold);
    return result;
}

std::vector<CheckResult> JudgeChecks(const std::vector<RunCheck>& checks,
                                     const RunSummary& summary) {
    std::vector<CheckResult> results;
    for (const RunCheck& check : checks)
        results.push_back(JudgeCheck(check, summary));
    return results;
}

bool AllPass(const std::vector<CheckResult>& results) {
    for (const CheckResult& result : results) {
        if (!result.pass)
            return false;
    }
    return true;
}

nlohmann::ordered_json ChecksJson(const std::vector<CheckResult>& results) {
    auto json = nlohmann::ordered_json::array();
    for (const CheckResult& result : results) {
        JsonObject check;
        check.Text("expr", result.expr);
        if (result.value)
            check.Member("value", SignificantNumber(*result.value, 6));
        else
            check.Null("value");
        json.push_back(check.Flag("pass", result.pass).Value());
    }
    return json;
}

std::string ChecksText(const std::vector<CheckResult>& results) {
    if (results.empty())
        return std::string();
    std::size_t width = 5;
    for (const CheckResult& result : results)
        width = std::max(width, result.expr.size());
    std::string text = "Checks\n";
    for (const CheckResult& result : results) {
        std::string measured = result.value ? Number(*result.value) : std::string("not measured");
        if (result.value && !result.unit.empty())
            measured += " " + result.unit;
        std::string line = "  " + ShowSafely(result.expr);
        line.resize(std::max(line.size(), width + 4), ' ');
        std::string value = measured;
        value.resize(std::max<std::size_t>(value.size() + 2, 18), ' ');
        text += line + value + (result.pass ? "PASS" : "FAIL") + "\n";
    }
    return text;
}
