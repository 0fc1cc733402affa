#include "settings/DepotSettings.h"

#include "core/Logger.h"
#include "platform/Format.h"
#include "settings/SettingsFile.h"
#include "settings/XmlDoc.h"

#include <cerrno>
#include <cstdlib>

namespace {

constexpr DepotKey kKeys[] = {
    {"rollinghours", &DepotSettings::nRollingHours, 0, kMaxRollingHours, "Rolling window (hours)",
     "0: the fixed span of the configuration"},
    {"maxtransfers", &DepotSettings::nMaxTransfers, 0, kMaxMaxTransfers, "Transfers at once", "0: no limit"},
    {"retaindays", &DepotSettings::nRetainDays, 0, kMaxRetainDays, "Keep recordings (days)", "0: keep everything"},
    {"minfreemb", &DepotSettings::nMinFreeMb, 0, kMaxMinFreeMb, "Minimum free space (MiB)", "0: off"},
    {"maxvehicles", &DepotSettings::nMaxVehicles, 0, kMaxMaxVehicles, "Vehicles online at most", "0: no limit"},
    {"logmaxmb", &DepotSettings::nLogMaxMb, 0, kMaxLogMaxMb, "Log file size (MiB)",
     "0: emptied at every start, no limit"},
    {"logkeep", &DepotSettings::nLogKeep, kMinLogKeep, kMaxLogKeep, "Old log files kept",
     "1-100, with a log file size set"},
};

enum class Read { Missing, NotANumber, Number };

// The key's number. The text between the tags may have blanks around it.
Read ReadNumber(CSettingsFile& file, const char* szKey, std::uint64_t& nValue, std::string& text)
{
    CXmlDoc scratch;
    scratch.SetText(file.ReadValue(szKey));
    if (!scratch.FindSibling(szKey))
        return Read::Missing;
    text = scratch.GetRawContent();
    const std::size_t nFirst = text.find_first_not_of(" \t\r\n");
    const std::size_t nLast = text.find_last_not_of(" \t\r\n");
    text = nFirst == std::string::npos ? std::string() : text.substr(nFirst, nLast - nFirst + 1);
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos)
        return Read::NotANumber;
    errno = 0;
    nValue = std::strtoull(text.c_str(), nullptr, 10);
    return errno == 0 ? Read::Number : Read::NotANumber;
}

} // namespace

std::span<const DepotKey> DepotKeys()
{
    return kKeys;
}

DepotSettings HeadlessDepotSettings()
{
    DepotSettings settings;
    settings.nRollingHours = kHeadlessRollingHours;
    settings.nMaxVehicles = kHeadlessMaxVehicles;
    settings.nLogMaxMb = kHeadlessLogMaxMb;
    settings.nLogKeep = kHeadlessLogKeep;
    return settings;
}

DepotSettings LoadDepotSettings(CSettingsFile& file, std::vector<std::string>* pWarnings)
{
    DepotSettings settings;
    auto warn = [pWarnings](std::string text) {
        if (pWarnings)
            pWarnings->push_back(std::move(text));
    };
    for (const DepotKey& key : kKeys) {
        std::uint64_t nValue = 0;
        std::string text;
        std::uint32_t& nField = settings.*key.pField;
        switch (ReadNumber(file, key.szName, nValue, text)) {
        case Read::Missing:
            break;
        case Read::NotANumber:
            warn(Format("%s \"%s\" is not a whole number, %u used", key.szName, text.c_str(), nField));
            break;
        case Read::Number:
            if (nValue > key.nMax) {
                nField = key.nMax;
                warn(Format("%s %s is above %u, %u used", key.szName, text.c_str(), key.nMax, key.nMax));
            } else if (nValue < key.nMin) {
                nField = key.nMin;
                warn(Format("%s %s is below %u, %u used", key.szName, text.c_str(), key.nMin, key.nMin));
            } else {
                nField = static_cast<std::uint32_t>(nValue);
            }
            break;
        }
    }
    return settings;
}

bool SaveDepotSettings(const DepotSettings& settings, CSettingsFile& file)
{
    bool bOk = true;
    for (const DepotKey& key : kKeys)
        bOk = file.WriteValue(key.szName, Format("%u", settings.*key.pField)) && bOk;
    return bOk;
}

std::string ValidateDepotSettings(const DepotSettings& settings)
{
    for (const DepotKey& key : kKeys) {
        const std::uint32_t nValue = settings.*key.pField;
        if (nValue < key.nMin || nValue > key.nMax)
            return Format("%s must be between %u and %u!", key.szCaption, key.nMin, key.nMax);
    }
    return {};
}

LogRotation LogRotationOf(const DepotSettings& settings)
{
    LogRotation rotation;
    rotation.nMaxBytes = static_cast<std::uint64_t>(settings.nLogMaxMb) * 1024 * 1024;
    rotation.nKeep = settings.nLogKeep;
    return rotation;
}
