#include "app/core/JsonObject.h"

#include <cmath>
#include <cstdio>

#include "app/core/SafeText.h"

std::string JsonNumber(double value, const char* format) {
    if (!std::isfinite(value))
        return "null";
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

void JsonObject::Key(std::string_view key) {
    if (!members_.empty())
        members_ += ',';
    members_ += '"';
    members_ += key;
    members_ += "\":";
}

JsonObject& JsonObject::Text(std::string_view key, std::string_view value) {
    Key(key);
    members_ += JsonQuote(value);
    return *this;
}

JsonObject& JsonObject::Number(std::string_view key, double value, const char* format) {
    Key(key);
    members_ += JsonNumber(value, format);
    return *this;
}

JsonObject& JsonObject::Count(std::string_view key, std::uint64_t value) {
    Key(key);
    members_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Signed(std::string_view key, std::int64_t value) {
    Key(key);
    members_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Flag(std::string_view key, bool value) {
    Key(key);
    members_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::Null(std::string_view key) {
    Key(key);
    members_ += "null";
    return *this;
}

JsonObject& JsonObject::Raw(std::string_view key, std::string_view json) {
    Key(key);
    members_ += json;
    return *this;
}

JsonObject& JsonObject::Merge(const JsonObject& other) {
    if (other.members_.empty())
        return *this;
    if (!members_.empty())
        members_ += ',';
    members_ += other.members_;
    return *this;
}

std::string CountsJson(const std::vector<std::pair<std::string, std::uint64_t>>& counts) {
    JsonObject json;
    for (const auto& [key, count] : counts)
        json.Count(key, count);
    return json.Object();
}
