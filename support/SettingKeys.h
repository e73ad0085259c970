#pragma once
// Every setting zodiva reads, spelled once, with its default and its kind. Code reads a
// setting where it needs it (SettingsStore::GetInt(kErrorDelay)), so a change made while a
// download runs still takes effect at the next read; nothing here caches a value. The user
// guide's settings tables name the same keys and defaults, which a unit test holds them to.
// The names are the stored registry values' own and compare without regard to case.
#include <string>

namespace keys {

enum class SettingKind {
    kText,     // read as text
    kInteger,  // read as a signed 32-bit number
    kPort,     // a number from 0 to 65535
};

// A setting read as a number, with the default that applies when it is missing or empty.
struct IntKey {
    const char* name;
    int defaultValue;
    SettingKind kind = SettingKind::kInteger;
};

// A setting read as text, with the default that applies when it is missing or empty.
struct TextKey {
    const char* name;
    const char* defaultValue;
};

// The server and how many connections talk to it.
inline constexpr TextKey kNewsServer{"news_server", ""};
inline constexpr IntKey kNewsPort{"news_port", 119, SettingKind::kPort};
inline constexpr IntKey kConnections{"DLConnections", 1};
// TLS from the first byte, the certificate check, and a CA file instead of the system's.
inline constexpr IntKey kNewsSsl{"news_ssl", 0};
inline constexpr IntKey kNewsSslVerify{"news_sslverify", 1};
inline constexpr TextKey kNewsSslCa{"news_sslca", ""};
// The news server's login. A plain "password" wins over the scrambled "NNTPp".
inline constexpr TextKey kUserName{"username", ""};
inline constexpr TextKey kPassword{"password", ""};
inline constexpr TextKey kScrambledPassword{"NNTPp", ""};
inline constexpr IntKey kRetryPassword{"retrypassword", 0};
inline constexpr IntKey kRetryPasswordDelay{"retrypassworddelay", 30};
// The SOCKS5 proxy.
inline constexpr IntKey kProxyOption{"ProxyOption", 0};
inline constexpr TextKey kProxyAddress{"ProxyAddress", ""};
inline constexpr IntKey kProxyPort{"ProxyPort", 0, SettingKind::kPort};
inline constexpr TextKey kProxyUserName{"ProxyUsername", ""};
inline constexpr TextKey kProxyPassword{"ProxyPassword", ""};
// The article job: write to disk or not, the wait after a failed job, the article number the
// engine counts down from (it stores it itself), and the argument of the range command.
inline constexpr IntKey kWriteToDisk{"writetodisk", 1};
inline constexpr IntKey kErrorDelay{"errordelay", 10};
inline constexpr IntKey kArticle{"article", 0};
inline constexpr TextKey kRange{"range", ""};

// One row of the list of every setting.
struct SettingInfo {
    const char* name;
    SettingKind kind;
    int defaultNumber;        // for a number setting
    const char* defaultText;  // for a text setting; null for a number setting
};

constexpr SettingInfo Row(const IntKey& key) {
    return {key.name, key.kind, key.defaultValue, nullptr};
}
constexpr SettingInfo Row(const TextKey& key) {
    return {key.name, SettingKind::kText, 0, key.defaultValue};
}

// The default as the store would hold it ("119", "" for no text).
inline std::string DefaultText(const SettingInfo& setting) {
    return setting.defaultText != nullptr ? setting.defaultText
                                          : std::to_string(setting.defaultNumber);
}

// Every setting zodiva reads, in the order run descriptions list them. A new setting is added
// above and here, or --set and zodiva-reg will warn about it.
inline constexpr SettingInfo kAllSettings[] = {
    Row(kConnections),        Row(kWriteToDisk),       Row(kArticle),       Row(kRange),
    Row(kErrorDelay),         Row(kNewsServer),        Row(kNewsPort),      Row(kProxyOption),
    Row(kProxyAddress),       Row(kProxyPort),         Row(kProxyUserName), Row(kProxyPassword),
    Row(kUserName),           Row(kScrambledPassword), Row(kPassword),      Row(kRetryPassword),
    Row(kRetryPasswordDelay), Row(kNewsSsl),           Row(kNewsSslVerify), Row(kNewsSslCa),
};

}  // namespace keys
