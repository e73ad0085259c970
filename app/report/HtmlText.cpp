#include "app/report/HtmlText.h"

#include <cctype>
#include <cmath>
#include <cstdio>

namespace report {

std::string EscapeHtml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

std::string ScriptJson(const nlohmann::ordered_json& value) {
    const std::string text = value.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '<': out += "\\u003c"; break;
        case '>': out += "\\u003e"; break;
        case '&': out += "\\u0026"; break;
        default: out += c;
        }
    }
    return out;
}

std::string InlineScript(const std::string& code) {
    const auto endsScript = [&code](std::size_t at) {
        if (code.compare(at, 2, "</") != 0 || code.size() - at < 8)
            return false;
        for (std::size_t i = 0; i < 6; ++i) {
            if (std::tolower(static_cast<unsigned char>(code[at + 2 + i])) != "script"[i])
                return false;
        }
        return true;
    };
    std::string out;
    out.reserve(code.size());
    for (std::size_t i = 0; i < code.size(); ++i) {
        if (endsScript(i)) {
            out += "<\\/";
            ++i;  // the slash is written escaped
            continue;
        }
        out += code[i];
    }
    return out;
}

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string PlainValue(const nlohmann::ordered_json& value) {
    if (value.is_string())
        return value.get<std::string>();
    if (value.is_boolean())
        return value.get<bool>() ? "yes" : "no";
    if (value.is_null())
        return "none";
    if (value.is_number_integer() || value.is_number_unsigned())
        return value.dump();
    if (value.is_number_float()) {
        const double number = value.get<double>();
        if (!std::isfinite(number) || std::fabs(number) >= 1e15)
            return value.dump();
        // Three decimals at most: 39968655.833333336 reads as 39968655.833.
        std::string text = Fixed(number, 3);
        while (text.back() == '0') text.pop_back();
        if (text.back() == '.')
            text.pop_back();
        return text == "-0" ? "0" : text;
    }
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

}  // namespace report
