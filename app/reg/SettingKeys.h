#pragma once
// Checks on setting names and values, so that both the settings writer and the command
// line's --set can tell a typing slip ("news_sever") or a value the program would misread
// ("news_port=abc") before it is stored. Names compare without regard to case, as the
// settings store compares them.
#include <string>
#include <vector>

#include "support/SettingKeys.h"

namespace settings_keys {

using KeyKind = keys::SettingKind;
using KnownKey = keys::SettingInfo;

// Every key the program reads (keys::kAllSettings).
const std::vector<KnownKey>& KnownKeys();

// The known key with that name (any letter case), or null.
const KnownKey* FindKey(const std::string& name);

// The known key whose name is nearest to `name` (edit distance, ignoring case).
const KnownKey& ClosestKey(const std::string& name);

// Empty when `value` suits the key; otherwise why not, in a user's words. Unknown keys
// accept every value.
std::string CheckValue(const std::string& name, const std::string& value);

// The warning for a name that is not a known key, naming the nearest known one; empty for
// a known key.
std::string UnknownKeyWarning(const std::string& name);

// A password, scrambled or not, that is never shown.
bool IsSecret(const std::string& name);

}  // namespace settings_keys
