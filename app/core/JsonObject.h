#pragma once
// One JSON object built member by member, kept in the order the members are added: the lines
// of --json, the summary, the timeline. The JSON library writes the text; this class adds what
// our documents promise on top of it:
// - text a server sent may hold any bytes: bytes that are not valid UTF-8 are read as Latin-1
//   and control characters (DEL and U+0080..U+009F too) are escaped, so a line is always
//   valid JSON in UTF-8, never throws while written and cannot steer a terminal;
// - a number keeps the decimals it always had (rounded to them), NaN and infinities are null.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class JsonObject {
public:
    JsonObject& Text(std::string_view key, std::string_view value);
    // `value` rounded to `decimals` places; with none, a whole number.
    JsonObject& Number(std::string_view key, double value, int decimals);
    JsonObject& Count(std::string_view key, std::uint64_t value);
    JsonObject& Signed(std::string_view key, std::int64_t value);
    JsonObject& Flag(std::string_view key, bool value);
    JsonObject& Null(std::string_view key);
    // A member whose value is made elsewhere: another object, an array, a rounded number.
    JsonObject& Member(std::string_view key, nlohmann::ordered_json value);
    JsonObject& Member(std::string_view key, const JsonObject& value);
    // The members of `other`, added after these as if added here.
    JsonObject& Merge(const JsonObject& other);

    const nlohmann::ordered_json& Value() const { return m_value; }
    // "{...}"
    std::string Object() const;
    // The object and a line feed.
    std::string Line() const;

private:
    nlohmann::ordered_json m_value = nlohmann::ordered_json::object();
};

// `value` rounded to `decimals` places as printf's "%.Nf" rounds it, as a JSON number (a whole
// number when `decimals` is 0); null for NaN and infinities, which JSON cannot hold.
nlohmann::ordered_json RoundedNumber(double value, int decimals);
// `value` kept to `digits` significant digits, as printf's "%.Ng" keeps it, and like it a
// whole number where it writes one without a point ("20"); null as above.
nlohmann::ordered_json SignificantNumber(double value, int digits);

// A JSON string of `text` whatever bytes it holds: bytes that are not valid UTF-8 are read as
// Latin-1, so nothing of them is lost.
nlohmann::ordered_json JsonString(std::string_view text);

// {"key":count,...} in the order given: state and failure counts of a second.
JsonObject CountsJson(const std::vector<std::pair<std::string, std::uint64_t>>& counts);

// The compact text of `value` as every document of ours is written (see the top of this file).
std::string JsonText(const nlohmann::ordered_json& value);
