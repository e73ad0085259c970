#include "support/SettingsStore.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr DWORD kValueNameSize = 256;

int FoldCase(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c;
}

// atoi as the Windows runtime defines it: leading blanks, a sign, the leading digits;
// out-of-range numbers saturate instead of being undefined.
int TextToInt(const std::string& text) {
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    if (value > INT_MAX)
        return INT_MAX;
    if (value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(value);
}

std::string IntToText(int value) {
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    return text;
}

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
    const size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        const int difference = FoldCase(a[i]) - FoldCase(b[i]);
        if (difference != 0)
            return difference < 0;
    }
    return a.size() < b.size();
}

std::atomic<std::uint64_t> SettingsStore::s_generation{1};

SettingsStore::SettingsStore() = default;

SettingsStore::~SettingsStore() {
    Clear();
}

bool SettingsStore::OnSettingChanged(std::string, std::string) {
    return true;
}

void SettingsStore::Clear() {
    m_values.clear();
    Changed();
}

bool SettingsStore::Find(std::string key, std::string& value) {
    MutexHandleLock lock(m_lock);
    auto it = m_values.find(key);
    if (it == m_values.end()) {
        value.clear();
        return false;
    }
    value = it->second;
    return true;
}

std::string SettingsStore::GetString(std::string key, std::string defaultValue, bool inherit) {
    MutexHandleLock lock(m_lock);
    std::string value;
    if (!Find(key, value)) {
        SettingsStore* parent;
        {
            MutexHandleLock parentPointerLock(m_lock);
            parent = m_pParent;
        }
        // This store's lock stays held while the parent answers: child first, then parent.
        if (inherit && parent != nullptr)
            value = parent->GetString(key, defaultValue, inherit);
    }
    if (value.empty())
        value = defaultValue;
    return value;
}

int SettingsStore::GetInt(std::string key, int defaultValue, bool inherit) {
    return TextToInt(GetString(std::move(key), IntToText(defaultValue), inherit));
}

bool SettingsStore::SetString(std::string key, std::string value) {
    {
        MutexHandleLock lock(m_lock);
        // An existing entry keeps the spelling under which it was first stored.
        m_values[key] = value;
    }
    Changed();
    OnSettingChanged(key, value);
    return true;
}

bool SettingsStore::SetInt(std::string key, int value) {
    return SetString(std::move(key), IntToText(value));
}

void SettingsStore::SetParent(SettingsStore* parent) {
    {
        MutexHandleLock lock(m_lock);
        m_pParent = parent;
    }
    Changed();
}

int CachedIntSetting::Get(SettingsStore& store) {
    // The generation is read before the look-up: a change made during it counts again later.
    const std::uint64_t now = SettingsStore::Generation();
    if (now != m_generation || &store != m_store) {
        m_value = store.GetInt(m_key, m_default);
        m_store = &store;
        m_generation = now;
    }
    return m_value;
}

bool SettingsStore::Load(HKEY hive, std::string subKey) {
    Clear();
    HKEY key = nullptr;
    if (RegOpenKeyExA(hive, subKey.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    for (DWORD index = 0;; ++index) {
        char name[kValueNameSize];
        DWORD nameLength = kValueNameSize;
        DWORD type = REG_NONE;
        const LONG result =
            RegEnumValueA(key, index, name, &nameLength, nullptr, &type, nullptr, nullptr);
        if (result == ERROR_NO_MORE_ITEMS)
            break;
        if (result == static_cast<LONG>(ERROR_MORE_DATA))
            continue;  // name too long
        if (result != ERROR_SUCCESS)
            break;
        if (type == REG_DWORD) {
            DWORD data = 0;
            DWORD size = sizeof data;
            if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(&data),
                                 &size) == ERROR_SUCCESS)
                SetInt(name, static_cast<int>(data));
        } else if (type == REG_SZ) {
            DWORD size = 0;
            if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
                continue;
            std::vector<char> data(size);
            if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<LPBYTE>(data.data()),
                                 &size) != ERROR_SUCCESS)
                continue;
            // Up to the first NUL, never beyond the bytes read.
            const size_t length = strnlen(data.data(), size);
            SetString(name, std::string(data.data(), length));
        }
    }
    RegCloseKey(key);
    return true;
}
