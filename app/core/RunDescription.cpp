#include "app/core/RunDescription.h"

#include "app/core/CommandLine.h"
#include "app/reg/SettingKeys.h"
#include "support/SettingsStore.h"

RunSetup DescribeRun(SettingsStore& settings, const std::string& started,
                     const std::vector<std::pair<std::string, std::string>>& extra) {
    RunSetup setup;
    setup.server = settings.GetString(keys::kNewsServer);
    setup.port = settings.GetInt(keys::kNewsPort);
    setup.tls = settings.GetInt(keys::kNewsSsl) != 0;
    if (settings.GetInt(keys::kProxyOption) != 0) {
        const std::string host = settings.GetString(keys::kProxyAddress);
        const bool ipv6 = host.find(':') != std::string::npos;
        setup.proxy = (ipv6 ? "[" + host + "]" : host) + ":" +
                      std::to_string(settings.GetInt(keys::kProxyPort));
    }
    setup.version = kZodivaVersion;
    setup.started = started;
    for (const settings_keys::KnownKey& key : settings_keys::KnownKeys()) {
        if (settings_keys::IsSecret(key.name))
            continue;
        const std::string value = settings.GetString(key.name, "");
        if (!value.empty())
            setup.settings.emplace_back(key.name, value);
    }
    for (const auto& entry : extra)
        setup.settings.push_back(entry);
    return setup;
}
