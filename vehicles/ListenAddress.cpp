#include "vehicles/ListenAddress.h"

#include "platform/Format.h"
#include "platform/Socket.h"

#include <cstdint>

namespace {

// Why the setting cannot be named as it is; "" when it can.
std::string SettingProblem(const char* szSetting, const char* szPeerIp)
{
    std::uint32_t nAddr = 0;
    if (*szSetting == '\0')
        return "empty";
    if (!ParseIpv4(szSetting, &nAddr))
        return "no address";
    if (nAddr == 0)
        return "every address, no single one";
    if (IsLoopbackIpv4(szSetting) && !IsLoopbackIpv4(szPeerIp))
        return "loopback, the recorder is not";
    return "";
}

} // namespace

ListenIpChoice ChooseListenIp(const char* szSetting, const char* szPeerIp, const char* szLocalIp)
{
    ListenIpChoice choice;
    choice.ip = szSetting;
    choice.strUnsuitable = SettingProblem(szSetting, szPeerIp);
    if (choice.strUnsuitable.empty())
        return choice;
    if (*szLocalIp == '\0') {
        choice.eSource = ListenIpSource::ArrivalUnknown;
        return choice;
    }
    choice.ip = szLocalIp;
    choice.eSource = ListenIpSource::Arrival;
    return choice;
}

std::string ListenIpLogText(const char* szVehicle, const char* szSetting, const ListenIpChoice& choice)
{
    switch (choice.eSource) {
    case ListenIpSource::Setting:
        return Format("vehname=%s, file requests name %s, the IP setting", szVehicle, choice.ip.c_str());
    case ListenIpSource::Arrival:
        if (*szSetting == '\0')
            return Format("vehname=%s, file requests name %s, the address its datagrams arrive on", szVehicle,
                          choice.ip.c_str());
        return Format("vehname=%s, file requests name %s, the address its datagrams arrive on (IP %s is %s)",
                      szVehicle, choice.ip.c_str(), szSetting, choice.strUnsuitable.c_str());
    case ListenIpSource::ArrivalUnknown:
        break;
    }
    return Format("vehname=%s, file requests name \"%s\", the IP setting, though it is %s: the address its "
                  "datagrams arrive on is unknown",
                  szVehicle, szSetting, choice.strUnsuitable.c_str());
}
