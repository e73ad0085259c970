#include "app/metrics/MetricsService.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <climits>
#endif

MetricsService::MetricsService(const std::string& instance, const std::string& server,
                               const std::string& version)
    : m_hub({{"instance", instance.empty() ? ThisHostName() : instance}, {"server", server}}),
      m_endpoint([this] { return m_hub.Exposition(); }) {
    m_hub.SetVersion(version);
}

MetricsService::~MetricsService() {
    m_endpoint.Stop();
}

bool MetricsService::Start(const ListenAddress& address, std::string& error) {
    return m_endpoint.Start(address, error);
}

#ifdef _WIN32
// Windows' own name of the machine, which needs no Windows Sockets start-up (gethostname does).
std::string ThisHostName() {
    char name[256] = {};
    DWORD length = sizeof(name);
    if (!GetComputerNameExA(ComputerNameDnsHostname, name, &length) || name[0] == '\0') {
        return "localhost";
    }
    return name;
}
#else
std::string ThisHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0') {
        return "localhost";
    }
    return name;
}
#endif
