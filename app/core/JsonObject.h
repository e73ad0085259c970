#pragma once
// One JSON object built member by member, in the order they are added: the lines of --json
// and the summary. Keys are ours (snake_case, never from a server); string values are
// quoted with JsonQuote, so text a server sent is always valid JSON.
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class JsonObject {
public:
    JsonObject& Text(std::string_view key, std::string_view value);
    // A number written with printf's `format` ("%.3f", "%.2f").
    JsonObject& Number(std::string_view key, double value, const char* format);
    JsonObject& Count(std::string_view key, std::uint64_t value);
    JsonObject& Signed(std::string_view key, std::int64_t value);
    JsonObject& Flag(std::string_view key, bool value);
    JsonObject& Null(std::string_view key);
    // A value that is JSON already (another object, an array).
    JsonObject& Raw(std::string_view key, std::string_view json);
    // The members of `other`, appended as if added here.
    JsonObject& Merge(const JsonObject& other);

    bool Empty() const { return members_.empty(); }
    // "{...}"
    std::string Object() const { return "{" + members_ + "}"; }
    // The object and a line feed.
    std::string Line() const { return Object() + "\n"; }

private:
    void Key(std::string_view key);
    std::string members_;
};

// {"key":count,...} in the order given: state and failure counts of a second.
std::string CountsJson(const std::vector<std::pair<std::string, std::uint64_t>>& counts);

// A number as printf writes it with `format`; "null" for NaN and infinities, which JSON
// cannot hold.
std::string JsonNumber(double value, const char* format);
