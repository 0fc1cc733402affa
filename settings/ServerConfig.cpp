#include "settings/ServerConfig.h"

bool ServerConfig::FindSpecial(const char* szVehicle, SpecialConfigEntry& entry) const
{
    if (szVehicle == nullptr || !bSpecialOn)
        return false;
    auto it = special.find(szVehicle);
    if (it == special.end())
        return false;
    entry = it->second;
    return true;
}

ServerConfigPtr DefaultServerConfig()
{
    auto pConfig = std::make_shared<ServerConfig>();
    pConfig->settings = DefaultSettings();
    return pConfig;
}
