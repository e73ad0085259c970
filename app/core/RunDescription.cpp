#include "app/core/RunDescription.h"

#include <strings.h>

#include "app/core/CommandLine.h"
#include "app/reg/SettingKeys.h"
#include "support/SettingsStore.h"

namespace {

// The defaults the engine uses where the settings say nothing.
constexpr int kDefaultNewsPort = 119;
constexpr int kDefaultProxyPort = 1080;

}  // namespace

bool IsSecretSetting(const std::string& key) {
    for (const char* secret : {"password", "NNTPp", "ProxyPassword"}) {
        if (strcasecmp(key.c_str(), secret) == 0)
            return true;
    }
    return false;
}

RunSetup DescribeRun(SettingsStore& settings, const std::string& started,
                     const std::vector<std::pair<std::string, std::string>>& extra) {
    RunSetup setup;
    setup.server = settings.GetString("news_server", "");
    setup.port = settings.GetInt("news_port", kDefaultNewsPort);
    setup.tls = settings.GetInt("news_ssl", 0) != 0;
    if (settings.GetInt("ProxyOption", 0) != 0) {
        const std::string host = settings.GetString("ProxyAddress", "");
        const bool ipv6 = host.find(':') != std::string::npos;
        setup.proxy = (ipv6 ? "[" + host + "]" : host) + ":" +
                      std::to_string(settings.GetInt("ProxyPort", kDefaultProxyPort));
    }
    setup.version = kZodivaVersion;
    setup.started = started;
    for (const settings_keys::KnownKey& key : settings_keys::KnownKeys()) {
        if (IsSecretSetting(key.name))
            continue;
        const std::string value = settings.GetString(key.name, "");
        if (!value.empty())
            setup.settings.emplace_back(key.name, value);
    }
    for (const auto& entry : extra)
        setup.settings.push_back(entry);
    return setup;
}
