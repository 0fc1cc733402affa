#include "web/WebSettings.h"

#include "platform/Socket.h"
#include "settings/SettingsFile.h"
#include "settings/XmlDoc.h"

#include <cstdlib>

namespace {

// The key's text, unescaped and trimmed; false when the key is missing.
bool ReadText(CSettingsFile& file, const char* szKey, std::string& value)
{
    CXmlDoc scratch;
    scratch.SetText(file.ReadValue(szKey));
    if (!scratch.FindSibling(szKey))
        return false;
    std::string text = CXmlDoc::UnescapeText(scratch.GetRawContent());
    const char* szSpace = " \t\r\n";
    std::size_t nFirst = text.find_first_not_of(szSpace);
    value = nFirst == std::string::npos ? std::string() : text.substr(nFirst, text.find_last_not_of(szSpace) - nFirst + 1);
    return true;
}

} // namespace

WebSettings LoadWebSettings(CSettingsFile& file)
{
    WebSettings settings;
    std::string text;
    if (ReadText(file, "httpaddr", text) && !text.empty())
        settings.strAddr = text;
    if (ReadText(file, "httpport", text) && !text.empty() && text.size() <= 5 &&
        text.find_first_not_of("0123456789") == std::string::npos) {
        unsigned long nPort = std::strtoul(text.c_str(), nullptr, 10);
        if (nPort <= 65535)
            settings.nPort = static_cast<std::uint16_t>(nPort);
    }
    ReadText(file, "httptoken", settings.strToken);
    ReadText(file, "footagetoken", settings.strFootageToken);
    if (ReadText(file, "httpmaxperclient", text) && !text.empty() && text.size() <= 5 &&
        text.find_first_not_of("0123456789") == std::string::npos) {
        unsigned long nMax = std::strtoul(text.c_str(), nullptr, 10);
        if (nMax > 0)
            settings.nMaxPerClient = nMax;
    }
    if (ReadText(file, "footagemaxmbs", text) && !text.empty() && text.size() <= 7 &&
        text.find_first_not_of("0123456789") == std::string::npos)
        settings.nFootageMaxMBs = static_cast<std::uint32_t>(std::strtoul(text.c_str(), nullptr, 10));
    ReadText(file, "httpcert", settings.strCert);
    ReadText(file, "httpkey", settings.strKey);
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
