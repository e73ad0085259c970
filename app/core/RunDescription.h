#pragma once
// What a run was pointed at, read from the settings as the engine will read them: the
// server, TLS, the proxy and the settings that shape it, for the summary.
#include <string>
#include <utility>
#include <vector>

#include "app/core/RunSummary.h"

class SettingsStore;

// `started`: when Go was pressed, ISO 8601 UTC. `extra`: figures that are not settings but
// shape the run the same way (the connection options), added to the settings by name.
RunSetup DescribeRun(SettingsStore& settings, const std::string& started,
                     const std::vector<std::pair<std::string, std::string>>& extra = {});

// True for the settings that hold a secret (passwords), which no output ever shows.
