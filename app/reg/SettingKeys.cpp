#include "app/reg/SettingKeys.h"

#include <strings.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <iterator>

namespace settings_keys {

namespace {

char Lower(char c) {
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

std::size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::size_t> row(b.size() + 1);
    for (std::size_t j = 0; j <= b.size(); ++j)
        row[j] = j;
    for (std::size_t i = 1; i <= a.size(); ++i) {
        std::size_t diagonal = row[0];
        row[0] = i;
        for (std::size_t j = 1; j <= b.size(); ++j) {
            const std::size_t above = row[j];
            const std::size_t substitute = diagonal + (Lower(a[i - 1]) == Lower(b[j - 1]) ? 0 : 1);
            row[j] = std::min({above + 1, row[j - 1] + 1, substitute});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// Whole decimal number with an optional minus sign, within 32 bits.
bool ParseInteger(const std::string& text, long long& value) {
    std::size_t start = (!text.empty() && text[0] == '-') ? 1 : 0;
    if (text.size() == start || text.size() - start > 10)
        return false;
    for (std::size_t i = start; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
    }
    value = std::strtoll(text.c_str(), nullptr, 10);
    return value >= INT_MIN && value <= INT_MAX;
}

}  // namespace

const std::vector<KnownKey>& KnownKeys() {
    static const std::vector<KnownKey> known(std::begin(keys::kAllSettings),
                                             std::end(keys::kAllSettings));
    return known;
}

const KnownKey* FindKey(const std::string& name) {
    for (const KnownKey& key : KnownKeys()) {
        if (strcasecmp(key.name, name.c_str()) == 0)
            return &key;
    }
    return nullptr;
}

const KnownKey& ClosestKey(const std::string& name) {
    const KnownKey* best = &KnownKeys().front();
    std::size_t bestDistance = EditDistance(name, best->name);
    for (const KnownKey& key : KnownKeys()) {
        const std::size_t distance = EditDistance(name, key.name);
        if (distance < bestDistance) {
            best = &key;
            bestDistance = distance;
        }
    }
    return *best;
}

std::string CheckValue(const std::string& name, const std::string& value) {
    const KnownKey* key = FindKey(name);
    if (key == nullptr || key->kind == KeyKind::kText)
        return std::string();
    long long number = 0;
    if (!ParseInteger(value, number))
        return std::string(key->name) + " needs a whole number, not '" + value + "'";
    if (key->kind == KeyKind::kPort && (number < 0 || number > 65535))
        return std::string(key->name) + " needs a port number from 0 to 65535, not '" + value +
               "'";
    return std::string();
}

std::string UnknownKeyWarning(const std::string& name) {
    if (FindKey(name) != nullptr)
        return std::string();
    return "'" + name + "' is not a setting zodiva reads (did you mean '" +
           ClosestKey(name).name + "'?); stored anyway";
}

bool IsSecret(const std::string& name) {
    for (const char* secret :
         {keys::kScrambledPassword.name, keys::kPassword.name, keys::kProxyPassword.name}) {
        if (strcasecmp(name.c_str(), secret) == 0)
            return true;
    }
    return false;
}

}  // namespace settings_keys
