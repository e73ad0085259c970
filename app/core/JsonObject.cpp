#include "app/core/JsonObject.h"

#include <charconv>
#include <cmath>
#include <cstdio>

#include "app/core/SafeText.h"

namespace {

using json = nlohmann::ordered_json;

// `value` as it reads back after being written with `precision` in `format`: the rounding of
// printf's "%.Nf" (fixed) or "%.Ng" (general), done without the C locale's decimal point.
double RoundedAs(double value, std::chars_format format, int precision) {
    char text[400];  // a fixed 1e308 with its decimals fits
    const auto written = std::to_chars(text, text + sizeof text, value, format, precision);
    if (written.ec != std::errc())
        return value;
    double rounded = value;
    std::from_chars(text, written.ptr, rounded);
    return rounded;
}

// DEL and U+0080..U+009F (C2 80..C2 9F in UTF-8) as \u escapes: the library writes them as
// they are, and a terminal may act on them as it would on ESC. `text` is valid UTF-8, so a
// C2 byte followed by 80..9F is always such a character.
std::string EscapeControls(std::string text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t pos = 0; pos < text.size(); ++pos) {
        const auto c = static_cast<unsigned char>(text[pos]);
        const auto next = pos + 1 < text.size() ? static_cast<unsigned char>(text[pos + 1]) : 0;
        unsigned code = 0;
        if (c == 0x7F) {
            code = c;
        } else if (c == 0xC2 && next >= 0x80 && next <= 0x9F) {
            code = next;
            ++pos;
        } else {
            out += static_cast<char>(c);
            continue;
        }
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", code);
        out += escape;
    }
    return out;
}

}  // namespace

json RoundedNumber(double value, int decimals) {
    if (!std::isfinite(value))
        return nullptr;
    const double rounded = RoundedAs(value, std::chars_format::fixed, decimals);
    // A whole number as an integer, as it always was ("rate_bytes_per_s":2500000), when it
    // fits one exactly.
    if (decimals == 0 && std::fabs(rounded) < 9.0e18)
        return static_cast<std::int64_t>(rounded);
    return rounded;
}

json SignificantNumber(double value, int digits) {
    if (!std::isfinite(value))
        return nullptr;
    const double rounded = RoundedAs(value, std::chars_format::general, digits);
    // Where "%g" writes a whole number without a point ("20", not "2e+01"), an integer.
    if (rounded == std::trunc(rounded) && std::fabs(rounded) < std::pow(10.0, digits))
        return static_cast<std::int64_t>(rounded);
    return rounded;
}

json JsonString(std::string_view text) {
    return ValidUtf8(text);
}

std::string JsonText(const json& value) {
    // The strings were made valid UTF-8 on the way in; should one not be, the library writes
    // U+FFFD for its bad bytes rather than throwing away the whole line.
    return EscapeControls(value.dump(-1, ' ', false, json::error_handler_t::replace));
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view value) {
    return Member(key, JsonString(value));
}

JsonObject& JsonObject::Number(std::string_view key, double value, int decimals) {
    return Member(key, RoundedNumber(value, decimals));
}

JsonObject& JsonObject::Count(std::string_view key, std::uint64_t value) {
    return Member(key, value);
}

JsonObject& JsonObject::Signed(std::string_view key, std::int64_t value) {
    return Member(key, value);
}

JsonObject& JsonObject::Flag(std::string_view key, bool value) {
    return Member(key, value);
}

JsonObject& JsonObject::Null(std::string_view key) {
    return Member(key, nullptr);
}

JsonObject& JsonObject::Member(std::string_view key, json value) {
    // Keys are ours, but some are names a person typed (a setting's name): made safe alike.
    m_value[ValidUtf8(key)] = std::move(value);
    return *this;
}

JsonObject& JsonObject::Member(std::string_view key, const JsonObject& value) {
    return Member(key, value.m_value);
}

JsonObject& JsonObject::Merge(const JsonObject& other) {
    for (const auto& [key, value] : other.m_value.items()) m_value[key] = value;
    return *this;
}

std::string JsonObject::Object() const {
    return JsonText(m_value);
}

std::string JsonObject::Line() const {
    return Object() + "\n";
}

JsonObject CountsJson(const std::vector<std::pair<std::string, std::uint64_t>>& counts) {
    JsonObject json;
    for (const auto& [key, count] : counts)
        json.Count(key, count);
    return json;
}
