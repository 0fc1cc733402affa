#include "settings/DepotSettings.h"

#include "platform/Format.h"
#include "settings/SettingsFile.h"
#include "settings/XmlDoc.h"

#include <cerrno>
#include <cstdlib>

namespace {

struct Key {
    const char* szName;
    std::uint32_t DepotSettings::*pField;
    std::uint32_t nMax;
    const char* szCaption;
};

constexpr Key kKeys[] = {
    {"rollinghours", &DepotSettings::nRollingHours, kMaxRollingHours, "Rolling window (hours)"},
    {"maxtransfers", &DepotSettings::nMaxTransfers, kMaxMaxTransfers, "Transfers at once"},
    {"retaindays", &DepotSettings::nRetainDays, kMaxRetainDays, "Keep recordings (days)"},
    {"minfreemb", &DepotSettings::nMinFreeMb, kMaxMinFreeMb, "Minimum free space (MiB)"},
    {"maxvehicles", &DepotSettings::nMaxVehicles, kMaxMaxVehicles, "Vehicles online at most"},
};

// The key's number, or nullopt-like false when it is missing or not a number.
bool ReadNumber(CSettingsFile& file, const char* szKey, std::uint64_t& nValue)
{
    CXmlDoc scratch;
    scratch.SetText(file.ReadValue(szKey));
    if (!scratch.FindSibling(szKey))
        return false;
    std::string text = scratch.GetRawContent();
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    errno = 0;
    nValue = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0;
}

} // namespace

DepotSettings& GlobalDepotSettings()
{
    static DepotSettings s_settings;
    return s_settings;
}

DepotSettings LoadDepotSettings(CSettingsFile& file)
{
    DepotSettings settings;
    for (const Key& key : kKeys) {
        std::uint64_t nValue = 0;
        if (ReadNumber(file, key.szName, nValue))
            settings.*key.pField = nValue > key.nMax ? key.nMax : static_cast<std::uint32_t>(nValue);
    }
    return settings;
}

bool SaveDepotSettings(const DepotSettings& settings, CSettingsFile& file)
{
    bool bOk = true;
    for (const Key& key : kKeys)
        bOk = file.WriteValue(key.szName, Format("%u", settings.*key.pField)) && bOk;
    return bOk;
}

std::string ValidateDepotSettings(const DepotSettings& settings)
{
    for (const Key& key : kKeys) {
        if (settings.*key.pField > key.nMax)
            return Format("%s must be between 0 and %u!", key.szCaption, key.nMax);
    }
    return {};
}
