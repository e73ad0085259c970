#pragma once
// Text made safe for the page: everything a timeline holds (a server name, a setting, a label)
// is the user's data and must never become markup or script.
#include <string>

#include <nlohmann/json.hpp>

namespace report {

// For HTML text and for attribute values in double or single quotes.
std::string EscapeHtml(const std::string& text);

// JSON for a <script> element: "<", ">" and "&" written as \u escapes, so that no text can
// end the element or open a comment; every other character outside ASCII escaped too.
std::string ScriptJson(const nlohmann::ordered_json& value);

// A script library's text for an inline <script> element: a "</script" in it (in a string or
// a comment) would end the element early, so it is written "<\/script".
std::string InlineScript(const std::string& code);

// "%.*f" of `value`.
std::string Fixed(double value, int decimals);

// A JSON value as a person reads it: texts without quotes, whole numbers without decimals,
// true and false as "yes" and "no", null as "none", lists and objects as compact JSON.
std::string PlainValue(const nlohmann::ordered_json& value);

}  // namespace report
