#include "web/WebSettings.h"

#include "platform/Socket.h"
#include "settings/SettingsFile.h"

#include <cstdlib>

WebSettings LoadWebSettings(CSettingsFile& file)
{
    WebSettings settings;
    std::string text;
    if (file.ReadText("httpaddr", text) && !text.empty())
        settings.strAddr = text;
    if (file.ReadText("httpport", text) && !text.empty() && text.size() <= 5 &&
        text.find_first_not_of("0123456789") == std::string::npos) {
        unsigned long nPort = std::strtoul(text.c_str(), nullptr, 10);
        if (nPort <= 65535)
            settings.nPort = static_cast<std::uint16_t>(nPort);
    }
    file.ReadText("httptoken", settings.strToken);
    file.ReadText("footagetoken", settings.strFootageToken);
    if (file.ReadText("httpmaxperclient", text) && !text.empty() && text.size() <= 5 &&
        text.find_first_not_of("0123456789") == std::string::npos) {
        unsigned long nMax = std::strtoul(text.c_str(), nullptr, 10);
        if (nMax > 0)
            settings.nMaxPerClient = nMax;
    }
    if (file.ReadText("footagemaxmbs", text) && !text.empty() && text.size() <= 7 &&
        text.find_first_not_of("0123456789") == std::string::npos)
        settings.nFootageMaxMBs = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    file.ReadText("httpcert", settings.strCert);
    file.ReadText("httpkey", settings.strKey);
    return settings;
}

bool IsLoopbackAddress(const std::string& addr)
{
    if (addr == "localhost" || addr == "::1" || addr == "[::1]")
        return true;
    std::uint32_t nAddr = 0;
    if (!ParseIpv4(addr.c_str(), &nAddr))
        return false;
    return (reinterpret_cast<const unsigned char*>(&nAddr))[0] == 127;
}
