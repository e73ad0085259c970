#pragma once
// A map of settings (case-insensitive names, string values) with an optional parent store
// that answers for keys this one does not hold. Each store has its own recursive mutex;
// a read holds the child's lock while it asks the parent, so locks are always taken child
// first. Every operation may be called from any thread.
#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>

#include "platform/Registry.h"
#include "support/MutexHandle.h"
#include "support/Scramble.h"
#include "support/SettingKeys.h"

// The downloader's registry key, under HKEY_CURRENT_USER.
constexpr const char* kSettingsRegistryKey = "SOFTWARE\\Tarnley\\Quorrel\\1.00";

struct CaseInsensitiveLess {
    bool operator()(const std::string& a, const std::string& b) const;
};

class SettingsStore {
public:
    SettingsStore();
    virtual ~SettingsStore();
    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // Called after every SetString, outside the lock. Does nothing here; result unused.
    virtual bool OnSettingChanged(std::string key, std::string value);

    // Replaces the contents with the REG_DWORD and REG_SZ values of one registry key.
    // False (and an empty store) when the key cannot be opened.
    bool Load(HKEY hive, std::string subKey);
    // Removes every entry; takes no lock (used before other threads can see the store).
    void Clear();
    // Looks in this store only; value is emptied when the key is missing.
    bool Find(std::string key, std::string& value);
    // The value from this store or (inherit) its parents; an empty value reads as the
    // default.
    std::string GetString(std::string key, std::string defaultValue, bool inherit = true);
    // atoi of GetString with the default formatted in decimal.
    int GetInt(std::string key, int defaultValue, bool inherit = true);
    bool SetString(std::string key, std::string value);
    bool SetInt(std::string key, int value);
    // The same for a known setting, with its own default (support/SettingKeys.h).
    std::string GetString(const keys::TextKey& key, bool inherit = true) {
        return GetString(key.name, key.defaultValue, inherit);
    }
    int GetInt(const keys::IntKey& key, bool inherit = true) {
        return GetInt(key.name, key.defaultValue, inherit);
    }
    bool SetString(const keys::TextKey& key, std::string value) {
        return SetString(key.name, std::move(value));
    }
    bool SetInt(const keys::IntKey& key, int value) { return SetInt(key.name, value); }
    // The parent must outlive this store; null removes it.
    void SetParent(SettingsStore* parent);

    // Counts every change to any store (a value set, a parent set, a store cleared). A value
    // read when it was g is still the value while it is g: what CachedIntSetting relies on.
    static std::uint64_t Generation() { return s_generation.load(std::memory_order_acquire); }

private:
    static void Changed() { s_generation.fetch_add(1, std::memory_order_acq_rel); }
    static std::atomic<std::uint64_t> s_generation;

    SettingsStore* m_pParent = nullptr;
    MutexHandle m_lock;
    std::map<std::string, std::string, CaseInsensitiveLess> m_values;
};

// A setting that one thread reads very often (for every batch of lines). It is looked up in
// the store chain again only when some store has changed since the last look-up, so a change
// still takes effect at the next read, while an unchanged setting costs one atomic load
// instead of a locked look-up in every store of the chain. Not shared between threads.
class CachedIntSetting {
public:
    CachedIntSetting(const char* key, int defaultValue) : m_key(key), m_default(defaultValue) {}
    explicit CachedIntSetting(const keys::IntKey& key)
        : m_key(key.name), m_default(key.defaultValue) {}
    int Get(SettingsStore& store);

private:
    const char* m_key;
    int m_default;
    SettingsStore* m_store = nullptr;
    std::uint64_t m_generation = 0;
    int m_value = 0;
};
